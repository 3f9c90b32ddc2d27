#include "ethtool.h"

#include "sys.h"

#include <cstring>
#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

namespace vb {

namespace {

// IFF_LOWER_UP of <linux/if.h>, whose other names clash with <net/if.h>.
constexpr long lower_up = 1L << 16;

struct Socket {
	int fd;
	explicit Socket(int f) : fd(f) {}
	~Socket()
	{
		if (fd >= 0)
			sys::close(fd);
	}
	Socket(const Socket &) = delete;
	Socket &operator=(const Socket &) = delete;
};

// The flags the kernel reports for the interface numbered `index`
// (lower_up: running with its carrier), or -1 when it does not say.
long link_flags(int index)
{
	Socket s(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
	if (s.fd < 0)
		return -1;
	struct {
		nlmsghdr head;
		ifinfomsg info;
	} request{};
	request.head.nlmsg_len = sizeof request;
	request.head.nlmsg_type = RTM_GETLINK;
	request.head.nlmsg_flags = NLM_F_REQUEST;
	request.head.nlmsg_seq = 1;
	request.info.ifi_family = AF_UNSPEC;
	request.info.ifi_index = index;
	if (send(s.fd, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request))
		return -1;
	// The kernel has queued its answer by the time the request is sent.
	alignas(nlmsghdr) char answer[16384];
	ssize_t n = recv(s.fd, answer, sizeof answer, MSG_DONTWAIT);
	if (n < 0)
		return -1;
	int left = static_cast<int>(n);
	for (auto *h = reinterpret_cast<nlmsghdr *>(answer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
		if (h->nlmsg_type == RTM_NEWLINK && h->nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg)))
			return static_cast<const ifinfomsg *>(NLMSG_DATA(h))->ifi_flags;
	}
	return -1;
}

} // namespace

int ethtool_link(void *ifr)
{
	auto *request = static_cast<ifreq *>(ifr);
	ethtool_value value;
	memcpy(&value, request->ifr_data, sizeof value);
	if (value.cmd != ETHTOOL_GLINK)
		return fail(EOPNOTSUPP);
	char name[IF_NAMESIZE + 1] = {};
	memcpy(name, request->ifr_name, IF_NAMESIZE);
	int index = static_cast<int>(if_nametoindex(name));
	if (index == 0)
		return fail(ENODEV);
	long flags = link_flags(index);
	if (flags < 0)
		return fail(EIO);
	value.data = (flags & lower_up) != 0;
	memcpy(request->ifr_data, &value, sizeof value);
	return 0;
}

} // namespace vb

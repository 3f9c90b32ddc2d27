#include "mgmt/mgmt.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launch/services.h"
#include "rescue/console.h"

namespace {

constexpr int ANSWER_SIZE = 128;

// Long enough for the longest line below with a dotted address in it.
constexpr int COMMAND_SIZE = 64;

struct Socket {
	int fd;
	explicit Socket(int d) : fd(d) {}
	~Socket()
	{
		if (fd >= 0)
			close(fd);
	}
	Socket(const Socket &) = delete;
	Socket &operator=(const Socket &) = delete;
};

// Runs one command line made from `format`; the tools' results are not
// looked at.
__attribute__((format(printf, 1, 2))) void run_formatted(const char *format, ...)
{
	char command[COMMAND_SIZE];
	va_list args;
	va_start(args, format);
	vsnprintf(command, sizeof(command), format, args);
	va_end(args);
	ignore_result(run_command(command));
}

void run_dhcp(char port)
{
	run_formatted("dhclient -1 eth%c", port);
	sleep(3);
}

void run_static(char port, struct in_addr address, struct in_addr netmask, struct in_addr gateway)
{
	run_formatted("ifconfig eth%c %s\n", port, inet_ntoa(address));
	if (netmask.s_addr != 0) {
		printf("\tNetmask    : %s\n", inet_ntoa(netmask));
		run_formatted("ifconfig eth%c down\n", port);
		run_formatted("ifconfig eth%c netmask %s\n", port, inet_ntoa(netmask));
		run_formatted("ifconfig eth%c up\n", port);
	}
	sleep(5);
	if (gateway.s_addr != 0) {
		printf("\tGateway    : %s\n", inet_ntoa(gateway));
		run_formatted("route add default gw %s\n", inet_ntoa(gateway));
	}
	// The tools report nothing useful about when the port is ready: give
	// it a fixed time to settle.
	fputs("Configuring management port...", stdout);
	for (int i = 0; i < 20; i++) {
		sleep(1);
		putchar('.');
		fflush(stdout);
	}
	putchar('\n');
	fflush(stdout);
	sleep(1);
}

// The DHCP question: 1 when answered, 0 when the interrupt key was seen.
int ask_dhcp(uint8_t *use_dhcp)
{
	char answer[ANSWER_SIZE];
	fputs("Confirm: Use DHCP for network configuration? y/N: ", stdout);
	fflush(stdout);
	get_user_input(answer, sizeof(answer));
	if (sig_quit_raised)
		return 0;
	if (toupper((unsigned char)answer[0]) == 'Y')
		*use_dhcp = 1;
	putchar('\n');
	return 1;
}

} // namespace

// The link is always tested on eth0, whatever the port.
int mgmt_link_status(char /*port*/)
{
	Socket sock(socket(AF_INET, SOCK_DGRAM, 0));
	if (sock.fd < 0) {
		puts("Raw Socket open error");
		return 0;
	}

	struct ifreq ifr;
	memset(&ifr, 0, sizeof(ifr));
	strncpy(ifr.ifr_name, "eth0", sizeof(ifr.ifr_name) - 1);
	if (ioctl(sock.fd, SIOCGIFINDEX, &ifr) < 0) {
		printf("Open Interface %s error.\n", "eth0");
		return 0;
	}
	if (ioctl(sock.fd, SIOCGIFFLAGS, &ifr) < 0) {
		puts("Open flags error.");
		return 0;
	}
	unsigned short flags = (unsigned short)ifr.ifr_flags;

	struct ethtool_value link;
	memset(&link, 0, sizeof(link));
	link.cmd = ETHTOOL_GLINK;
	ifr.ifr_data = (char *)&link;
	if (ioctl(sock.fd, SIOCETHTOOL, &ifr) < 0) {
		puts("EthTool GLINK error.");
		return 0;
	}
	return link.data != 0 && (flags & IFF_UP) && (flags & IFF_RUNNING);
}

int verify_ip_address(in_addr_t address)
{
	const unsigned char *octets = (const unsigned char *)&address;
	if (address == 0)
		return 0;
	if (octets[0] == 0 || octets[0] > 239)
		return 0;
	return 1;
}

int get_ip_addr(const char *prompt, struct in_addr *address, int required, int validate)
{
	char answer[ANSWER_SIZE];
	for (;;) {
		fputs(prompt, stdout);
		fflush(stdout);
		get_user_input(answer, sizeof(answer));
		if (answer[0] == 'q' || answer[0] == 'Q')
			return 0;
		if (answer[0] == '\0' && !required)
			return 1;

		// Parsed aside, so that a rejected answer never reaches the
		// caller's variable (an empty answer afterwards keeps its value).
		struct in_addr parsed;
		if (!inet_aton(answer, &parsed)) {
			puts("Invalid IP address. Try again please");
			continue;
		}
		if (validate && !verify_ip_address(parsed.s_addr)) {
			printf("Invalid IP address %s. Try again please\n", answer);
			continue;
		}
		*address = parsed;
		return 1;
	}
}

// The port is always '1': it is not asked.
int mgmt_port_params(char * /*port*/, uint8_t *use_dhcp, struct in_addr *address, struct in_addr *netmask,
		     struct in_addr *gateway, int offer_dhcp)
{
	struct stat st;

	*use_dhcp = 0;
	if (offer_dhcp && stat("/bin/dhclient", &st) == 0) {
		if (!ask_dhcp(use_dhcp))
			return 0;
	}
	if (*use_dhcp)
		return 1;
	if (!get_ip_addr("IP addr    :", address, 1, 1))
		return 0;
	if (!get_ip_addr("Netmask    :", netmask, 0, 0))
		return 0;
	if (!get_ip_addr("Gateway    :", gateway, 0, 1))
		return 0;
	return 1;
}

int mgmt_port_configure(uint8_t use_dhcp, char port, struct in_addr address, struct in_addr netmask,
			struct in_addr gateway)
{
	if (use_dhcp)
		run_dhcp(port);
	else
		run_static(port, address, netmask, gateway);

	if (port == '0' && !mgmt_link_status(port)) {
		puts("Mgmt link not available. Quitting.");
		return 0;
	}
	return 1;
}

int mgmt_port_setup(int offer_dhcp)
{
	char port = '1';
	uint8_t use_dhcp = 0;
	struct in_addr address = {0}, netmask = {0}, gateway = {0};

	if (!mgmt_port_params(&port, &use_dhcp, &address, &netmask, &gateway, offer_dhcp))
		return 0;
	return mgmt_port_configure(use_dhcp, port, address, netmask, gateway);
}

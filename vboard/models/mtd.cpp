#include "mtd.h"

#include "board.h"
#include "sys.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace vb {

namespace {

const char *const nodes[NPARTS] = {"/dev/mtd-uboot", "/dev/mtd-ubootenv", "/dev/mtd-devicetree",
				   "/dev/mtd-kernel", "/dev/mtd-rfs", "/dev/mtd-rescue"};

// Writes 0xFF over [from, to) of the backing file.
bool fill_erased(int fd, off64_t from, off64_t to)
{
	static uint8_t ones[65536];
	if (ones[0] != 0xFF)
		memset(ones, 0xFF, sizeof ones);
	while (from < to) {
		size_t n = static_cast<size_t>(std::min<off64_t>(to - from, sizeof ones));
		ssize_t k = sys::pwrite(fd, ones, n, from);
		if (k <= 0)
			return false;
		from += k;
	}
	return true;
}

// The bytes of [pos, pos + n) as the flash holds them; a backing file that
// ends early is extended with erased bytes so that a write never leaves a
// hole of zeros behind it.
bool read_current(int fd, off64_t pos, uint8_t *old, size_t n)
{
	ssize_t got = sys::pread(fd, old, n, pos);
	if (got < 0)
		return false;
	if (static_cast<size_t>(got) == n)
		return true;
	memset(old + got, 0xFF, n - static_cast<size_t>(got));
	if (got > 0)
		return true;
	struct stat st;
	if (sys::fstat(fd, &st) != 0)
		return false;
	return st.st_size >= pos || fill_erased(fd, st.st_size, pos);
}

int erase(const Node *n, int fd, uint64_t start, uint64_t len)
{
	const Conf *c = board_conf();
	if (!c)
		return fail(EIO);
	if (n->accmode == O_RDONLY)
		return fail(EBADF);
	uint64_t size = c->part_size[n->index];
	uint64_t es = c->erase_size;
	if (start > size || len > size - start)
		return fail(EINVAL);
	if (len == 0)
		return 0;
	if (es == 0 || start % es != 0 || len % es != 0)
		return fail(EINVAL);
	uint64_t k = state_count_erase(board_state());
	if (k == c->erase_fail_at) {
		trace_printf("fault mtd_erase_fail_at %s 0x%" PRIx64 " %" PRIu64, nodes[n->index], start, len);
		return fail(EIO);
	}
	if (!fill_erased(fd, static_cast<off64_t>(start), static_cast<off64_t>(start + len)))
		return fail(EIO);
	trace_printf("mtd %s erase 0x%" PRIx64 " %" PRIu64, nodes[n->index], start, len);
	return 0;
}

int get_info(const Node *n, mtd_info_user *info)
{
	const Conf *c = board_conf();
	if (!c)
		return fail(EIO);
	if (c->mtd_probe_fail) {
		trace_printf("fault mtd_probe %s", nodes[n->index]);
		return fail(EIO);
	}
	memset(info, 0, sizeof *info);
	info->type = MTD_NORFLASH;
	info->flags = MTD_CAP_NORFLASH;
	info->size = c->part_size[n->index];
	info->erasesize = c->erase_size;
	info->writesize = 1;
	return 0;
}

} // namespace

const char *mtd_node(int part)
{
	return nodes[part];
}

int mtd_open(int part, int flags)
{
	int keep = flags & (O_SYNC | O_DSYNC | O_CLOEXEC);
	std::string path = board_path("flash/") + part_names[part] + ".bin";
	return sys::open(path.c_str(), O_RDWR | O_CREAT | keep, 0644);
}

ssize_t mtd_read(const Node *n, const Conf &c, int fd, void *buf, size_t len, off64_t pos)
{
	off64_t size = c.part_size[n->index];
	if (pos >= size)
		return 0;
	size_t count = static_cast<size_t>(std::min<off64_t>(static_cast<off64_t>(len), size - pos));
	ssize_t got = sys::pread(fd, buf, count, pos);
	if (got < 0)
		return -1;
	memset(static_cast<uint8_t *>(buf) + got, 0xFF, count - static_cast<size_t>(got));
	return static_cast<ssize_t>(count);
}

ssize_t mtd_write(const Node *n, const Conf &c, int fd, const void *buf, size_t len, off64_t pos)
{
	if (len == 0)
		return 0;
	off64_t size = c.part_size[n->index];
	if (pos >= size)
		return fail(ENOSPC);
	size_t count = static_cast<size_t>(std::min<off64_t>(static_cast<off64_t>(len), size - pos));
	const char *node = nodes[n->index];
	uint64_t k = state_count_write(board_state());
	if (k == c.write_fail_at) {
		trace_printf("fault mtd_write_fail_at %s 0x%jx %zu", node, static_cast<intmax_t>(pos), count);
		return fail(EIO);
	}
	std::vector<uint8_t> cells(count);
	if (!read_current(fd, pos, cells.data(), count))
		return fail(EIO);
	// NOR programming only clears bits.
	const uint8_t *data = static_cast<const uint8_t *>(buf);
	bool over_programmed = false;
	for (size_t i = 0; i < count; i++) {
		over_programmed |= cells[i] != 0xFF;
		cells[i] &= data[i];
	}
	ssize_t put = sys::pwrite(fd, cells.data(), count, pos);
	if (put < 0)
		return -1;
	trace_printf("mtd %s write 0x%jx %zu", node, static_cast<intmax_t>(pos), count);
	if (over_programmed)
		trace_printf("fault not-erased %s 0x%jx %zu", node, static_cast<intmax_t>(pos), count);
	if (k == c.power_cut_after) {
		trace_printf("fault power-cut");
		kill(getpid(), SIGKILL);
	}
	return put;
}

int mtd_ioctl(const Node *n, int fd, unsigned long req, void *arg)
{
	switch (req) {
	case MEMGETINFO:
		return get_info(n, static_cast<mtd_info_user *>(arg));
	case MEMERASE: {
		auto e = static_cast<const erase_info_user *>(arg);
		return erase(n, fd, e->start, e->length);
	}
	case MEMERASE64: {
		auto e = static_cast<const erase_info_user64 *>(arg);
		return erase(n, fd, e->start, e->length);
	}
	case MEMGETREGIONCOUNT:
		*static_cast<int *>(arg) = 0;
		return 0;
	case MEMGETREGIONINFO:
		return fail(EINVAL);
	case MEMGETBADBLOCK:
		// NOR has no bad blocks.
		return 0;
	case ECCGETSTATS:
		memset(arg, 0, sizeof(mtd_ecc_stats));
		return 0;
	case MTDFILEMODE:
		return reinterpret_cast<uintptr_t>(arg) == MTD_FILE_MODE_NORMAL ? 0 : fail(EOPNOTSUPP);
	case MEMSETBADBLOCK:
	case MEMLOCK:
	case MEMUNLOCK:
	case MEMISLOCKED:
	case MEMGETOOBSEL:
	case ECCGETLAYOUT:
	case MEMREADOOB:
	case MEMWRITEOOB:
	case MEMREADOOB64:
	case MEMWRITEOOB64:
	case OTPSELECT:
	case OTPGETREGIONCOUNT:
	case OTPGETREGIONINFO:
	case OTPLOCK:
	case OTPERASE:
		return fail(EOPNOTSUPP);
	default:
		return fail(ENOTTY);
	}
}

int mtd_proc_open()
{
	const Conf *c = board_conf();
	if (!c)
		return fail(EIO);
	std::string text = "dev:    size   erasesize  name\n";
	for (int i = 0; i < NPARTS; i++) {
		char line[128];
		snprintf(line, sizeof line, "mtd%d: %08x %08x \"%s\"\n", i, c->part_size[i], c->erase_size,
			 part_names[i]);
		text += line;
	}
	int fd = memfd_create("proc-mtd", MFD_CLOEXEC);
	if (fd < 0)
		return -1;
	if (!sys::write_all(fd, text.data(), text.size()) || sys::lseek(fd, 0, SEEK_SET) != 0) {
		sys::close(fd);
		return fail(EIO);
	}
	return fd;
}

} // namespace vb

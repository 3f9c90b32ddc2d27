#include "node.h"

#include "board.h"
#include "cpld.h"
#include "i2c.h"
#include "mtd.h"
#include "sys.h"
#include "trace.h"

#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vb {

namespace {

// A node with the device numbers the board's kernel gives it.
struct KnownNode {
	const char *path;
	Dev dev;
	int index;
	unsigned major, minor;
};

const KnownNode known[] = {
	{"/dev/mtd-uboot", Dev::mtd, PART_UBOOT, 90, 0},
	{"/dev/mtd-ubootenv", Dev::mtd, PART_UBOOTENV, 90, 2},
	{"/dev/mtd-devicetree", Dev::mtd, PART_DEVICETREE, 90, 4},
	{"/dev/mtd-kernel", Dev::mtd, PART_KERNEL, 90, 6},
	{"/dev/mtd-rfs", Dev::mtd, PART_RFS, 90, 8},
	{"/dev/mtd-rescue", Dev::mtd, PART_RESCUE, 90, 10},
	{"/dev/i2c-0", Dev::i2c, 0, 89, 0},
	{"/dev/i2c-1", Dev::i2c, 1, 89, 1},
	{"/dev/norvik/cpld_mmmap", Dev::cpld, 0, 10, 100},
};

const char PROC_MTD[] = "/proc/mtd";

// The node at an absolute path, or nullptr.
const KnownNode *known_path(const char *path)
{
	if (!path || path[0] != '/')
		return nullptr;
	for (const KnownNode &k : known)
		if (strcmp(path, k.path) == 0)
			return &k;
	return nullptr;
}

const KnownNode *known_node(const Node *n)
{
	for (const KnownNode &k : known)
		if (k.dev == n->dev && k.index == n->index)
			return &k;
	return nullptr;
}

template <typename St> int fake_stat(const KnownNode *k, St *st)
{
	memset(st, 0, sizeof *st);
	st->st_mode = S_IFCHR | 0660;
	st->st_rdev = makedev(k->major, k->minor);
	st->st_dev = makedev(0, 6);
	st->st_ino = 1000 + (k - known);
	st->st_nlink = 1;
	st->st_blksize = 4096;
	return 0;
}

int open_device(const KnownNode *k, int flags)
{
	int fd;
	switch (k->dev) {
	case Dev::mtd:
		fd = mtd_open(k->index, flags);
		break;
	case Dev::i2c:
		fd = i2c_open(flags);
		break;
	default:
		fd = cpld_open(flags);
		break;
	}
	if (fd < 0)
		return fail(EIO);
	if (!fdtab_set(fd, node_new(k->dev, k->index, flags & O_ACCMODE))) {
		sys::close(fd);
		return fail(EMFILE);
	}
	return fd;
}

int refuse_missing(const char *path)
{
	trace_printf("fault missing %s", path);
	return fail(ENOENT);
}

// A read or write of a device with a file position (MTD, CPLD), as the
// kernel's file layer does it for a driver: refused on a descriptor not opened
// for it; at *at for pread and pwrite, else at the descriptor's position,
// which then moves past what op(conf, pos) transferred.
template <typename Op> ssize_t positioned(const Node *n, int fd, const off64_t *at, int refused_mode, Op op)
{
	const Conf *c = board_conf();
	if (!c)
		return fail(EIO);
	if (n->accmode == refused_mode)
		return fail(EBADF);
	off64_t pos = at ? *at : sys::lseek(fd, 0, SEEK_CUR);
	if (pos < 0)
		return -1;
	ssize_t done = op(*c, pos);
	if (done > 0 && !at && sys::lseek(fd, pos + done, SEEK_SET) < 0)
		return -1;
	return done;
}

// lseek on a device of size bytes whose position may go up to limit.
off64_t seek_within(int fd, off64_t off, int whence, off64_t size, off64_t limit)
{
	off64_t base;
	switch (whence) {
	case SEEK_SET:
		base = 0;
		break;
	case SEEK_CUR:
		base = sys::lseek(fd, 0, SEEK_CUR);
		if (base < 0)
			return -1;
		break;
	case SEEK_END:
		base = size;
		break;
	default:
		return fail(EINVAL);
	}
	off64_t to;
	if (__builtin_add_overflow(base, off, &to) || to < 0 || to > limit)
		return fail(EINVAL);
	return sys::lseek(fd, to, SEEK_SET);
}

} // namespace

bool board_open(const char *path, int flags, int *fd)
{
	if (!path || path[0] != '/' || !board_active())
		return false;
	const KnownNode *k = known_path(path);
	bool proc = strcmp(path, PROC_MTD) == 0;
	if (!k && !proc) {
		const Conf *c = board_conf_peek();
		if (!c || !conf_is_missing(c, path))
			return false;
		*fd = refuse_missing(path);
		return true;
	}
	board_refresh();
	const Conf *c = board_conf();
	if (!c)
		*fd = fail(k ? EIO : ENOENT);
	else if (conf_is_missing(c, path))
		*fd = refuse_missing(path);
	else
		*fd = proc ? mtd_proc_open() : open_device(k, flags);
	return true;
}

template <typename St> bool board_stat(const char *path, St *st, int *result)
{
	const KnownNode *k = board_active() ? known_path(path) : nullptr;
	const Conf *c = k ? board_conf_peek() : nullptr;
	if (!c)
		return false;
	*result = conf_is_missing(c, path) ? fail(ENOENT) : fake_stat(k, st);
	return true;
}

template <typename St> int node_stat(const Node *n, St *st)
{
	return fake_stat(known_node(n), st);
}

template bool board_stat(const char *, struct stat *, int *);
template bool board_stat(const char *, struct stat64 *, int *);
template int node_stat(const Node *, struct stat *);
template int node_stat(const Node *, struct stat64 *);

bool board_access(const char *path, int *result)
{
	if (!path || path[0] != '/' || !board_active())
		return false;
	const Conf *c = board_conf_peek();
	if (!c || (!known_path(path) && strcmp(path, PROC_MTD) != 0))
		return false;
	*result = conf_is_missing(c, path) ? fail(ENOENT) : 0;
	return true;
}

ssize_t node_read(Node *n, int fd, void *buf, size_t len, const off64_t *at)
{
	if (n->dev == Dev::i2c)
		return at ? fail(ESPIPE) : i2c_read(n, buf, len);
	return positioned(n, fd, at, O_WRONLY, [&](const Conf &c, off64_t pos) {
		return n->dev == Dev::mtd ? mtd_read(n, c, fd, buf, len, pos) : cpld_read(fd, buf, len, pos);
	});
}

ssize_t node_write(Node *n, int fd, const void *buf, size_t len, const off64_t *at)
{
	if (n->dev == Dev::i2c)
		return at ? fail(ESPIPE) : i2c_write(n, buf, len);
	return positioned(n, fd, at, O_RDONLY, [&](const Conf &c, off64_t pos) {
		return n->dev == Dev::mtd ? mtd_write(n, c, fd, buf, len, pos) : cpld_write(c, fd, buf, len, pos);
	});
}

// A partition's position stays within it, as its driver wants; the CPLD's
// may go past the register file, where reads find nothing and writes no room.
off64_t node_seek(Node *n, int fd, off64_t off, int whence)
{
	if (n->dev == Dev::i2c)
		return fail(ESPIPE);
	if (n->dev == Dev::cpld)
		return seek_within(fd, off, whence, CPLD_REGS, std::numeric_limits<off64_t>::max());
	const Conf *c = board_conf();
	if (!c)
		return fail(EIO);
	off64_t size = c->part_size[n->index];
	return seek_within(fd, off, whence, size, size);
}

int node_ioctl(Node *n, int fd, unsigned long req, void *arg)
{
	switch (n->dev) {
	case Dev::mtd:
		return mtd_ioctl(n, fd, req, arg);
	case Dev::i2c:
		return i2c_ioctl(n, req, arg);
	default:
		return fail(ENOTTY);
	}
}

} // namespace vb

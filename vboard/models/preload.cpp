// The C library entry points that reach the board's devices. A descriptor
// that is not a modelled device and a path that is not a board node go
// straight on to the C library's own definition of the same entry point.
//
// Each family is defined once; its spellings (the 64 ones of large files,
// the fortified _chk and _2 ones, the old __xstat ones) only pass their
// arguments on, each with its own types and its own next definition.
#include "board.h"
#include "ethtool.h"
#include "fdtab.h"
#include "node.h"
#include "sys.h"

#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace vb;

namespace {

// ------------------------------------------------------------ descriptors ----

// A descriptor the C library handed out may carry a number we once saw
// closed behind our back (fclose, close_range): it is not a device.
int passed_through(int fd)
{
	if (fd >= 0 && fdtab_get(fd))
		fdtab_drop(fd);
	return fd;
}

// open in all its spellings: openat from dirfd (AT_FDCWD for open), which is
// what the C library makes of each of them.
int opened(int dirfd, const char *path, int flags, mode_t mode)
{
	int fd;
	if (board_open(path, flags, &fd))
		return fd;
	return passed_through(LIBC(openat)::call(dirfd, path, flags, mode));
}

bool needs_mode(int flags)
{
	return flags & (O_CREAT | O_TMPFILE);
}

// fd2 now refers to what fd refers to.
int duplicated(int fd, int fd2)
{
	if (fd2 < 0)
		return fd2;
	board_forget_fd(fd2);
	if (fdtab_get(fd))
		fdtab_dup(fd, fd2);
	else
		fdtab_drop(fd2);
	return fd2;
}

int fcntl_done(int fd, int cmd, int result)
{
	return cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC ? duplicated(fd, result) : result;
}

// Fortified spellings check the caller's buffer first, as the C library's do.
size_t fortified(size_t len, size_t buflen)
{
	if (len > buflen)
		abort();
	return len;
}

ssize_t node_transfer(Node *n, int fd, void *buf, size_t len, const off64_t *at)
{
	return node_read(n, fd, buf, len, at);
}

ssize_t node_transfer(Node *n, int fd, const void *buf, size_t len, const off64_t *at)
{
	return node_write(n, fd, buf, len, at);
}

// read and write in all their spellings: at the descriptor's position.
template <typename Next, typename Buf> ssize_t transfer(int fd, Buf buf, size_t len)
{
	Node *n = fdtab_get(fd);
	return n ? node_transfer(n, fd, buf, len, nullptr) : Next::call(fd, buf, len);
}

// pread and pwrite in all their spellings: at an offset, which may not be
// negative.
template <typename Next, typename Buf, typename Off> ssize_t transfer_at(int fd, Buf buf, size_t len, Off at)
{
	Node *n = fdtab_get(fd);
	if (!n)
		return Next::call(fd, buf, len, at);
	off64_t pos = at;
	return at < 0 ? fail(EINVAL) : node_transfer(n, fd, buf, len, &pos);
}

// lseek in all its spellings: a device position that the caller's offset
// type cannot hold is an overflow, as the C library reports it.
template <typename Next, typename Off> Off seek(int fd, Off off, int whence)
{
	Node *n = fdtab_get(fd);
	if (!n)
		return Next::call(fd, off, whence);
	off64_t to = node_seek(n, fd, off, whence);
	return static_cast<Off>(to) == to ? static_cast<Off>(to) : fail(EOVERFLOW);
}

// The board's console is a UART; here it is a pseudo-terminal whose other
// end the runner reads.  Bytes a program has written count as sent, as they
// would once a UART has drained: discarding output must not reach into the
// runner's side of the terminal and drop what it has not read yet (a
// receiver's last ACK, an operator's instructions).
int serial_flush(int fd, int queue)
{
	if (board_active() && isatty(fd)) {
		if (queue == TCOFLUSH)
			return 0;
		if (queue == TCIOFLUSH)
			queue = TCIFLUSH;
	}
	return LIBC(ioctl)::call(fd, TCFLSH, reinterpret_cast<void *>(static_cast<intptr_t>(queue)));
}

int device_ioctl(int fd, unsigned long req, void *arg)
{
	Node *n = fdtab_get(fd);
	if (n)
		return node_ioctl(n, fd, req, arg);
	if (req == TCFLSH)
		return serial_flush(fd, static_cast<int>(reinterpret_cast<intptr_t>(arg)));
	int r = LIBC(ioctl)::call(fd, req, arg);
	// No kernel lacks it: only an emulator that does not pass it on.
	if (r < 0 && errno == ENOSYS && req == SIOCETHTOOL && board_active())
		return ethtool_link(arg);
	return r;
}

// ------------------------------------------------------------------- stat ----

// stat and lstat in all their spellings; St is struct stat or struct stat64.
template <typename Next, typename St> int path_stat(const char *path, St *st)
{
	int r;
	return board_stat(path, st, &r) ? r : Next::call(path, st);
}

template <typename Next, typename St> int fd_stat(int fd, St *st)
{
	Node *n = fdtab_get(fd);
	return n ? node_stat(n, st) : Next::call(fd, st);
}

template <typename Next, typename St> int at_stat(int dirfd, const char *path, St *st, int flags)
{
	Node *n = fdtab_get(dirfd);
	if (n && path && path[0] == '\0' && (flags & AT_EMPTY_PATH))
		return node_stat(n, st);
	int r;
	return board_stat(path, st, &r) ? r : Next::call(dirfd, path, st, flags);
}

} // namespace

// The variadic spellings of open: the mode is there only when the flags ask
// for a file to be made. The 64 ones open large files too.
#define VARIADIC_OPEN(name, params, dirfd, large)                                                  \
	EXPORT int name params                                                                     \
	{                                                                                          \
		va_list ap;                                                                        \
		va_start(ap, flags);                                                               \
		mode_t mode = needs_mode(flags) ? static_cast<mode_t>(va_arg(ap, int)) : 0;        \
		va_end(ap);                                                                        \
		return opened(dirfd, path, flags | (large), mode);                                 \
	}

VARIADIC_OPEN(open, (const char *path, int flags, ...), AT_FDCWD, 0)
VARIADIC_OPEN(open64, (const char *path, int flags, ...), AT_FDCWD, O_LARGEFILE)
VARIADIC_OPEN(openat, (int dirfd, const char *path, int flags, ...), dirfd, 0)
VARIADIC_OPEN(openat64, (int dirfd, const char *path, int flags, ...), dirfd, O_LARGEFILE)

// The fortified ones, for flags that ask for no mode.
EXPORT int __open_2(const char *path, int flags) { return opened(AT_FDCWD, path, flags, 0); }
EXPORT int __open64_2(const char *path, int flags) { return opened(AT_FDCWD, path, flags | O_LARGEFILE, 0); }
EXPORT int __openat_2(int dirfd, const char *path, int flags) { return opened(dirfd, path, flags, 0); }

EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
	return opened(dirfd, path, flags | O_LARGEFILE, 0);
}

EXPORT int close(int fd)
{
	fdtab_drop(fd);
	board_forget_fd(fd);
	return LIBC(close)::call(fd);
}

EXPORT ssize_t read(int fd, void *buf, size_t len) { return transfer<LIBC(read)>(fd, buf, len); }
EXPORT ssize_t write(int fd, const void *buf, size_t len) { return transfer<LIBC(write)>(fd, buf, len); }

EXPORT ssize_t __read_chk(int fd, void *buf, size_t len, size_t buflen)
{
	return transfer<LIBC(read)>(fd, buf, fortified(len, buflen));
}

EXPORT ssize_t pread(int fd, void *buf, size_t len, off_t at)
{
	return transfer_at<LIBC(pread)>(fd, buf, len, at);
}

EXPORT ssize_t pread64(int fd, void *buf, size_t len, off64_t at)
{
	return transfer_at<LIBC(pread64)>(fd, buf, len, at);
}

EXPORT ssize_t __pread_chk(int fd, void *buf, size_t len, off_t at, size_t buflen)
{
	return transfer_at<LIBC(pread)>(fd, buf, fortified(len, buflen), at);
}

EXPORT ssize_t __pread64_chk(int fd, void *buf, size_t len, off64_t at, size_t buflen)
{
	return transfer_at<LIBC(pread64)>(fd, buf, fortified(len, buflen), at);
}

EXPORT ssize_t pwrite(int fd, const void *buf, size_t len, off_t at)
{
	return transfer_at<LIBC(pwrite)>(fd, buf, len, at);
}

EXPORT ssize_t pwrite64(int fd, const void *buf, size_t len, off64_t at)
{
	return transfer_at<LIBC(pwrite64)>(fd, buf, len, at);
}

EXPORT off_t lseek(int fd, off_t off, int whence) noexcept { return seek<LIBC(lseek)>(fd, off, whence); }

EXPORT off64_t lseek64(int fd, off64_t off, int whence) noexcept
{
	return seek<LIBC(lseek64)>(fd, off, whence);
}

EXPORT int tcflush(int fd, int queue) noexcept { return serial_flush(fd, queue); }

// ioctl and fcntl: their one optional argument, an int or a pointer, is
// handed on as the word it came in.
#define VARIADIC_WORD(name, params, last, ...)                                                     \
	EXPORT int name params                                                                     \
	{                                                                                          \
		va_list ap;                                                                        \
		va_start(ap, last);                                                                \
		void *arg = va_arg(ap, void *);                                                    \
		va_end(ap);                                                                        \
		return __VA_ARGS__;                                                                \
	}

VARIADIC_WORD(ioctl, (int fd, unsigned long req, ...) noexcept, req, device_ioctl(fd, req, arg))
VARIADIC_WORD(fcntl, (int fd, int cmd, ...), cmd, fcntl_done(fd, cmd, LIBC(fcntl)::call(fd, cmd, arg)))
VARIADIC_WORD(fcntl64, (int fd, int cmd, ...), cmd, fcntl_done(fd, cmd, LIBC(fcntl64)::call(fd, cmd, arg)))

EXPORT int dup(int fd) noexcept { return duplicated(fd, LIBC(dup)::call(fd)); }

EXPORT int dup3(int fd, int fd2, int flags) noexcept
{
	return duplicated(fd, LIBC(dup3)::call(fd, fd2, flags));
}

EXPORT int dup2(int fd, int fd2) noexcept
{
	int r = LIBC(dup2)::call(fd, fd2);
	return fd == fd2 ? r : duplicated(fd, r);
}

EXPORT int stat(const char *path, struct stat *st) noexcept { return path_stat<LIBC(stat)>(path, st); }
EXPORT int stat64(const char *path, struct stat64 *st) noexcept { return path_stat<LIBC(stat64)>(path, st); }
EXPORT int lstat(const char *path, struct stat *st) noexcept { return path_stat<LIBC(lstat)>(path, st); }
EXPORT int lstat64(const char *path, struct stat64 *st) noexcept { return path_stat<LIBC(lstat64)>(path, st); }
EXPORT int fstat(int fd, struct stat *st) noexcept { return fd_stat<LIBC(fstat)>(fd, st); }
EXPORT int fstat64(int fd, struct stat64 *st) noexcept { return fd_stat<LIBC(fstat64)>(fd, st); }

EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept
{
	return at_stat<LIBC(fstatat)>(dirfd, path, st, flags);
}

EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept
{
	return at_stat<LIBC(fstatat64)>(dirfd, path, st, flags);
}

// Entry points of programs built against older C libraries; the structure
// version they pass first is the one of the C library they reach.
EXPORT int __xstat(int, const char *path, struct stat *st) { return path_stat<LIBC(stat)>(path, st); }
EXPORT int __xstat64(int, const char *path, struct stat64 *st) { return path_stat<LIBC(stat64)>(path, st); }
EXPORT int __lxstat(int, const char *path, struct stat *st) { return path_stat<LIBC(lstat)>(path, st); }
EXPORT int __lxstat64(int, const char *path, struct stat64 *st) { return path_stat<LIBC(lstat64)>(path, st); }
EXPORT int __fxstat(int, int fd, struct stat *st) { return fd_stat<LIBC(fstat)>(fd, st); }
EXPORT int __fxstat64(int, int fd, struct stat64 *st) { return fd_stat<LIBC(fstat64)>(fd, st); }

EXPORT int access(const char *path, int mode) noexcept
{
	int r;
	return board_access(path, &r) ? r : LIBC(access)::call(path, mode);
}

EXPORT int faccessat(int dirfd, const char *path, int mode, int flags) noexcept
{
	int r;
	return board_access(path, &r) ? r : LIBC(faccessat)::call(dirfd, path, mode, flags);
}

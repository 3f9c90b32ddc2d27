// The C library entry points that reach the board's devices, its sleeps and
// the commands it runs. A descriptor that is not a modelled device and a path
// that is not a board node go straight to the C library.
#include "board.h"
#include "cpld.h"
#include "fdtab.h"
#include "i2c.h"
#include "mtd.h"
#include "sys.h"
#include "trace.h"

#include <cerrno>
#include <dlfcn.h>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace vb;

namespace {

struct Known {
	const char *path;
	Dev dev;
	int index;
	unsigned major, minor;
};

// Device numbers as the board's kernel gives them (libmtd looks at them).
const Known known[] = {
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

int fail(int err)
{
	errno = err;
	return -1;
}

const Known *lookup(const char *path)
{
	if (!path || path[0] != '/')
		return nullptr;
	for (const Known &k : known)
		if (strcmp(path, k.path) == 0)
			return &k;
	return nullptr;
}

const Known *known_of(const Node *n)
{
	for (const Known &k : known)
		if (k.dev == n->dev && k.index == n->index)
			return &k;
	return nullptr;
}

void fake_stat(const Known *k, struct stat *st)
{
	memset(st, 0, sizeof *st);
	st->st_mode = S_IFCHR | 0660;
	st->st_rdev = makedev(k->major, k->minor);
	st->st_dev = makedev(0, 6);
	st->st_ino = 1000 + (k - known);
	st->st_nlink = 1;
	st->st_blksize = 4096;
}

int open_device(const Known *k, int flags)
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

// True when the board answers this open itself; *fd is then its result.
bool board_open(const char *path, int flags, int *fd)
{
	if (!path || path[0] != '/' || !board_active())
		return false;
	const Known *k = lookup(path);
	bool proc = strcmp(path, PROC_MTD) == 0;
	if (!k && !proc) {
		const Conf *c = board_conf_peek();
		if (!c || !conf_is_missing(c, path))
			return false;
		trace_printf("fault missing %s", path);
		*fd = fail(ENOENT);
		return true;
	}
	board_refresh();
	const Conf *c = board_conf();
	if (!c) {
		*fd = fail(k ? EIO : ENOENT);
		return true;
	}
	if (conf_is_missing(c, path)) {
		trace_printf("fault missing %s", path);
		*fd = fail(ENOENT);
		return true;
	}
	*fd = proc ? mtd_proc_open() : open_device(k, flags);
	return true;
}

// A descriptor the C library handed out may carry a number we once saw
// closed behind our back (fclose, close_range): it is not a device.
int passed_through(int fd)
{
	if (fd >= 0 && fdtab_get(fd))
		fdtab_drop(fd);
	return fd;
}

int do_open(const char *path, int flags, mode_t mode)
{
	int fd;
	if (board_open(path, flags, &fd))
		return fd;
	return passed_through(sys::open(path, flags, mode));
}

int do_openat(int dirfd, const char *path, int flags, mode_t mode)
{
	int fd;
	if (board_open(path, flags, &fd))
		return fd;
	return passed_through(sys::openat(dirfd, path, flags, mode));
}

ssize_t node_read(Node *n, int fd, void *buf, size_t len, const off_t *at)
{
	switch (n->dev) {
	case Dev::mtd:
		return mtd_read(n, fd, buf, len, at);
	case Dev::i2c:
		return at ? fail(ESPIPE) : i2c_read(n, buf, len);
	default:
		return cpld_read(n, fd, buf, len, at);
	}
}

ssize_t node_write(Node *n, int fd, const void *buf, size_t len, const off_t *at)
{
	switch (n->dev) {
	case Dev::mtd:
		return mtd_write(n, fd, buf, len, at);
	case Dev::i2c:
		return at ? fail(ESPIPE) : i2c_write(n, buf, len);
	default:
		return cpld_write(n, fd, buf, len, at);
	}
}

ssize_t do_read(int fd, void *buf, size_t len)
{
	Node *n = fdtab_get(fd);
	return n ? node_read(n, fd, buf, len, nullptr) : sys::read(fd, buf, len);
}

ssize_t do_pread(int fd, void *buf, size_t len, off_t at)
{
	Node *n = fdtab_get(fd);
	if (!n)
		return sys::pread(fd, buf, len, at);
	return at < 0 ? fail(EINVAL) : node_read(n, fd, buf, len, &at);
}

ssize_t do_pwrite(int fd, const void *buf, size_t len, off_t at)
{
	Node *n = fdtab_get(fd);
	if (!n)
		return sys::pwrite(fd, buf, len, at);
	return at < 0 ? fail(EINVAL) : node_write(n, fd, buf, len, &at);
}

off_t do_lseek(int fd, off_t off, int whence)
{
	Node *n = fdtab_get(fd);
	if (!n)
		return sys::lseek(fd, off, whence);
	switch (n->dev) {
	case Dev::mtd:
		return mtd_seek(n, fd, off, whence);
	case Dev::i2c:
		return fail(ESPIPE);
	default:
		return cpld_seek(fd, off, whence);
	}
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

int do_stat(const char *path, struct stat *st, bool follow)
{
	const Known *k = board_active() ? lookup(path) : nullptr;
	const Conf *c = k ? board_conf_peek() : nullptr;
	if (!c)
		return follow ? sys::stat(path, st) : sys::lstat(path, st);
	if (conf_is_missing(c, path))
		return fail(ENOENT);
	fake_stat(k, st);
	return 0;
}

int do_fstat(int fd, struct stat *st)
{
	Node *n = fdtab_get(fd);
	if (!n)
		return sys::fstat(fd, st);
	fake_stat(known_of(n), st);
	return 0;
}

int do_fstatat(int dirfd, const char *path, struct stat *st, int flags)
{
	if (path && path[0] == '\0' && (flags & AT_EMPTY_PATH) && fdtab_get(dirfd))
		return do_fstat(dirfd, st);
	if (path && path[0] == '/' && board_active() && lookup(path))
		return do_stat(path, st, !(flags & AT_SYMLINK_NOFOLLOW));
	return sys::fstatat(dirfd, path, st, flags);
}

// The board's nodes and its /proc/mtd exist for access(), whatever is on
// disk; a node of fault.missing does not.
bool board_access(const char *path, int *result)
{
	if (!path || path[0] != '/' || !board_active())
		return false;
	const Conf *c = board_conf_peek();
	if (!c || (!lookup(path) && strcmp(path, PROC_MTD) != 0))
		return false;
	*result = conf_is_missing(c, path) ? fail(ENOENT) : 0;
	return true;
}

bool fast_time()
{
	const Conf *c = board_active() ? board_conf_peek() : nullptr;
	return c && !c->real_time;
}

void trace_sleep(uint64_t usec)
{
	trace_printf("sleep %" PRIu64, usec);
}

bool valid_timespec(const struct timespec *t)
{
	return t && t->tv_sec >= 0 && t->tv_nsec >= 0 && t->tv_nsec < 1000000000;
}

uint64_t usec_of(const struct timespec *t)
{
	return static_cast<uint64_t>(t->tv_sec) * 1000000 + (static_cast<uint64_t>(t->tv_nsec) + 999) / 1000;
}

// Fast time: the sleep has happened the moment it was asked for. Its line
// is stamped with the clock it advanced from, so that sleeps of concurrent
// processes follow one another on the board clock.
void sleep_virtually(uint64_t usec)
{
	uint64_t start = state_advance(board_state(), usec);
	trace_text_at(start, "sleep " + std::to_string(usec));
}

void trace_exec(const char *path, char *const argv[])
{
	if (!board_active())
		return;
	std::string line = "exec ";
	line += trace_word(path ? path : "");
	for (int i = 0; argv && argv[i]; i++) {
		line += ' ';
		line += trace_word(argv[i]);
	}
	trace_text_detached(line);
}

// The arguments of execl, execlp and execle up to the terminating null.
std::vector<char *> collect_args(const char *arg0, va_list ap)
{
	std::vector<char *> argv;
	argv.push_back(const_cast<char *>(arg0));
	while (argv.back())
		argv.push_back(va_arg(ap, char *));
	return argv;
}

} // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int open(const char *path, int flags, ...)
{
	mode_t mode = 0;
	if (flags & (O_CREAT | O_TMPFILE)) {
		va_list ap;
		va_start(ap, flags);
		mode = static_cast<mode_t>(va_arg(ap, int));
		va_end(ap);
	}
	return do_open(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...)
{
	mode_t mode = 0;
	if (flags & (O_CREAT | O_TMPFILE)) {
		va_list ap;
		va_start(ap, flags);
		mode = static_cast<mode_t>(va_arg(ap, int));
		va_end(ap);
	}
	return do_open(path, flags, mode);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
	mode_t mode = 0;
	if (flags & (O_CREAT | O_TMPFILE)) {
		va_list ap;
		va_start(ap, flags);
		mode = static_cast<mode_t>(va_arg(ap, int));
		va_end(ap);
	}
	return do_openat(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
	mode_t mode = 0;
	if (flags & (O_CREAT | O_TMPFILE)) {
		va_list ap;
		va_start(ap, flags);
		mode = static_cast<mode_t>(va_arg(ap, int));
		va_end(ap);
	}
	return do_openat(dirfd, path, flags, mode);
}

EXPORT int __open_2(const char *path, int flags)
{
	return do_open(path, flags, 0);
}

EXPORT int __open64_2(const char *path, int flags)
{
	return do_open(path, flags, 0);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
	return do_openat(dirfd, path, flags, 0);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
	return do_openat(dirfd, path, flags, 0);
}

EXPORT int close(int fd)
{
	fdtab_drop(fd);
	board_forget_fd(fd);
	return sys::close(fd);
}

EXPORT ssize_t read(int fd, void *buf, size_t len)
{
	return do_read(fd, buf, len);
}

EXPORT ssize_t __read_chk(int fd, void *buf, size_t len, size_t buflen)
{
	if (len > buflen)
		abort();
	return do_read(fd, buf, len);
}

EXPORT ssize_t write(int fd, const void *buf, size_t len)
{
	Node *n = fdtab_get(fd);
	return n ? node_write(n, fd, buf, len, nullptr) : sys::write(fd, buf, len);
}

EXPORT ssize_t pread(int fd, void *buf, size_t len, off_t at)
{
	return do_pread(fd, buf, len, at);
}

EXPORT ssize_t pread64(int fd, void *buf, size_t len, off_t at)
{
	return do_pread(fd, buf, len, at);
}

EXPORT ssize_t __pread_chk(int fd, void *buf, size_t len, off_t at, size_t buflen)
{
	if (len > buflen)
		abort();
	return do_pread(fd, buf, len, at);
}

EXPORT ssize_t __pread64_chk(int fd, void *buf, size_t len, off_t at, size_t buflen)
{
	if (len > buflen)
		abort();
	return do_pread(fd, buf, len, at);
}

EXPORT ssize_t pwrite(int fd, const void *buf, size_t len, off_t at)
{
	return do_pwrite(fd, buf, len, at);
}

EXPORT ssize_t pwrite64(int fd, const void *buf, size_t len, off_t at)
{
	return do_pwrite(fd, buf, len, at);
}

EXPORT off_t lseek(int fd, off_t off, int whence) noexcept
{
	return do_lseek(fd, off, whence);
}

EXPORT off_t lseek64(int fd, off_t off, int whence) noexcept
{
	return do_lseek(fd, off, whence);
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
	return sys::ioctl(fd, TCFLSH, (void *)(intptr_t)queue);
}

EXPORT int tcflush(int fd, int queue) noexcept
{
	return serial_flush(fd, queue);
}

EXPORT int ioctl(int fd, unsigned long req, ...) noexcept
{
	va_list ap;
	va_start(ap, req);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	Node *n = fdtab_get(fd);
	if (!n && req == TCFLSH)
		return serial_flush(fd, (int)(intptr_t)arg);
	if (!n)
		return sys::ioctl(fd, req, arg);
	switch (n->dev) {
	case Dev::mtd:
		return mtd_ioctl(n, fd, req, arg);
	case Dev::i2c:
		return i2c_ioctl(n, req, arg);
	default:
		return fail(ENOTTY);
	}
}

EXPORT int dup(int fd) noexcept
{
	return duplicated(fd, sys::dup(fd));
}

EXPORT int dup2(int fd, int fd2) noexcept
{
	int r = sys::dup2(fd, fd2);
	return fd == fd2 ? r : duplicated(fd, r);
}

EXPORT int dup3(int fd, int fd2, int flags) noexcept
{
	return duplicated(fd, sys::dup3(fd, fd2, flags));
}

EXPORT int fcntl(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	int r = sys::fcntl(fd, cmd, arg);
	if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)
		return duplicated(fd, r);
	return r;
}

EXPORT int fcntl64(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	int r = sys::fcntl(fd, cmd, arg);
	if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)
		return duplicated(fd, r);
	return r;
}

EXPORT int stat(const char *path, struct stat *st) noexcept
{
	return do_stat(path, st, true);
}

EXPORT int stat64(const char *path, struct stat64 *st) noexcept
{
	return do_stat(path, reinterpret_cast<struct stat *>(st), true);
}

EXPORT int lstat(const char *path, struct stat *st) noexcept
{
	return do_stat(path, st, false);
}

EXPORT int lstat64(const char *path, struct stat64 *st) noexcept
{
	return do_stat(path, reinterpret_cast<struct stat *>(st), false);
}

EXPORT int fstat(int fd, struct stat *st) noexcept
{
	return do_fstat(fd, st);
}

EXPORT int fstat64(int fd, struct stat64 *st) noexcept
{
	return do_fstat(fd, reinterpret_cast<struct stat *>(st));
}

EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept
{
	return do_fstatat(dirfd, path, st, flags);
}

EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept
{
	return do_fstatat(dirfd, path, reinterpret_cast<struct stat *>(st), flags);
}

// Entry points of programs built against older C libraries.
EXPORT int __xstat(int, const char *path, struct stat *st)
{
	return do_stat(path, st, true);
}

EXPORT int __xstat64(int, const char *path, struct stat *st)
{
	return do_stat(path, st, true);
}

EXPORT int __lxstat(int, const char *path, struct stat *st)
{
	return do_stat(path, st, false);
}

EXPORT int __lxstat64(int, const char *path, struct stat *st)
{
	return do_stat(path, st, false);
}

EXPORT int __fxstat(int, int fd, struct stat *st)
{
	return do_fstat(fd, st);
}

EXPORT int __fxstat64(int, int fd, struct stat *st)
{
	return do_fstat(fd, st);
}

EXPORT int access(const char *path, int mode) noexcept
{
	int r;
	return board_access(path, &r) ? r : sys::access(path, mode);
}

EXPORT int faccessat(int dirfd, const char *path, int mode, int flags) noexcept
{
	int r;
	return board_access(path, &r) ? r : sys::faccessat(dirfd, path, mode, flags);
}

EXPORT unsigned sleep(unsigned s)
{
	if (!board_active())
		return sys::sleep(s);
	if (fast_time()) {
		sleep_virtually(static_cast<uint64_t>(s) * 1000000);
		return 0;
	}
	trace_sleep(static_cast<uint64_t>(s) * 1000000);
	return sys::sleep(s);
}

EXPORT int usleep(useconds_t us)
{
	if (!board_active())
		return sys::usleep(us);
	if (fast_time()) {
		sleep_virtually(us);
		return 0;
	}
	trace_sleep(us);
	return sys::usleep(us);
}

EXPORT int nanosleep(const struct timespec *req, struct timespec *rem)
{
	if (!board_active() || !valid_timespec(req))
		return sys::nanosleep(req, rem);
	if (fast_time()) {
		sleep_virtually(usec_of(req));
		return 0;
	}
	trace_sleep(usec_of(req));
	return sys::nanosleep(req, rem);
}

EXPORT int clock_nanosleep(clockid_t clk, int flags, const struct timespec *req, struct timespec *rem)
{
	struct timespec now;
	if (!board_active() || !valid_timespec(req) || clk == CLOCK_THREAD_CPUTIME_ID ||
	    clock_gettime(clk, &now) != 0)
		return sys::clock_nanosleep(clk, flags, req, rem);
	struct timespec length = *req;
	if (flags & TIMER_ABSTIME) {
		int64_t ns = (static_cast<int64_t>(req->tv_sec) - now.tv_sec) * 1000000000 + (req->tv_nsec - now.tv_nsec);
		if (ns < 0)
			ns = 0;
		length.tv_sec = ns / 1000000000;
		length.tv_nsec = ns % 1000000000;
	}
	if (fast_time()) {
		sleep_virtually(usec_of(&length));
		return 0;
	}
	trace_sleep(usec_of(&length));
	return sys::clock_nanosleep(clk, flags, req, rem);
}

EXPORT int system(const char *cmd)
{
	if (cmd && board_active())
		trace_text("system \"" + c_escape(cmd) + "\"");
	return sys::system(cmd);
}

EXPORT int execve(const char *path, char *const argv[], char *const envp[]) noexcept
{
	static int (*next)(const char *, char *const[], char *const[]);
	trace_exec(path, argv);
	if (!next)
		next = reinterpret_cast<decltype(next)>(dlsym(RTLD_NEXT, "execve"));
	return next ? next(path, argv, envp) : fail(ENOSYS);
}

EXPORT int execv(const char *path, char *const argv[]) noexcept
{
	static int (*next)(const char *, char *const[]);
	trace_exec(path, argv);
	if (!next)
		next = reinterpret_cast<decltype(next)>(dlsym(RTLD_NEXT, "execv"));
	return next ? next(path, argv) : fail(ENOSYS);
}

EXPORT int execvp(const char *file, char *const argv[]) noexcept
{
	static int (*next)(const char *, char *const[]);
	trace_exec(file, argv);
	if (!next)
		next = reinterpret_cast<decltype(next)>(dlsym(RTLD_NEXT, "execvp"));
	return next ? next(file, argv) : fail(ENOSYS);
}

EXPORT int execvpe(const char *file, char *const argv[], char *const envp[]) noexcept
{
	static int (*next)(const char *, char *const[], char *const[]);
	trace_exec(file, argv);
	if (!next)
		next = reinterpret_cast<decltype(next)>(dlsym(RTLD_NEXT, "execvpe"));
	return next ? next(file, argv, envp) : fail(ENOSYS);
}

EXPORT int execl(const char *path, const char *arg0, ...) noexcept
{
	va_list ap;
	va_start(ap, arg0);
	std::vector<char *> argv = collect_args(arg0, ap);
	va_end(ap);
	return execv(path, argv.data());
}

EXPORT int execlp(const char *file, const char *arg0, ...) noexcept
{
	va_list ap;
	va_start(ap, arg0);
	std::vector<char *> argv = collect_args(arg0, ap);
	va_end(ap);
	return execvp(file, argv.data());
}

EXPORT int execle(const char *path, const char *arg0, ...) noexcept
{
	va_list ap;
	va_start(ap, arg0);
	std::vector<char *> argv = collect_args(arg0, ap);
	char *const *envp = va_arg(ap, char *const *);
	va_end(ap);
	return execve(path, argv.data(), envp);
}

// Resolves each C library function once with dlsym(RTLD_NEXT), so that calls
// made by the models themselves never loop back into the interposers.
#include "sys.h"

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vb::sys {

namespace {

template <typename F> F next(F &slot, const char *name)
{
	if (!slot)
		slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
	return slot;
}

// The next definition of the C library function name, or ENOSYS.
#define NEXT(name)                                                                                 \
	static decltype(&::name) fn_##name;                                                        \
	auto f = next(fn_##name, #name);                                                           \
	if (!f) {                                                                                  \
		errno = ENOSYS;                                                                    \
		return -1;                                                                         \
	}

} // namespace

int open(const char *path, int flags, mode_t mode)
{
	NEXT(open);
	return f(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, mode_t mode)
{
	NEXT(openat);
	return f(dirfd, path, flags, mode);
}

int close(int fd)
{
	NEXT(close);
	return f(fd);
}

ssize_t read(int fd, void *buf, size_t n)
{
	NEXT(read);
	return f(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
	NEXT(write);
	return f(fd, buf, n);
}

ssize_t pread(int fd, void *buf, size_t n, off_t off)
{
	NEXT(pread);
	return f(fd, buf, n, off);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off)
{
	NEXT(pwrite);
	return f(fd, buf, n, off);
}

off_t lseek(int fd, off_t off, int whence)
{
	NEXT(lseek);
	return f(fd, off, whence);
}

int ioctl(int fd, unsigned long req, void *arg)
{
	NEXT(ioctl);
	return f(fd, req, arg);
}

int fcntl(int fd, int cmd, void *arg)
{
	NEXT(fcntl);
	return f(fd, cmd, arg);
}

int dup(int fd)
{
	NEXT(dup);
	return f(fd);
}

int dup2(int fd, int fd2)
{
	NEXT(dup2);
	return f(fd, fd2);
}

int dup3(int fd, int fd2, int flags)
{
	NEXT(dup3);
	return f(fd, fd2, flags);
}

int access(const char *path, int mode)
{
	NEXT(access);
	return f(path, mode);
}

int faccessat(int dirfd, const char *path, int mode, int flags)
{
	NEXT(faccessat);
	return f(dirfd, path, mode, flags);
}

int stat(const char *path, struct stat *st)
{
	NEXT(stat);
	return f(path, st);
}

int lstat(const char *path, struct stat *st)
{
	NEXT(lstat);
	return f(path, st);
}

int fstat(int fd, struct stat *st)
{
	NEXT(fstat);
	return f(fd, st);
}

int fstatat(int dirfd, const char *path, struct stat *st, int flags)
{
	NEXT(fstatat);
	return f(dirfd, path, st, flags);
}

unsigned sleep(unsigned s)
{
	static unsigned (*fn)(unsigned);
	auto f = next(fn, "sleep");
	return f ? f(s) : s;
}

int usleep(useconds_t us)
{
	NEXT(usleep);
	return f(us);
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
	NEXT(nanosleep);
	return f(req, rem);
}

int clock_nanosleep(clockid_t clk, int flags, const struct timespec *req, struct timespec *rem)
{
	static int (*fn)(clockid_t, int, const struct timespec *, struct timespec *);
	auto f = next(fn, "clock_nanosleep");
	return f ? f(clk, flags, req, rem) : ENOSYS;
}

int system(const char *cmd)
{
	NEXT(system);
	return f(cmd);
}

off_t position(int fd, const off_t *at)
{
	return at ? *at : lseek(fd, 0, SEEK_CUR);
}

bool write_all(int fd, const void *buf, size_t n)
{
	auto p = static_cast<const char *>(buf);
	while (n > 0) {
		ssize_t k = write(fd, p, n);
		if (k < 0 && errno == EINTR)
			continue;
		if (k <= 0)
			return false;
		p += k;
		n -= static_cast<size_t>(k);
	}
	return true;
}

} // namespace vb::sys

#include "sys.h"

#include <fcntl.h>
#include <unistd.h>

namespace vb::sys {

int open(const char *path, int flags, mode_t mode)
{
	return LIBC(open)::call(path, flags | O_LARGEFILE, mode);
}

int close(int fd)
{
	return LIBC(close)::call(fd);
}

ssize_t read(int fd, void *buf, size_t n)
{
	return LIBC(read)::call(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
	return LIBC(write)::call(fd, buf, n);
}

ssize_t pread(int fd, void *buf, size_t n, off64_t off)
{
	return LIBC(pread64)::call(fd, buf, n, off);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off64_t off)
{
	return LIBC(pwrite64)::call(fd, buf, n, off);
}

off64_t lseek(int fd, off64_t off, int whence)
{
	return LIBC(lseek64)::call(fd, off, whence);
}

int fcntl(int fd, int cmd, void *arg)
{
	return LIBC(fcntl)::call(fd, cmd, arg);
}

int stat(const char *path, struct stat *st)
{
	return LIBC(stat)::call(path, st);
}

int fstat(int fd, struct stat *st)
{
	return LIBC(fstat)::call(fd, st);
}

unsigned sleep(unsigned s)
{
	auto f = LIBC(sleep)::get();
	return f ? f(s) : s;
}

int clock_nanosleep(clockid_t clk, int flags, const struct timespec *req, struct timespec *rem)
{
	auto f = LIBC(clock_nanosleep)::get();
	return f ? f(clk, flags, req, rem) : ENOSYS;
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

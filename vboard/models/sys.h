// The C library's own entry points, reached past the interposers so that the
// models can use files without re-entering themselves.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

namespace vb::sys {

int open(const char *path, int flags, mode_t mode = 0);
int openat(int dirfd, const char *path, int flags, mode_t mode = 0);
int close(int fd);
ssize_t read(int fd, void *buf, size_t n);
ssize_t write(int fd, const void *buf, size_t n);
ssize_t pread(int fd, void *buf, size_t n, off_t off);
ssize_t pwrite(int fd, const void *buf, size_t n, off_t off);
off_t lseek(int fd, off_t off, int whence);
int ioctl(int fd, unsigned long req, void *arg);
int fcntl(int fd, int cmd, void *arg);
int dup(int fd);
int dup2(int fd, int fd2);
int dup3(int fd, int fd2, int flags);
int access(const char *path, int mode);
int faccessat(int dirfd, const char *path, int mode, int flags);
int stat(const char *path, struct stat *st);
int lstat(const char *path, struct stat *st);
int fstat(int fd, struct stat *st);
int fstatat(int dirfd, const char *path, struct stat *st, int flags);
unsigned sleep(unsigned s);
int usleep(useconds_t us);
int nanosleep(const struct timespec *req, struct timespec *rem);
int clock_nanosleep(clockid_t clk, int flags, const struct timespec *req, struct timespec *rem);
int system(const char *cmd);

// Where a transfer starts: at `at` for pread/pwrite, else at the
// descriptor's own position; -1 when that cannot be had.
off_t position(int fd, const off_t *at);

// Writes all of buf (retrying short writes and EINTR); true on success.
bool write_all(int fd, const void *buf, size_t n);

} // namespace vb::sys

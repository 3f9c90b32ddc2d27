// The C library's own entry points, reached past the interposers so that the
// models can use files without re-entering themselves.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

namespace vb {

// How the C library reports a failure: errno set, -1 returned.
inline int fail(int err)
{
	errno = err;
	return -1;
}

namespace sys {

// A symbol name that can be a template argument, so that every entry point
// keeps a slot of its own.
template <size_t N> struct Symbol {
	char name[N];
	constexpr Symbol(const char (&s)[N])
	{
		for (size_t i = 0; i < N; i++)
			name[i] = s[i];
	}
};

// The next definition of symbol S, of type F, past this library: the C
// library's own. Looked up once, without a lock or an initialisation guard,
// so that a vfork child may be the first to ask.
template <Symbol S, typename F> struct Next {
	static F get()
	{
		static std::atomic<F> slot{nullptr};
		F f = slot.load(std::memory_order_relaxed);
		if (!f) {
			f = reinterpret_cast<F>(dlsym(RTLD_NEXT, S.name));
			slot.store(f, std::memory_order_relaxed);
		}
		return f;
	}

	// Calls it; without one, fails with ENOSYS.
	template <typename... A> static auto call(A... args)
	{
		F f = get();
		if (!f)
			return static_cast<decltype(f(args...))>(fail(ENOSYS));
		return f(args...);
	}
};

// The type of a function pointer without the attributes of the function's
// declaration (nonnull and the like), which a template argument cannot keep.
template <typename F> F plain(F);

} // namespace sys

} // namespace vb

// Defines a C library entry point: the library exports these and nothing else.
#define EXPORT extern "C" __attribute__((visibility("default")))

// The C library's own definition of the entry point `name`, with the type the
// C library declares for it.
#define LIBC(name) ::vb::sys::Next<#name, decltype(::vb::sys::plain(&::name))>

namespace vb::sys {

// What the models use of files themselves. Offsets are 64-bit, whatever the
// programs the models go into use: a device position past 2 GiB must reach
// its model intact.
int open(const char *path, int flags, mode_t mode = 0);
int close(int fd);
ssize_t read(int fd, void *buf, size_t n);
ssize_t write(int fd, const void *buf, size_t n);
ssize_t pread(int fd, void *buf, size_t n, off64_t off);
ssize_t pwrite(int fd, const void *buf, size_t n, off64_t off);
off64_t lseek(int fd, off64_t off, int whence);
int fcntl(int fd, int cmd, void *arg);
int stat(const char *path, struct stat *st);
int fstat(int fd, struct stat *st);

// The two whose failure is not errno and -1: sleep returns what is left of
// the sleep, clock_nanosleep the error number.
unsigned sleep(unsigned s);
int clock_nanosleep(clockid_t clk, int flags, const struct timespec *req, struct timespec *rem);

// Writes all of buf (retrying short writes and EINTR); true on success.
bool write_all(int fd, const void *buf, size_t n);

} // namespace vb::sys

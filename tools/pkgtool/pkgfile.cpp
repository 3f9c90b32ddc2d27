#include "pkgfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

// Signals whose default action ends the process while an output may be
// half-written: the terminal's keys, a hang-up, kill's default, a closed
// pipe on standard output and a file-size limit reached mid-write.
constexpr int fatal_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGXFSZ};

// The temporary file to remove if one of them arrives.  It is only changed
// with those signals blocked, so the handler never sees it half-updated.
const char *volatile pending_tmp = nullptr;
bool handlers_installed = false;

void remove_pending_and_die(int sig)
{
	const char *tmp = pending_tmp;
	if (tmp)
		unlink(tmp);
	// SA_RESETHAND put the default action back; the signal is blocked while
	// this handler runs, so it ends the process as soon as we return.
	raise(sig);
}

void install_handlers()
{
	if (handlers_installed)
		return;
	handlers_installed = true;
	struct sigaction sa {};
	sa.sa_handler = remove_pending_and_die;
	sa.sa_flags = SA_RESETHAND;
	sigemptyset(&sa.sa_mask);
	for (int sig : fatal_signals) {
		struct sigaction old {};
		// A signal the caller chose to ignore (nohup, a background job)
		// stays ignored.
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
			continue;
		sigaction(sig, &sa, nullptr);
	}
}

// Blocks the fatal signals for its lifetime.
struct SignalsHeld {
	sigset_t old;
	SignalsHeld()
	{
		sigset_t set;
		sigemptyset(&set);
		for (int sig : fatal_signals)
			sigaddset(&set, sig);
		sigprocmask(SIG_BLOCK, &set, &old);
	}
	~SignalsHeld() { sigprocmask(SIG_SETMASK, &old, nullptr); }
	SignalsHeld(const SignalsHeld &) = delete;
	SignalsHeld &operator=(const SignalsHeld &) = delete;
};

} // namespace

int fail(const char *what, const char *name)
{
	fprintf(stderr, "pkgtool: %s: %s\n", name, what);
	return PKG_ERROR;
}

int fail_errno(const char *name)
{
	return fail(strerror(errno), name);
}

Fd::~Fd()
{
	if (fd >= 0)
		close(fd);
}

int open_regular(const char *path, Fd &f, uint64_t *size)
{
	// Without O_NONBLOCK, opening a FIFO waits for a writer that may never
	// come; the type is checked on the descriptor, not on the name, so the
	// file cannot be swapped between the check and the reads.
	f.fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (f.fd < 0)
		return fail_errno(path);
	struct stat st;
	if (fstat(f.fd, &st) != 0)
		return fail_errno(path);
	if (!S_ISREG(st.st_mode))
		return fail("not a regular file", path);
	if (fcntl(f.fd, F_SETFL, 0) != 0)
		return fail_errno(path);
	*size = (uint64_t)st.st_size;
	return PKG_OK;
}

ssize_t read_at(int fd, uint8_t *p, size_t n, uint64_t off)
{
	size_t got = 0;
	while (got < n) {
		ssize_t r = pread(fd, p + got, n - got, (off_t)(off + got));
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			return -1;
		if (r == 0)
			break;
		got += (size_t)r;
	}
	return (ssize_t)got;
}

bool write_all(int fd, const uint8_t *p, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		p += w;
		n -= (size_t)w;
	}
	return true;
}

bool open_pending(PendingFile &f, const std::string &path)
{
	if (pending_tmp) {
		errno = EBUSY;
		return false;
	}
	install_handlers();
	f.path = path;
	std::string tmpl = path + ".XXXXXX";
	std::vector<char> name(tmpl.begin(), tmpl.end());
	name.push_back('\0');
	SignalsHeld held;
	f.fd = mkostemp(name.data(), O_CLOEXEC);
	if (f.fd < 0)
		return false;
	f.tmp = name.data();
	pending_tmp = f.tmp.c_str();
	fchmod(f.fd, 0644);
	return true;
}

bool commit_pending(PendingFile &f)
{
	int fd = f.fd;
	f.fd = -1;
	if (close(fd) != 0)
		return false;
	SignalsHeld held;
	if (rename(f.tmp.c_str(), f.path.c_str()) != 0)
		return false;
	pending_tmp = nullptr;
	f.tmp.clear();
	return true;
}

PendingFile::~PendingFile()
{
	if (fd >= 0)
		close(fd);
	if (tmp.empty())
		return;
	SignalsHeld held;
	unlink(tmp.c_str());
	pending_tmp = nullptr;
}

uint32_t crc_join(uint32_t crc_a, uint32_t crc_b, uint32_t len_b)
{
	return ~(uint32_t)crc32_combine(~crc_a, ~crc_b, len_b);
}

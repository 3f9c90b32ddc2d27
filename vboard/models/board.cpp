#include "board.h"

#include "sys.h"
#include "trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vb {

namespace {

// Descriptors of the models live high, out of the way of shells and of
// programs that expect the lowest free numbers.
constexpr long HIGH_FD = 200;

pthread_once_t once = PTHREAD_ONCE_INIT;
char dir[4096];
bool active;
Conf conf;
bool conf_ok;
bool conf_reported;
char conf_err[512];
struct stat conf_st;
State *state;
std::atomic<int> trace_fd{-1};
pthread_mutex_t trace_lock = PTHREAD_MUTEX_INITIALIZER;

void conf_stat(struct stat *st)
{
	if (sys::stat(board_path("board.conf").c_str(), st) != 0)
		memset(st, 0, sizeof *st);
}

bool same_file_version(const struct stat &a, const struct stat &b)
{
	return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
	       a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void load_conf()
{
	conf_stat(&conf_st);
	conf_ok = conf_load(board_path("board.conf").c_str(), &conf, conf_err, sizeof conf_err);
	conf_reported = false;
}

// An emulator running a program of the board built for another machine
// (qemu-ppc) is no program of the board itself: the program inside has its
// own copy of the models, and the emulator's own files and sleeps (its
// helper thread naps every few milliseconds) are the PC's, not the board's.
bool in_emulator()
{
	char exe[4096];
	ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
	if (n <= 0)
		return false;
	exe[n] = '\0';
	const char *base = strrchr(exe, '/');
	return strncmp(base ? base + 1 : exe, "qemu-", 5) == 0;
}

void init()
{
	const char *d = getenv("VBOARD_DIR");
	if (!d || !*d || strlen(d) >= sizeof dir || in_emulator())
		return;
	strcpy(dir, d);
	active = true;
	load_conf();
	state = state_map(dir);
}

void ensure_init()
{
	pthread_once(&once, init);
}

int move_high(int fd)
{
	int hi = sys::fcntl(fd, F_DUPFD_CLOEXEC, reinterpret_cast<void *>(HIGH_FD));
	if (hi < 0)
		return fd;
	sys::close(fd);
	return hi;
}

int get_trace_fd()
{
	int fd = trace_fd.load();
	if (fd >= 0)
		return fd;
	pthread_mutex_lock(&trace_lock);
	fd = trace_fd.load();
	if (fd < 0) {
		fd = trace_open(dir);
		if (fd >= 0)
			fd = move_high(fd);
		trace_fd.store(fd);
	}
	pthread_mutex_unlock(&trace_lock);
	return fd;
}

} // namespace

bool board_active()
{
	ensure_init();
	return active;
}

const char *board_dir()
{
	ensure_init();
	return dir;
}

const Conf *board_conf()
{
	ensure_init();
	if (!active)
		return nullptr;
	if (!conf_ok) {
		if (!conf_reported) {
			conf_reported = true;
			fprintf(stderr, "vboard: %s (board not modelled)\n", conf_err);
		}
		return nullptr;
	}
	return &conf;
}

const Conf *board_conf_peek()
{
	ensure_init();
	return active && conf_ok ? &conf : nullptr;
}

void board_refresh()
{
	ensure_init();
	if (!active)
		return;
	struct stat st;
	conf_stat(&st);
	if (!same_file_version(st, conf_st))
		load_conf();
}

State *board_state()
{
	ensure_init();
	return state;
}

uint64_t board_now()
{
	ensure_init();
	if (!state)
		return 0;
	return state_now(state, conf_ok && conf.real_time);
}

void trace_text_at(uint64_t usec, const std::string &text)
{
	if (!board_active())
		return;
	int fd = get_trace_fd();
	if (fd >= 0)
		trace_append(fd, usec, text);
}

void trace_text(const std::string &text)
{
	if (board_active())
		trace_text_at(board_now(), text);
}

void trace_printf(const char *fmt, ...)
{
	char line[1024];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(line, sizeof line, fmt, ap);
	va_end(ap);
	trace_text(line);
}

void trace_text_detached(const std::string &text)
{
	if (!board_active())
		return;
	int fd = trace_open(dir);
	if (fd < 0)
		return;
	trace_append(fd, board_now(), text);
	sys::close(fd);
}

void board_forget_fd(int fd)
{
	int expected = fd;
	trace_fd.compare_exchange_strong(expected, -1);
}

std::string board_path(const char *rel)
{
	std::string p = dir;
	p += '/';
	p += rel;
	return p;
}

__attribute__((constructor)) static void board_load()
{
	ensure_init();
}

} // namespace vb

// The board's sleeps. In fast time a sleep has happened the moment it is
// asked for and advances the board clock; in real time the C library sleeps
// it. Either way it is traced. glibc's sleep and usleep do not go through
// nanosleep, so each of them is caught here.
#include "board.h"
#include "sys.h"

#include <cinttypes>
#include <string>
#include <time.h>
#include <unistd.h>

using namespace vb;

namespace {

bool fast_time()
{
	const Conf *c = board_active() ? board_conf_peek() : nullptr;
	return c && !c->real_time;
}

bool valid_timespec(const struct timespec *t)
{
	return t && t->tv_sec >= 0 && t->tv_nsec >= 0 && t->tv_nsec < 1000000000;
}

uint64_t usec_of(const struct timespec *t)
{
	return static_cast<uint64_t>(t->tv_sec) * 1000000 + (static_cast<uint64_t>(t->tv_nsec) + 999) / 1000;
}

// True when a sleep of usec on the board has happened already (fast time).
// Its line is then stamped with the clock it advanced from, so that sleeps of
// concurrent processes follow one another on the board clock.
bool slept_virtually(uint64_t usec)
{
	if (fast_time()) {
		uint64_t start = state_advance(board_state(), usec);
		trace_text_at(start, "sleep " + std::to_string(usec));
		return true;
	}
	trace_printf("sleep %" PRIu64, usec);
	return false;
}

// How long clock_nanosleep sleeps: a deadline already passed costs nothing.
struct timespec length_of(int flags, const struct timespec *req, const struct timespec &now)
{
	if (!(flags & TIMER_ABSTIME))
		return *req;
	int64_t ns = (static_cast<int64_t>(req->tv_sec) - now.tv_sec) * 1000000000 + (req->tv_nsec - now.tv_nsec);
	if (ns < 0)
		ns = 0;
	return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

} // namespace

EXPORT unsigned sleep(unsigned s)
{
	return board_active() && slept_virtually(static_cast<uint64_t>(s) * 1000000) ? 0 : sys::sleep(s);
}

EXPORT int usleep(useconds_t us)
{
	return board_active() && slept_virtually(us) ? 0 : LIBC(usleep)::call(us);
}

EXPORT int nanosleep(const struct timespec *req, struct timespec *rem)
{
	bool board = board_active() && valid_timespec(req);
	return board && slept_virtually(usec_of(req)) ? 0 : LIBC(nanosleep)::call(req, rem);
}

EXPORT int clock_nanosleep(clockid_t clk, int flags, const struct timespec *req, struct timespec *rem)
{
	struct timespec now;
	if (!board_active() || !valid_timespec(req) || clk == CLOCK_THREAD_CPUTIME_ID ||
	    clock_gettime(clk, &now) != 0)
		return sys::clock_nanosleep(clk, flags, req, rem);
	struct timespec length = length_of(flags, req, now);
	return slept_virtually(usec_of(&length)) ? 0 : sys::clock_nanosleep(clk, flags, req, rem);
}

#include "state.h"

#include "sys.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace vb {

namespace {

constexpr uint32_t STATE_MAGIC = 0x76627332; // "vbs2"
constexpr size_t STATE_BYTES = 4096;

// Every process of a board maps the same page, whatever it was built for: no
// field's size, alignment or offset depends on the word size, and every
// access is one that is atomic on the shared memory, not a lock inside one
// process.
static_assert(sizeof(State) <= STATE_BYTES);
static_assert(alignof(State) == 4 && offsetof(State, counts) == 32 && offsetof(State, summit) == 96 &&
		      sizeof(State) == 352,
	      "the page's layout is fixed");
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free && std::atomic_ref<uint8_t>::is_always_lock_free,
	      "the page's words and bytes need lock-free atomics");

// Tries at the writer's turn between two looks at whether its holder is
// still there.
constexpr unsigned TRIES_PER_LOOK = 64;

State local_state;

// The 64-bit values as this process computes with them.
struct Values {
	uint64_t base_ns;
	uint64_t clock_us;
	uint64_t erases;
	uint64_t writes;
};

uint32_t little(uint32_t v)
{
	return std::endian::native == std::endian::little ? v : __builtin_bswap32(v);
}

std::atomic_ref<uint32_t> at(const Word &w)
{
	return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(w.le));
}

uint64_t wide_load(const Wide &w)
{
	return static_cast<uint64_t>(word_load(w.hi)) << 32 | word_load(w.lo);
}

void wide_store(Wide &w, uint64_t v)
{
	word_store(w.lo, static_cast<uint32_t>(v));
	word_store(w.hi, static_cast<uint32_t>(v >> 32));
}

Values counts_load(const Counts &c)
{
	return {wide_load(c.base_ns), wide_load(c.clock_us), wide_load(c.erases), wide_load(c.writes)};
}

void counts_store(Counts &c, const Values &v)
{
	wide_store(c.base_ns, v.base_ns);
	wide_store(c.clock_us, v.clock_us);
	wide_store(c.erases, v.erases);
	wide_store(c.writes, v.writes);
}

// The current values, read without waiting for anyone: read again when a
// writer made another copy current meanwhile, since it may have been
// filling the very copy just read.
Values current_values(const State *s)
{
	for (;;) {
		uint32_t v = word_load(s->current);
		Values x = counts_load(s->counts[v & 1]);
		if (word_load(s->current) == v)
			return x;
	}
}

// True when no process pid exists any more. The writers of a board share
// one PID namespace: the runner keeps a board to one namespace at a time.
bool gone(uint32_t pid)
{
	int saved = errno;
	bool dead = pid != 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
	errno = saved;
	return dead;
}

// This process's turn at writing the counts, for the life of the object.
// Signals wait while the turn is held (a handler that sleeps must not come
// back into a turn its own thread holds), not while it is waited for.
struct WriterTurn {
	State *s;
	sigset_t saved;

	explicit WriterTurn(State *state) : s(state)
	{
		sigset_t all;
		sigfillset(&all);
		uint32_t me = static_cast<uint32_t>(getpid());
		for (unsigned tries = 1;; tries++) {
			pthread_sigmask(SIG_BLOCK, &all, &saved);
			uint32_t holder = 0;
			if (word_cas(s->writer, holder, me))
				return;
			// A holder killed in its turn never ends it.
			if (tries % TRIES_PER_LOOK == 0 && gone(holder) && word_cas(s->writer, holder, me))
				return;
			pthread_sigmask(SIG_SETMASK, &saved, nullptr);
			sched_yield();
		}
	}

	~WriterTurn()
	{
		word_store(s->writer, 0);
		pthread_sigmask(SIG_SETMASK, &saved, nullptr);
	}

	WriterTurn(const WriterTurn &) = delete;
	WriterTurn &operator=(const WriterTurn &) = delete;
};

// Applies change to a copy of the current values, written to the copy that
// is not current, which then becomes current. Returns what change returns.
template <typename Change> uint64_t change_values(State *s, Change change)
{
	WriterTurn turn(s);
	uint32_t v = word_load(s->current);
	Values x = counts_load(s->counts[v & 1]);
	uint64_t result = change(x);
	counts_store(s->counts[(v + 1) & 1], x);
	word_store(s->current, v + 1);
	return result;
}

int64_t monotonic_ns()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A page nobody has powered on yet starts now; one of another layout (an
// older build's) holds nothing this one can read and starts afresh.
void adopt(State *s)
{
	uint32_t magic = word_load(s->magic);
	if (magic == STATE_MAGIC)
		return;
	if (magic != 0) {
		state_reset(s);
		return;
	}
	change_values(s, [](Values &x) {
		if (x.base_ns == 0)
			x.base_ns = static_cast<uint64_t>(monotonic_ns());
		return uint64_t{0};
	});
	word_store(s->magic, STATE_MAGIC);
}

} // namespace

uint32_t word_load(const Word &w)
{
	return little(at(w).load());
}

void word_store(Word &w, uint32_t value)
{
	at(w).store(little(value));
}

bool word_cas(Word &w, uint32_t &expected, uint32_t desired)
{
	uint32_t raw = little(expected);
	if (at(w).compare_exchange_strong(raw, little(desired)))
		return true;
	expected = little(raw);
	return false;
}

State *state_map(const char *dir)
{
	char path[4096];
	snprintf(path, sizeof path, "%s/state", dir);
	int fd = sys::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0) {
		adopt(&local_state);
		return &local_state;
	}
	struct stat st;
	void *p = MAP_FAILED;
	if (sys::fstat(fd, &st) == 0 &&
	    (st.st_size >= static_cast<off_t>(STATE_BYTES) || ftruncate(fd, STATE_BYTES) == 0))
		p = mmap(nullptr, STATE_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	sys::close(fd);
	State *s = p == MAP_FAILED ? &local_state : static_cast<State *>(p);
	adopt(s);
	return s;
}

void state_reset(State *s)
{
	Values zero{static_cast<uint64_t>(monotonic_ns()), 0, 0, 0};
	counts_store(s->counts[0], zero);
	counts_store(s->counts[1], zero);
	word_store(s->current, 0);
	word_store(s->writer, 0);
	word_store(s->cpld_wait, 0);
	word_store(s->cpld_mode, CPLD_READY);
	word_store(s->mux, 0);
	word_store(s->summit_ptr, 0);
	word_store(s->eeprom_ptr, 0);
	for (auto &r : s->summit)
		std::atomic_ref<uint8_t>(r).store(0);
	word_store(s->magic, STATE_MAGIC);
}

uint64_t state_now(State *s, bool real_time)
{
	Values x = current_values(s);
	if (!real_time)
		return x.clock_us;
	int64_t d = monotonic_ns() - static_cast<int64_t>(x.base_ns);
	return d > 0 ? static_cast<uint64_t>(d) / 1000 : 0;
}

uint64_t state_advance(State *s, uint64_t usec)
{
	return change_values(s, [usec](Values &x) {
		uint64_t before = x.clock_us;
		x.clock_us += usec;
		return before;
	});
}

uint64_t state_count_erase(State *s)
{
	return change_values(s, [](Values &x) { return ++x.erases; });
}

uint64_t state_count_write(State *s)
{
	return change_values(s, [](Values &x) { return ++x.writes; });
}

} // namespace vb

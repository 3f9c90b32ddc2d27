#include "state.h"

#include "sys.h"

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace vb {

namespace {

constexpr uint32_t STATE_MAGIC = 0x76627331; // "vbs1"
constexpr size_t STATE_BYTES = 4096;

static_assert(sizeof(State) <= STATE_BYTES);

// Every process of a board maps the same page, whatever it was built for: the
// layout holds no field whose size or alignment depends on the word size; the
// words are in this machine's byte order; and a 64-bit atomic must be one
// instruction on the shared memory, not a lock inside one process.
static_assert(offsetof(State, summit) == 56 && sizeof(State) == 312, "the page's layout is fixed");
static_assert(std::endian::native == std::endian::little, "the page's words are little-endian");
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free, "the page's 64-bit counters need lock-free atomics");

State local_state;

int64_t monotonic_ns()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

template <typename T> std::atomic_ref<T> at(T &field)
{
	return std::atomic_ref<T>(field);
}

// A state file nobody has powered on yet starts now.
void adopt(State *s)
{
	if (at(s->magic).load() == STATE_MAGIC)
		return;
	int64_t zero = 0;
	at(s->base_ns).compare_exchange_strong(zero, monotonic_ns());
	at(s->magic).store(STATE_MAGIC);
}

} // namespace

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
	at(s->clock_us).store(0);
	at(s->base_ns).store(monotonic_ns());
	at(s->erases).store(0);
	at(s->writes).store(0);
	at(s->cpld_wait).store(0);
	at(s->cpld_mode).store(CPLD_READY);
	at(s->mux).store(0);
	at(s->summit_ptr).store(0);
	at(s->eeprom_ptr).store(0);
	for (auto &r : s->summit)
		at(r).store(0);
	at(s->magic).store(STATE_MAGIC);
}

uint64_t state_now(State *s, bool real_time)
{
	if (!real_time)
		return at(s->clock_us).load();
	int64_t d = monotonic_ns() - at(s->base_ns).load();
	return d > 0 ? static_cast<uint64_t>(d) / 1000 : 0;
}

uint64_t state_advance(State *s, uint64_t usec)
{
	return at(s->clock_us).fetch_add(usec);
}

} // namespace vb

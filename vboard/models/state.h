// The machine state every process of a board shares: a page of BOARD/state
// mapped into each process, PC and PowerPC programs (under qemu-ppc) alike.
// Its layout is the same whatever the process's byte order and word size:
// 32-bit words, little-endian, at fixed offsets, each changed with 32-bit
// atomic operations, the widest that a 32-bit PowerPC has and that qemu-user
// makes atomic across processes.
//
// The 64-bit values (clock, counters) live in two copies: a writer fills the
// copy nobody reads and then makes it the current one with a single store,
// so readers never wait and never see half a value. Writers take turns
// through a word holding the writer's process id; a writer killed in the
// middle of an update leaves it held, and the next writer takes it over once
// that process is gone. No state is ever left half-changed.
#pragma once

#include <cstdint>

namespace vb {

enum : uint32_t { CPLD_READY = 0, CPLD_WAITING = 1, CPLD_STUCK = 2 };

// A word of the page, stored little-endian.
struct Word {
	uint32_t le;
};

uint32_t word_load(const Word &w);
void word_store(Word &w, uint32_t value);

// Replaces expected with desired if the word holds expected; otherwise
// expected becomes what it holds.
bool word_cas(Word &w, uint32_t &expected, uint32_t desired);

// One copy of the 64-bit values, each as its low and high word.
struct Wide {
	Word lo, hi;
};

struct Counts {
	Wide base_ns;	// CLOCK_MONOTONIC at power-on (real time)
	Wide clock_us;	// board clock in fast time
	Wide erases;	// MTD erases since power-on
	Wide writes;	// MTD writes since power-on
};

struct State {
	Word magic;
	Word cpld_mode;	// CPLD_READY, CPLD_WAITING or CPLD_STUCK
	Word cpld_wait;	// status reads still to read "not ready"
	Word mux;	// multiplexer channel mask
	Word summit_ptr;
	Word eeprom_ptr;
	Word writer;	// process id of the writer of the counts; 0: none
	Word current;	// counts[current & 1] is the current copy
	Counts counts[2];
	uint8_t summit[256];
};

// Maps dir/state, creating it when absent. Never fails: without a usable
// file the state lives in this process alone.
State *state_map(const char *dir);

// Power-on: clock 0, multiplexer 0, counters 0, CPLD ready.
void state_reset(State *s);

// Microseconds since power-on: virtual in fast time, monotonic in real time.
uint64_t state_now(State *s, bool real_time);

// Advances the fast-time clock; returns the clock before the advance.
uint64_t state_advance(State *s, uint64_t usec);

// Counts one more MTD erase or write; returns the count with it.
uint64_t state_count_erase(State *s);
uint64_t state_count_write(State *s);

} // namespace vb

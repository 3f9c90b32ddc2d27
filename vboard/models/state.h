// The machine state every process of a board shares: a page of BOARD/state
// mapped into each process and changed with atomic operations only, so that
// no lock can be left held by a process killed on the spot (power cut).
#pragma once

#include <cstdint>

namespace vb {

enum : uint32_t { CPLD_READY = 0, CPLD_WAITING = 1, CPLD_STUCK = 2 };

struct State {
	uint32_t magic;
	uint32_t cpld_mode;	// CPLD_READY, CPLD_WAITING or CPLD_STUCK
	int64_t base_ns;	// CLOCK_MONOTONIC at power-on (real time)
	uint64_t clock_us;	// board clock in fast time
	uint64_t erases;	// MTD erases since power-on
	uint64_t writes;	// MTD writes since power-on
	uint32_t cpld_wait;	// status reads still to read "not ready"
	uint32_t mux;		// multiplexer channel mask
	uint32_t summit_ptr;
	uint32_t eeprom_ptr;
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

} // namespace vb

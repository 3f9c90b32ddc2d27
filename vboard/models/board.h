// What this process knows of its board: the directory from VBOARD_DIR, the
// configuration, the shared machine state and the trace.
#pragma once

#include "conf.h"
#include "state.h"

#include <cstdint>
#include <string>

namespace vb {

// True when VBOARD_DIR names a board; otherwise everything passes through.
bool board_active();

const char *board_dir();

// The configuration, or nullptr when board.conf is bad (the models then
// refuse to work; the reason is printed once on stderr).
const Conf *board_conf();

// The same without reporting a bad board.conf: for paths every process
// takes (any open, stat, sleep), where a message would be noise.
const Conf *board_conf_peek();

// Re-reads board.conf when it changed since it was last read.
void board_refresh();

State *board_state();

// Microseconds since power-on.
uint64_t board_now();

// Appends one trace line "USEC text".
void trace_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void trace_text(const std::string &text);

// The same stamped usec rather than now.
void trace_text_at(uint64_t usec, const std::string &text);

// The same through a descriptor of its own, opened and closed around the
// write: for the exec family, which may run in a vfork child that shares our
// memory but not our descriptors.
void trace_text_detached(const std::string &text);

// The process closed or replaced fd: drop it if it was the trace's.
void board_forget_fd(int fd);

std::string board_path(const char *rel);

} // namespace vb

// BOARD/trace.log: one event a line, the board clock first. Each line goes out
// in a single write() on an O_APPEND descriptor, so the lines of concurrent
// processes never interleave.
#pragma once

#include <cstdint>
#include <string>

namespace vb {

// Opens dir/trace.log for appending; -1 on failure.
int trace_open(const char *dir);

// Appends "USEC text\n".
void trace_append(int fd, uint64_t usec, const std::string &text);

// s with C escapes for \n, \t, \\, \" and \xNN for other non-printables.
std::string c_escape(const char *s);

// One exec argument: as it is when plain, else quoted with C escapes, so that
// arguments with blanks stay one field.
std::string trace_word(const char *s);

} // namespace vb

// What the launch will meet in the archive of an application or
// diagnostics record, found by reading it as the board's tar would, without
// unpacking anything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Judges the gzip tar at [start, start + len) of `fd`: readable to its end,
// every member under /tmp, the program the launch starts present and
// executable (mpdiag.elf.strip for diagnostics), an install script
// executable.  A gzip-compressed program instead of an archive is a
// debugger image and passes.  Appends one line per problem; returns 0, or
// the errno of a read that failed.
int check_app_archive(int fd, uint64_t start, uint64_t len, bool diags, std::vector<std::string> *problems);

// A name as text safe for a terminal: control bytes (escape sequences),
// bytes that are not UTF-8 and the backslash as \xNN.
std::string printable(const std::string &name);

// pkgtool check: what would go wrong if a package were installed and booted
// on a board, found before it ships.  The board itself finds a bad archive
// only once it is too late, when the launch misses a file.
#pragma once

#include <cstdio>

// One line per finding (or one OK line); with `json`, one JSON object.
// Returns 0 when nothing would go wrong, 1 when something would, 2 when
// the package cannot be read.
int pkg_check(const char *path, bool json, FILE *out);

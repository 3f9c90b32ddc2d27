// pkgtool: build, list, verify and unpack image packages on the host.
// Every operation returns the command's exit status:
//   0  done, every record intact
//   1  the package holds a record (or bytes) that the board would not accept
//   2  usage or I/O error (one line naming the problem on standard error)
// This module reads packages; create.h builds them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "pkgfile.h"

int pkg_list(const char *path, FILE *out);
// The listing of an already open package of `size` bytes (used by the fuzzer).
int pkg_list_fd(int fd, uint64_t size, FILE *out);
int pkg_verify(const char *path, FILE *out);
int pkg_extract(const char *path, const char *dir, FILE *out);
int pkg_crc(const char *path, FILE *out);

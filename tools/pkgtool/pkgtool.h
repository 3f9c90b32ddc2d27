// pkgtool: build, list, verify and unpack image packages on the host.
// Every operation returns the command's exit status:
//   0  done, every record intact
//   1  the package holds a record (or bytes) that the board would not accept
//   2  usage or I/O error (one line naming the problem on standard error)
#pragma once

#include <cstdint>
#include <cstdio>

enum { PKG_OK = 0, PKG_BAD = 1, PKG_ERROR = 2 };

// create OUT [--extended[=HDRLEN]] TYPE=FILE[@A.B.C.D] ...
int pkg_create(int argc, char **argv);
int pkg_list(const char *path, FILE *out);
// The listing of an already open package of `size` bytes (used by the fuzzer).
int pkg_list_fd(int fd, uint64_t size, FILE *out);
int pkg_verify(const char *path, FILE *out);
int pkg_extract(const char *path, const char *dir, FILE *out);
int pkg_crc(const char *path, FILE *out);

// Parses "A.B.C.D" (each 0 to 255) into a version word; false on bad text.
bool parse_version(const char *text, uint32_t *id);

// pkgtool: build, list, verify and unpack image packages on the host.
// Every operation returns the command's exit status:
//   0  done, every record intact
//   1  the package holds a record (or bytes) that the board would not accept
//   2  usage or I/O error (one line naming the problem on standard error)
// This module reads packages; create.h builds them, check.h judges them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "image/record.h"
#include "pkgfile.h"

int pkg_list(const char *path, FILE *out);
// The listing of an already open package of `size` bytes (used by the fuzzer).
int pkg_list_fd(int fd, uint64_t size, FILE *out);
int pkg_verify(const char *path, FILE *out);
int pkg_extract(const char *path, const char *dir, FILE *out);
int pkg_crc(const char *path, FILE *out);

// An open package and a window of its bytes.  A walk over many tiny
// records finds each header and span in the window: it pays per record,
// not one system call per record.
struct Package {
	Package(int f, uint64_t n) : fd(f), size(n) {}
	int fd;
	uint64_t size;
	std::vector<uint8_t> window;
	uint64_t window_off = 0;
	size_t window_len = 0;
};

// One step of a walk over a package.
struct Scanned {
	uint64_t index; // 1-based
	uint64_t offset;
	WalkEntry walk;
	uint32_t computed; // valid when walk.step is record
	bool intact;
	uint64_t remaining;
};

// Opens the package at `path` and hands it to `use`; a package that cannot
// be opened ends the command here with its one-line error.
int with_package(const char *path, const std::function<int(Package &)> &use);
// Walks the package the way the board does and hands every step to `visit`,
// the final one (end, tail or an unusable header) included.  Returns false
// on an I/O error, with errno set.
bool scan_package(Package &pkg, const std::function<void(const Scanned &)> &visit);
// The n bytes at off (n at most IO_CHUNK, all within the size the walk
// started with), from the window, which is read anew from off when they are
// not all in it.  nullptr on an I/O error, with errno set (EIO when the
// file has shrunk under us).
const uint8_t *bytes_at(Package &pkg, uint64_t off, size_t n);

std::string version_text(uint32_t id);
// A known type's short name, or its number.
std::string type_text(uint32_t type);
// What is wrong with the last step of a walk, or an empty string when the
// walk simply ended.
std::string ending_problem(const Scanned &s);

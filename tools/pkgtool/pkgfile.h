// File access shared by every pkgtool command: inputs opened safely,
// whole reads and writes, outputs that appear only when complete, and the
// one-line error every failure ends with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

enum { PKG_OK = 0, PKG_BAD = 1, PKG_ERROR = 2 };

// Files are read and written in pieces of this size, so inputs and
// packages of any size are handled in bounded memory.
constexpr size_t IO_CHUNK = 1 << 20;

// The checksum register after A then B, from the registers of A and of B
// each started at 0xFFFFFFFF (zlib joins its own, complemented, form).
uint32_t crc_join(uint32_t crc_a, uint32_t crc_b, uint32_t len_b);

// Prints "pkgtool: NAME: WHAT" on standard error; returns PKG_ERROR.
int fail(const char *what, const char *name);
int fail_errno(const char *name);

struct Fd {
	int fd = -1;
	Fd() = default;
	explicit Fd(int f) : fd(f) {}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	Fd(Fd &&other) noexcept : fd(other.fd) { other.fd = -1; }
	~Fd();
};

// Opens an input that must be a regular file and gives its size.  A FIFO,
// device or folder is refused at once, without waiting for a writer.
int open_regular(const char *path, Fd &f, uint64_t *size);

// Reads up to n bytes at off; returns the count (short only at the end of
// the file) or -1.
ssize_t read_at(int fd, uint8_t *p, size_t n, uint64_t off);
bool write_all(int fd, const uint8_t *p, size_t n);

// An output written under a temporary name beside `path`, which becomes
// `path` only when commit_pending() succeeds.  On every other path, an
// interrupting signal (Ctrl-C, SIGTERM, a hang-up) included, the temporary
// file is removed, so nothing half-written is left behind.  One output is
// pending at a time.
struct PendingFile {
	std::string path;
	std::string tmp;
	int fd = -1;
	PendingFile() = default;
	PendingFile(const PendingFile &) = delete;
	PendingFile &operator=(const PendingFile &) = delete;
	~PendingFile();
};

bool open_pending(PendingFile &f, const std::string &path);
bool commit_pending(PendingFile &f);

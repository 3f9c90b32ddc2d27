// What the harnesses share: whole files, the record walk, keys typed at the
// console, and virtual time.  Included by the one source file of each harness.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "image/record.h"

using Bytes = std::vector<uint8_t>;

// The bytes of the file at `path`; false when it cannot be read.
inline bool read_file(const char *path, Bytes *bytes)
{
	std::ifstream in(path, std::ios::binary);
	bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
	return !in.bad() && in.is_open();
}

// The file at `path` holds exactly these bytes, or the harness cannot go on.
inline void write_file(const char *path, const uint8_t *data, size_t size)
{
	FILE *f = fopen(path, "wb");
	if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
		abort();
}

// An open file, of no name, that holds these bytes.
inline int memfd_of(const uint8_t *data, size_t size)
{
	int fd = memfd_create("input", 0);
	if (fd < 0 || write(fd, data, size) != (ssize_t)size)
		abort();
	return fd;
}

struct Step {
	uint64_t off; // where the step starts
	WalkEntry e;
};

// Every step of the record walk over `bytes`, the last one not a record.
// Whatever the bytes, the walk must end and stay inside them.
inline std::vector<Step> walk_all(const Bytes &bytes)
{
	std::vector<Step> steps;
	for (uint64_t off = 0;; off += steps.back().e.record_len) {
		steps.push_back({off, walk_step(bytes.data() + off, bytes.size() - off)});
		const WalkEntry &e = steps.back().e;
		if (steps.size() > bytes.size() / BASIC_HEADER_LEN + 1)
			abort(); // a step that did not advance by a whole header
		if (e.step != WalkStep::record)
			return steps;
		if (e.record_len < BASIC_HEADER_LEN || off + e.record_len > bytes.size())
			abort();
	}
}

inline bool intact(const Bytes &bytes, const Step &s)
{
	return s.e.step == WalkStep::record && record_intact(bytes.data() + s.off, s.e.record_len);
}

// Standard input becomes a file that holds the keys typed from now on.
inline void type_keys(const std::string &keys)
{
	static int fd = memfd_create("keys", 0);
	if (fd < 0 || dup2(fd, 0) < 0 || ftruncate(0, 0) != 0 ||
	    pwrite(0, keys.data(), keys.size(), 0) != (ssize_t)keys.size() || lseek(0, 0, SEEK_SET) != 0)
		abort();
}

// Whether the last key read is one that ends a line: the editor read none past it.
inline bool read_to_a_line_end(const std::string &keys)
{
	size_t used = (size_t)lseek(0, 0, SEEK_CUR);
	return used > 0 && used <= keys.size() && memchr("\r\n\x03", keys[used - 1], 3);
}

// While set (on the fuzzing thread only, around a call of the code under
// test), sleeps of the code under test call these and return at once; the
// fuzzer's own threads sleep for real.
thread_local void (*on_sleep)(unsigned int);
thread_local void (*on_usleep)(useconds_t);

inline void real_sleep(struct timespec t)
{
	while (nanosleep(&t, &t) != 0 && errno == EINTR)
		;
}

extern "C" int usleep(useconds_t us)
{
	on_usleep ? on_usleep(us) : real_sleep({(time_t)(us / 1000000), (long)(us % 1000000) * 1000});
	return 0;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
	on_sleep ? on_sleep(seconds) : real_sleep({(time_t)seconds, 0});
	return 0;
}

// What the harnesses share, and their replay main for the normal build.
#pragma once

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "image/record.h"

using Bytes = std::vector<uint8_t>;

// An invariant that does not hold is a finding: the fuzzer keeps the input.
inline void must(bool holds)
{
	if (!holds)
		abort();
}

inline bool read_file(const char *path, Bytes *bytes)
{
	std::ifstream in(path, std::ios::binary);
	bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
	return !in.bad() && in.is_open();
}

inline void write_file(const char *path, const uint8_t *data, size_t size)
{
	FILE *f = fopen(path, "wb");
	must(f && fwrite(data, 1, size, f) == size && fclose(f) == 0);
}

inline int memfd_of(const uint8_t *data, size_t size)
{
	int fd = memfd_create("input", 0);
	must(fd >= 0 && write(fd, data, size) == (ssize_t)size);
	return fd;
}

struct Step { uint64_t off; WalkEntry e; }; // a step of a walk, and where it starts

// Every step of the record walk over `bytes`, the last one not a record.
// Whatever the bytes, the walk must end and stay inside them.
inline std::vector<Step> walk_all(const Bytes &bytes)
{
	std::vector<Step> steps;
	for (uint64_t off = 0;; off += steps.back().e.record_len) {
		steps.push_back({off, walk_step(bytes.data() + off, bytes.size() - off)});
		const WalkEntry &e = steps.back().e;
		must(steps.size() <= bytes.size() / BASIC_HEADER_LEN + 1); // each step a whole header on
		if (e.step != WalkStep::record)
			return steps;
		must(e.record_len >= BASIC_HEADER_LEN && off + e.record_len <= bytes.size());
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
	must(fd >= 0 && dup2(fd, 0) >= 0 && ftruncate(0, 0) == 0 &&
	     pwrite(0, keys.data(), keys.size(), 0) == (ssize_t)keys.size() && lseek(0, 0, SEEK_SET) == 0);
}

// Whether the last key read is one that ends a line: the editor read none past it.
inline bool read_to_a_line_end(const std::string &keys)
{
	size_t used = (size_t)lseek(0, 0, SEEK_CUR);
	return used > 0 && used <= keys.size() && memchr("\r\n\x03", keys[used - 1], 3);
}

// When a harness sets these (on the fuzzing thread, which calls the code
// under test), that code's sleeps call them instead and return at once; the
// fuzzer's own threads sleep for real.
thread_local void (*on_sleep)(unsigned int);
thread_local void (*on_usleep)(useconds_t);

extern "C" int usleep(useconds_t us)
{
	timespec t{(time_t)(us / 1000000), (long)(us % 1000000) * 1000};
	on_usleep ? on_usleep(us) : (void)nanosleep(&t, nullptr);
	return 0;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
	timespec t{(time_t)seconds, 0};
	on_sleep ? on_sleep(seconds) : (void)nanosleep(&t, nullptr);
	return 0;
}

#ifdef REPLAY
// The normal build's harness replays each input of the folders named once,
// in name order, for CTest.  The console goes nowhere; each input's name
// goes to standard error first, so that a failure shows whose it is.
#include <csignal>
#include <fcntl.h>
#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv)
{
	std::vector<std::filesystem::path> inputs; // absolute: the harness may change its working folder
	for (int i = 1; i < argc; i++)
		for (const auto &e : std::filesystem::directory_iterator(argv[i]))
			inputs.push_back(std::filesystem::absolute(e.path()));
	std::sort(inputs.begin(), inputs.end());
	if (inputs.empty() || dup2(open("/dev/null", O_WRONLY), 1) < 0)
		return fprintf(stderr, "usage: %s FOLDER... (at least one input in all)\n", argv[0]), 2;
	signal(SIGALRM, SIG_DFL); // the last input named is the one that hung
	if (LLVMFuzzerInitialize)
		LLVMFuzzerInitialize(&argc, &argv);
	for (const auto &name : inputs) {
		Bytes input;
		fprintf(stderr, "replay: %s\n", name.c_str());
		if (!read_file(name.c_str(), &input))
			return perror(name.c_str()), 2;
		alarm(60); // far beyond what any input of a corpus takes, even on a loaded machine
		LLVMFuzzerTestOneInput(input.data(), input.size());
		alarm(0);
	}
	fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
	return 0;
}
#endif

// Replays inputs through a fuzz harness without a fuzzing engine: each file
// named, and each file of a folder named (in name order), once.  The code
// under test talks on the console, which goes nowhere; the name of each
// input goes to standard error first, so that a failure shows whose it is.
// An input that hangs the harness ends the replay and fails it.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv)
{
	std::vector<std::string> names;
	std::error_code error;
	for (int i = 1; i < argc; i++) {
		std::filesystem::directory_iterator folder(argv[i], error), end;
		if (error)
			names.push_back(argv[i]);
		for (; folder != end; folder++)
			names.push_back(folder->path());
	}
	std::sort(names.begin(), names.end());
	// Read before the harness starts: it may change its working folder.
	std::vector<std::string> inputs;
	for (const std::string &name : names) {
		std::ifstream in(name, std::ios::binary);
		inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
		if (!in.is_open() || in.bad()) {
			perror(name.c_str());
			return 2;
		}
	}
	int null = open("/dev/null", O_WRONLY);
	if (names.empty() || null < 0 || dup2(null, 1) < 0) {
		fprintf(stderr, "usage: %s FILE|DIR... (at least one input)\n", argv[0]);
		return 2;
	}
	signal(SIGALRM, [](int) {
		static const char says[] = "replay: the input hung the harness\n";
		ssize_t said = write(2, says, sizeof says - 1);
		(void)said;
		_exit(1);
	});
	if (LLVMFuzzerInitialize)
		LLVMFuzzerInitialize(&argc, &argv);
	for (size_t i = 0; i < inputs.size(); i++) {
		fprintf(stderr, "replay: %s\n", names[i].c_str());
		alarm(60); // far beyond what any input of a corpus takes, even on a loaded machine
		LLVMFuzzerTestOneInput((const uint8_t *)inputs[i].data(), inputs[i].size());
		alarm(0);
	}
	fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
	return 0;
}

// Replays inputs through a fuzz harness without a fuzzing engine: each file
// named, and each file of a folder named, once, in name order.  The code
// under test talks on the console, which goes nowhere; the name of each
// input goes to standard error first, so that a failure shows whose it is.
// An input that hangs the harness ends the replay and fails it.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv)
{
	std::vector<fs::path> inputs; // absolute: the harness may change its working folder
	for (int i = 1; i < argc; i++) {
		std::error_code not_a_folder;
		for (const fs::directory_entry &e : fs::directory_iterator(argv[i], not_a_folder))
			inputs.push_back(fs::absolute(e.path()));
		if (not_a_folder)
			inputs.push_back(fs::absolute(argv[i]));
	}
	std::sort(inputs.begin(), inputs.end());
	int null = open("/dev/null", O_WRONLY);
	if (inputs.empty() || null < 0 || dup2(null, 1) < 0) {
		fprintf(stderr, "usage: %s FILE|DIR... (at least one input)\n", argv[0]);
		return 2;
	}
	signal(SIGALRM, [](int) {
		static const char says[] = "replay: the input hung the harness\n";
		(void)!write(2, says, sizeof says - 1);
		_exit(1);
	});
	if (LLVMFuzzerInitialize)
		LLVMFuzzerInitialize(&argc, &argv);
	for (const fs::path &name : inputs) {
		std::ifstream in(name, std::ios::binary);
		std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
		if (!in.is_open() || in.bad()) {
			perror(name.c_str());
			return 2;
		}
		fprintf(stderr, "replay: %s\n", name.c_str());
		alarm(60); // far beyond what any input of a corpus takes, even on a loaded machine
		LLVMFuzzerTestOneInput((const uint8_t *)input.data(), input.size());
		alarm(0);
	}
	fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
	return 0;
}

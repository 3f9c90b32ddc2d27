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
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
	// Read before the harness starts: it may change its working folder.
	std::vector<std::pair<std::string, std::string>> inputs;
	try {
		for (int i = 1; i < argc; i++) {
			std::vector<std::string> files;
			if (!fs::is_directory(argv[i]))
				files.push_back(argv[i]);
			else
				for (const fs::directory_entry &e : fs::directory_iterator(argv[i]))
					files.push_back(e.path());
			std::sort(files.begin(), files.end());
			for (const std::string &f : files) {
				std::ifstream in(f, std::ios::binary);
				if (!in) {
					perror(f.c_str());
					return 2;
				}
				inputs.emplace_back(f, std::string(std::istreambuf_iterator<char>(in), {}));
			}
		}
	} catch (const fs::filesystem_error &e) {
		fprintf(stderr, "replay: %s\n", e.what());
		return 2;
	}
	if (inputs.empty()) {
		fprintf(stderr, "usage: %s FILE|DIR... (with at least one input)\n", argv[0]);
		return 2;
	}
	int null = open("/dev/null", O_WRONLY);
	if (null < 0 || dup2(null, 1) < 0)
		return 2;
	// Far beyond what any input of a corpus takes, even on a loaded machine.
	signal(SIGALRM, [](int) {
		static const char says[] = "replay: the input hung the harness\n";
		ssize_t said = write(2, says, sizeof says - 1);
		(void)said;
		_exit(1);
	});
	if (LLVMFuzzerInitialize)
		LLVMFuzzerInitialize(&argc, &argv);
	for (const auto &[name, bytes] : inputs) {
		fprintf(stderr, "replay: %s\n", name.c_str());
		alarm(60);
		LLVMFuzzerTestOneInput((const uint8_t *)bytes.data(), bytes.size());
		alarm(0);
	}
	fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
	return 0;
}

// Replays inputs through a fuzz harness without a fuzzing engine: each file
// named, and each file of a folder named (in name order), once.  The code
// under test talks on the console, which goes nowhere; the name of each
// input goes to standard error first, so a failure shows whose it is.  An
// input that hangs the harness ends the replay.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

// Far beyond what any input of a corpus takes, even on a loaded machine.
constexpr unsigned HANG_SECONDS = 60;

void hung(int)
{
	static const char says[] = "replay: the input hung the harness\n";
	ssize_t said = write(2, says, sizeof says - 1);
	(void)said;
	_exit(1);
}

std::vector<std::string> inputs_of(const std::string &path)
{
	struct stat st;
	if (stat(path.c_str(), &st) != 0) {
		perror(path.c_str());
		exit(2);
	}
	if (!S_ISDIR(st.st_mode))
		return {path};
	std::vector<std::string> files;
	DIR *dir = opendir(path.c_str());
	if (!dir) {
		perror(path.c_str());
		exit(2);
	}
	while (struct dirent *e = readdir(dir))
		if (e->d_name[0] != '.')
			files.push_back(path + "/" + e->d_name);
	closedir(dir);
	std::sort(files.begin(), files.end());
	return files;
}

void silence_stdout()
{
	int null = open("/dev/null", O_WRONLY);
	if (null < 0 || dup2(null, 1) < 0)
		abort();
	close(null);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2) {
		fprintf(stderr, "usage: %s FILE|DIR...\n", argv[0]);
		return 2;
	}
	// Read before the harness starts: it may change its working folder.
	std::vector<std::pair<std::string, Bytes>> inputs;
	for (int i = 1; i < argc; i++)
		for (const std::string &f : inputs_of(argv[i])) {
			inputs.emplace_back(f, Bytes());
			if (!read_file(f.c_str(), &inputs.back().second)) {
				perror(f.c_str());
				return 2;
			}
		}
	silence_stdout();
	signal(SIGALRM, hung);
	if (LLVMFuzzerInitialize)
		LLVMFuzzerInitialize(&argc, &argv);
	for (const auto &[name, bytes] : inputs) {
		fprintf(stderr, "replay: %s\n", name.c_str());
		alarm(HANG_SECONDS);
		LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
		alarm(0);
	}
	fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
	return 0;
}

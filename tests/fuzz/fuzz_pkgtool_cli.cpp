// pkgtool's whole command line: the input is the arguments, each ended by a
// zero byte, one more zero byte, then the contents of "f".  It runs in a folder
// of its own holding "f", a boot-loader payload "uboot", a folder "dir", a FIFO
// "fifo" and a link "link" to "f"; arguments that could name anything outside
// it are not tried.  The exit status must be 0, 1 or 2; nothing may be left but
// what was there and the command's output (create's OUT, extract's DIR and its
// NN-TYPE.bin files); a package create made holds one intact record per
// TYPE=FILE, and nothing after.
#include <cctype>
#include <filesystem>
#include <sys/stat.h>

#include "harness.h"

int pkgtool_main(int argc, char **argv);

namespace fs = std::filesystem;

static bool extracted_name(const std::string &name)
{
	return name.size() > 7 && isdigit((unsigned char)name[0]) && isdigit((unsigned char)name[1]) &&
	       name.compare(name.size() - 4, 4, ".bin") == 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	char dir[] = "/tmp/pkgtool-fuzz.XXXXXX";
	must(mkdtemp(dir) && chdir(dir) == 0);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<std::string> args{"pkgtool"};
	size_t pos = 0;
	while (pos < size) {
		std::string arg((const char *)data + pos, strnlen((const char *)data + pos, size - pos));
		pos += arg.size() + 1;
		if (arg.empty())
			break;
		if (arg.find('/') != std::string::npos || arg == "..")
			return 0; // it could name something outside the folder
		args.push_back(arg);
	}
	for (const fs::directory_entry &e : fs::directory_iterator("."))
		fs::remove_all(e.path());
	write_file("f", data + std::min(pos, size), size - std::min(pos, size));
	uint8_t uboot[300];
	for (size_t i = 0; i < sizeof uboot; i++)
		uboot[i] = i >= 240 && i < 256 ? 0 : (uint8_t)i;
	write_file("uboot", uboot, sizeof uboot);
	must(mkdir("dir", 0755) == 0 && mkfifo("fifo", 0644) == 0 && symlink("f", "link") == 0);

	std::vector<std::string> words = args; // the command may change them
	std::vector<char *> argv;
	for (std::string &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	int status = pkgtool_main((int)args.size(), argv.data());
	fflush(stdout);
	must(status >= 0 && status <= 2);

	// Nothing half-done or unnamed is left behind.
	bool create = args.size() >= 3 && args[1] == "create", extract = args.size() == 4 && args[1] == "extract";
	for (const fs::directory_entry &e : fs::directory_iterator(".")) {
		std::string name = e.path().filename();
		bool fixture = name == "f" || name == "uboot" || name == "dir" || name == "fifo" || name == "link";
		must(fixture || (create && name == args[2]) || (extract && (name == args[3] || extracted_name(name))));
	}
	for (auto &e : fs::directory_iterator(extract && args[3] != "." && fs::is_directory(args[3]) ? args[3] : "dir"))
		must(extracted_name(e.path().filename()));
	if (status != 0 || !create || args.size() < 4)
		return 0;
	// One intact record per TYPE=FILE argument, and nothing after them.
	Bytes pkg;
	must(read_file(args[2].c_str(), &pkg));
	std::vector<Step> steps = walk_all(pkg);
	must(steps.back().e.step == WalkStep::end &&
	     steps.size() == 1 + (size_t)std::count_if(args.begin() + 3, args.end(), [](auto &a) { return a[0] != '-'; }));
	for (size_t i = 0; i + 1 < steps.size(); i++)
		must(intact(pkg, steps[i]));
	return 0;
}

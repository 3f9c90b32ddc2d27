// vboard-hw: the board's power switch, clock and trace for the runner and
// the stubs of the board's root filesystem.
//
//   vboard-hw [--board DIR] power-on [BOARD]
//   vboard-hw [--board DIR] trace WORDS...
//   vboard-hw [--board DIR] now
//   vboard-hw conf [FILE] [--set KEY=VALUE]...
//
// conf is the one reader of board.conf for the runner: FILE's settings (the
// defaults without FILE), then each --set in turn, printed one KEY=VALUE a
// line; a bad line or setting is one line on stderr naming the file and line
// or the setting, and the key, with exit status 1.
#include "conf.h"
#include "state.h"
#include "trace.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace vb;

namespace {

int usage()
{
	fprintf(stderr, "usage: vboard-hw [--board DIR] power-on [BOARD]\n"
			"       vboard-hw [--board DIR] trace WORDS...\n"
			"       vboard-hw [--board DIR] now\n"
			"       vboard-hw conf [FILE] [--set KEY=VALUE]...\n");
	return 2;
}

bool is_dir(const char *path)
{
	struct stat st;
	return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The board's configuration; false (with the message printed) when bad.
bool load(const char *board, Conf *c)
{
	char err[512];
	std::string path = std::string(board) + "/board.conf";
	if (!conf_load(path.c_str(), c, err, sizeof err)) {
		fprintf(stderr, "vboard-hw: %s\n", err);
		return false;
	}
	return true;
}

void append(const char *board, uint64_t usec, const std::string &text)
{
	int fd = trace_open(board);
	if (fd < 0) {
		fprintf(stderr, "vboard-hw: cannot append to %s/trace.log\n", board);
		exit(1);
	}
	trace_append(fd, usec, text);
	close(fd);
}

int power_on(const char *board)
{
	State *s = state_map(board);
	state_reset(s);
	append(board, 0, "power-on");
	return 0;
}

int trace(const char *board, int argc, char **argv)
{
	Conf c;
	if (!load(board, &c))
		return 1;
	std::string text;
	for (int i = 0; i < argc; i++) {
		if (i)
			text += ' ';
		text += argv[i];
	}
	append(board, state_now(state_map(board), c.real_time), text);
	return 0;
}

int now(const char *board)
{
	Conf c;
	if (!load(board, &c))
		return 1;
	printf("%" PRIu64 "\n", state_now(state_map(board), c.real_time));
	return 0;
}

int refuse(const char *err)
{
	fprintf(stderr, "vboard-hw: %s\n", err);
	return 1;
}

int conf(int argc, char **argv)
{
	Conf c;
	char err[512];
	int i = 0;
	conf_defaults(&c);
	if (i < argc && strcmp(argv[i], "--set") != 0) {
		const char *path = argv[i++];
		// The models take a missing board.conf for the defaults; asked for
		// a file, that would hide a wrong path.
		struct stat st;
		bool found = stat(path, &st) == 0;
		if (!found)
			snprintf(err, sizeof err, "%s: cannot read: %s", path, strerror(errno));
		if (!found || !conf_load(path, &c, err, sizeof err))
			return refuse(err);
	}
	for (; i < argc; i += 2) {
		if (strcmp(argv[i], "--set") != 0 || i + 1 == argc)
			return usage();
		if (!conf_set(&c, argv[i + 1], err, sizeof err))
			return refuse(err);
	}
	conf_write(&c, stdout);
	return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	const char *board = getenv("VBOARD_DIR");
	int i = 1;
	if (i + 1 < argc && strcmp(argv[i], "--board") == 0) {
		board = argv[i + 1];
		i += 2;
	}
	if (i >= argc)
		return usage();
	const char *cmd = argv[i++];
	if (strcmp(cmd, "conf") == 0)
		return conf(argc - i, argv + i);
	if (strcmp(cmd, "power-on") == 0 && i < argc)
		board = argv[i++];
	if (!board || !*board) {
		fprintf(stderr, "vboard-hw: no board (give --board DIR or set VBOARD_DIR)\n");
		return 2;
	}
	if (!is_dir(board)) {
		fprintf(stderr, "vboard-hw: %s: no such board directory\n", board);
		return 1;
	}
	if (strcmp(cmd, "power-on") == 0 && i == argc)
		return power_on(board);
	if (strcmp(cmd, "trace") == 0 && i < argc)
		return trace(board, argc - i, argv + i);
	if (strcmp(cmd, "now") == 0 && i == argc)
		return now(board);
	return usage();
}

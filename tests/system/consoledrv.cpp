// Drives the rescue console and the package installer from a terminal, one
// operation per word, so that system tests can type at it key by key and
// check what it writes byte for byte.  Standard output and input are left to
// the modules; this program's own result lines go to the file named by -r
// (standard error without it), so they never mix with the console text.
//
//   consoledrv [-r RESULTS] [--go] OP ARGS... [OP ARGS...]
//     --go                  wait for a line "go" on the console first, so the
//                           test can set the terminal up before any key
//     line SIZE             get_user_input into a SIZE-byte buffer
//     key                   uartGetC
//     lflags                whether ICANON and ECHO are set on the console
//     sigint                raise SIGINT in this process
//     menu                  run_rescue_mode
//     display               run_image_display
//     diags                 run_standalone_diags
//     flash-init | i2c-init api_flash_init / api_i2c_init
//     header TYPE SLOT      read_flash_image_header (TYPE a pkgtool name)
//     match FILE SLOT       verifyMatchingHeaders of FILE's first 20 bytes
//     install PATH CHECK SLOT   processNorvikImage
//
// SIGINT is handled by the launcher's own handler (sig_init): installed without
// SA_RESTART, it only sets sig_quit_raised.
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "flash/flash.h"
#include "i2c/i2c.h"
#include "image/image.h"
#include "launch/services.h"
#include "rescue/console.h"
#include "rescue/rescue.h"

namespace {

FILE *results = stderr;

void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void report(const char *fmt, ...)
{
	fflush(stdout);
	va_list ap;
	va_start(ap, fmt);
	vfprintf(results, fmt, ap);
	va_end(ap);
	fflush(results);
}

std::string hex(const uint8_t *p, size_t n)
{
	std::string s;
	char two[3];
	for (size_t i = 0; i < n; i++) {
		snprintf(two, sizeof two, "%02x", p[i]);
		s += two;
	}
	return s.empty() ? "-" : s;
}

// Reads a line with plain reads, whatever mode the terminal is in.
void wait_for_go()
{
	std::string line;
	char c;
	while (read(0, &c, 1) == 1 && c != '\n' && c != '\r')
		line += c;
	report("go %s\n", line.c_str());
}

void need(int argc, int i, int n)
{
	if (i + n >= argc) {
		fprintf(stderr, "consoledrv: missing arguments\n");
		exit(2);
	}
}

void op_line(int size)
{
	// Room beyond `size` shows whether the editor writes past its buffer.
	std::vector<char> buf((size_t)size + 16, 'Z');
	char *r = get_user_input(buf.data(), size);
	bool zero_after = true;
	size_t len = strnlen(buf.data(), (size_t)size);
	for (size_t i = len; i < (size_t)size; i++)
		zero_after = zero_after && buf[i] == 0;
	bool untouched = true;
	for (size_t i = (size_t)size; i < buf.size(); i++)
		untouched = untouched && buf[i] == 'Z';
	report("line %s quit %d same %d zeroed %d guard %d\n", hex((const uint8_t *)buf.data(), len).c_str(),
	       sig_quit_raised, r == buf.data(), zero_after, untouched);
	sig_quit_raised = 0;
}

void op_lflags()
{
	struct termios t;
	tcgetattr(0, &t);
	report("lflags icanon %d echo %d\n", (t.c_lflag & ICANON) != 0, (t.c_lflag & ECHO) != 0);
}

void op_header(const char *name, int slot)
{
	uint32_t type = type_from_name(name);
	if (!type)
		type = (uint32_t)strtoul(name, nullptr, 0);
	uint8_t buf[16];
	memset(buf, 0xAA, sizeof buf);
	int r = read_flash_image_header(type, buf, slot);
	report("header -> %d %s\n", r, hex(buf, sizeof buf).c_str());
}

void op_match(const char *path, int slot)
{
	uint8_t raw[20] = {0};
	FILE *f = fopen(path, "rb");
	if (!f) {
		perror(path);
		exit(2);
	}
	size_t got = fread(raw, 1, sizeof raw, f);
	fclose(f);
	report("match -> %d (%zu bytes)\n", verifyMatchingHeaders(raw, slot), got);
}

} // namespace

int main(int argc, char **argv)
{
	sig_init();
	int i = 1;
	if (i + 1 < argc && strcmp(argv[i], "-r") == 0) {
		results = fopen(argv[i + 1], "a");
		if (!results) {
			perror(argv[i + 1]);
			return 2;
		}
		i += 2;
	}
	for (; i < argc; i++) {
		std::string op = argv[i];
		if (op == "--go") {
			wait_for_go();
		} else if (op == "line") {
			need(argc, i, 1);
			op_line(atoi(argv[++i]));
		} else if (op == "key") {
			int key = uartGetC();
			report("key 0x%02x quit %d\n", key, sig_quit_raised);
			sig_quit_raised = 0;
		} else if (op == "lflags") {
			op_lflags();
		} else if (op == "sigint") {
			raise(SIGINT);
			report("sigint quit %d\n", sig_quit_raised);
		} else if (op == "menu") {
			int r = run_rescue_mode();
			report("menu -> %d quit %d\n", r, sig_quit_raised);
		} else if (op == "display") {
			report("display -> %d\n", run_image_display());
		} else if (op == "diags") {
			report("diags -> %d\n", run_standalone_diags());
		} else if (op == "flash-init") {
			report("flash-init -> %d\n", api_flash_init());
		} else if (op == "i2c-init") {
			report("i2c-init -> %d\n", api_i2c_init());
		} else if (op == "header") {
			need(argc, i, 2);
			op_header(argv[i + 1], atoi(argv[i + 2]));
			i += 2;
		} else if (op == "match") {
			need(argc, i, 2);
			op_match(argv[i + 1], atoi(argv[i + 2]));
			i += 2;
		} else if (op == "install") {
			need(argc, i, 3);
			int r = processNorvikImage(argv[i + 1], (uint8_t)atoi(argv[i + 2]),
						   (uint32_t)strtoul(argv[i + 3], nullptr, 0));
			report("install -> %d\n", r);
			i += 3;
		} else {
			fprintf(stderr, "consoledrv: unknown operation %s\n", op.c_str());
			return 2;
		}
	}
	return 0;
}

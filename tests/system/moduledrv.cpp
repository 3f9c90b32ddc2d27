// moduledrv [-r RESULTS] OP ARGS... [OP ARGS...]: the launcher's modules on this console; each
// result a line "OP -> RESULT" in RESULTS (standard error without -r).  SIGINT: sig_init's handler.
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <termios.h>
#include <vector>

#include "flash/flash.h"
#include "i2c/i2c.h"
#include "image/image.h"
#include "image/record.h"
#include "launch/bootflags.h"
#include "launch/services.h"
#include "mgmt/mgmt.h"
#include "rescue/console.h"
#include "rescue/download.h"
#include "rescue/rescue.h"
#include "xmodem/xmodem.h"

namespace {

FILE *results = stderr;
const char *op_word = "";

__attribute__((format(printf, 1, 2))) void report(const char *fmt, ...)
{
	fflush(stdout);
	va_list ap;
	va_start(ap, fmt);
	fprintf(results, "%s -> ", op_word);
	vfprintf(results, fmt, ap);
	va_end(ap);
	fputc('\n', results);
	fflush(results);
}

[[noreturn]] void usage(const char *what, const char *word)
{
	fprintf(stderr, "moduledrv: %s %s\n", what, word);
	exit(2);
}

// The low 32 bits, whatever the width of this machine's long.
uint32_t number(const char *text) { return (uint32_t)strtoull(text, nullptr, 0); }

struct in_addr address(const char *dotted)
{
	struct in_addr a = {0};
	if (!inet_aton(dotted, &a))
		usage("bad address", dotted);
	return a;
}

std::string hex(const uint8_t *p, size_t n)
{
	std::string s;
	for (size_t i = 0; i < n; i++)
		s += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
	return s.empty() ? "-" : s;
}

std::vector<uint8_t> slurp(const char *path)
{
	std::ifstream in(path, std::ios::binary);
	if (!in)
		usage("cannot read", path);
	return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int part_fd(const char *name)
{
	const char *names[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};
	const int fds[] = {uboot_fd, uboot_env_fd, device_tree_fd, kernel_fd, rfs_fd, rescue_fd};
	for (int i = 0; i < 6; i++)
		if (strcmp(names[i], name) == 0)
			return fds[i];
	usage("unknown partition", name);
}

// get_user_input into a SIZE-byte buffer, with room beyond it that
// shows whether the editor writes past its end.
void line(char **a)
{
	size_t size = number(a[0]);
	std::vector<char> buf(size + 16, 'Z');
	char *r = get_user_input(buf.data(), (int)size);
	size_t len = strnlen(buf.data(), size);
	bool zeroed = true, guard = true;
	for (size_t i = len; i < buf.size(); i++)
		(i < size ? zeroed : guard) &= buf[i] == (i < size ? 0 : 'Z');
	report("%s quit %d same %d zeroed %d guard %d", hex((const uint8_t *)buf.data(), len).c_str(), sig_quit_raised,
	       r == buf.data(), zeroed, guard);
	sig_quit_raised = 0;
}

// TYPE: a package tool name or a number.
void header(char **a)
{
	uint32_t type = type_from_name(a[0]);
	uint8_t buf[16];
	memset(buf, 0xAA, sizeof buf);
	int r = read_flash_image_header(type ? type : number(a[0]), buf, (int)number(a[1]));
	report("%d %s", r, hex(buf, sizeof buf).c_str());
}

void read(char **a)
{
	std::vector<uint8_t> buf(number(a[2]));
	int r = api_flash_read(buf.data(), part_fd(a[0]), number(a[1]), (uint32_t)buf.size());
	std::ofstream(a[3], std::ios::binary).write((const char *)buf.data(), (std::streamsize)buf.size());
	report("%d", r);
}

void params(char **a)
{
	char port = '1';
	uint8_t use_dhcp = 0;
	struct in_addr addr[3] = {};
	int r = mgmt_port_params(&port, &use_dhcp, &addr[0], &addr[1], &addr[2], (int)number(a[0]));
	std::string shown; // inet_ntoa's buffer is shared: one address at a time
	for (auto &x : addr)
		shown += std::string(" ") + inet_ntoa(x);
	report("%d port=%c dhcp=%d%s", r, port, use_dhcp, shown.c_str());
}

void bootflags(char **)
{
	BootFlags f;
	bool ok = read_boot_flags(&f);
	report("%s gdb=%d gdbserver=%d gdbport=%d shell=%d memchk=%d rescue=%d diags=%d ethport=%c",
	       ok ? "read" : "unread", f.gdb_enable, f.gdbserver_enable, f.gdbport, f.shell_enable, f.memchk_enable,
	       f.rescue_enable, f.standalone_diags, f.ethport);
}

// Each operation with the words that follow it.  Each result is computed in
// a statement of its own: a call's arguments are evaluated in no set order.
struct Op {
	const char *word, *args;
	void (*run)(char **args);
};

const Op ops[] = {
	{"line", "SIZE", line},
	{"key", "", [](char **) { int k = uartGetC(); report("0x%02x quit %d", k, sig_quit_raised); sig_quit_raised = 0; }},
	{"lflags", "", [](char **) {
		 struct termios t;
		 tcgetattr(0, &t);
		 report("icanon %d echo %d", (t.c_lflag & ICANON) != 0, (t.c_lflag & ECHO) != 0);
	 }},
	{"sigint", "", [](char **) { raise(SIGINT); report("quit %d", sig_quit_raised); }},
	{"menu", "", [](char **) { int r = run_rescue_mode(); report("%d quit %d", r, sig_quit_raised); }},
	{"display", "", [](char **) { report("%d", run_image_display()); }},
	{"diags", "", [](char **) { report("%d", run_standalone_diags()); }},
	{"header", "TYPE SLOT", header},
	// verifyMatchingHeaders of FILE's first 20 bytes
	{"match", "FILE SLOT", [](char **a) {
		 std::vector<uint8_t> raw = slurp(a[0]);
		 raw.resize(20);
		 report("%d", verifyMatchingHeaders(raw.data(), (int)number(a[1])));
	 }},
	{"install", "PATH CHECK SLOT", [](char **a) { report("%d", processNorvikImage(a[0], (uint8_t)number(a[1]), number(a[2]))); }},
	{"flash-init", "", [](char **) { report("%d", api_flash_init()); }},
	{"debug", "read|write|erase", [](char **a) { *(a[0][0] == 'r' ? &debug_read : a[0][0] == 'w' ? &debug_write : &debug_erase) = 1; }},
	{"write", "PART OFFSET SHOW FILE", [](char **a) {
		 std::vector<uint8_t> data = slurp(a[3]);
		 report("%d", api_flash_write(data.empty() ? nullptr : data.data(), part_fd(a[0]), number(a[1]),
					      (uint32_t)data.size(), (int)number(a[2])));
	 }},
	{"read", "PART OFFSET LEN OUTFILE", read},
	{"erase", "PART OFFSET LEN", [](char **a) { report("%d", api_flash_erase(part_fd(a[0]), number(a[1]), number(a[2]))); }},
	{"bootflags", "", bootflags},
	{"i2c-init", "", [](char **) { report("%d", api_i2c_init()); }},
	{"i2c-close", "", [](char **) { report("%d", api_i2c_close()); }},
	{"get-image", "", [](char **) { report("%d", api_get_image()); }},
	{"set-image", "SLOT", [](char **a) { report("%d", api_set_image((int)number(a[0]))); }},
	{"set-booted", "SLOT", [](char **a) { report("%d", api_set_booted_image((int)number(a[0]))); }},
	{"ask", "PROMPT REQUIRED VALIDATE INITIAL", [](char **a) {
		 struct in_addr addr = address(a[3]);
		 int r = get_ip_addr(a[0], &addr, (int)number(a[1]), (int)number(a[2]));
		 report("%d %s", r, inet_ntoa(addr));
	 }},
	{"params", "OFFER", params},
	{"configure", "DHCP PORT ADDR MASK GW", [](char **a) {
		 report("%d", mgmt_port_configure((uint8_t)number(a[0]), a[1][0], address(a[2]), address(a[3]),
						  address(a[4])));
	 }},
	{"setup", "OFFER", [](char **a) { report("%d", mgmt_port_setup((int)number(a[0]))); }},
	{"link", "PORT", [](char **a) { report("%d", mgmt_link_status(a[0][0])); }},
	{"tftp", "", [](char **) { report("%d", run_tftp_rescue()); }},
	{"xmodem", "", [](char **) { report("%d", run_xmodem_rescue()); }},
	// bytes received, 0 when cancelled, -1 when the line or FILE cannot be opened
	{"receive", "FILE", [](char **a) { report("%d", Xmodem1K(a[0])); }},
};

int words(const char *text) { return *text ? 1 + (int)std::count(text, text + strlen(text), ' ') : 0; }

} // namespace

int main(int argc, char **argv)
{
	bool to_file = argc > 2 && strcmp(argv[1], "-r") == 0;
	if (to_file && !(results = fopen(argv[2], "a"))) {
		perror(argv[2]);
		return 2;
	}
	sig_init();
	const Op *op;
	for (int i = to_file ? 3 : 1; i < argc; i += 1 + words(op->args)) {
		for (op = std::begin(ops); op != std::end(ops) && strcmp(op->word, argv[i]) != 0; op++)
			;
		if (op == std::end(ops))
			usage("unknown operation", argv[i]);
		if (i + words(op->args) >= argc)
			usage(op->word, op->args);
		op_word = op->word;
		op->run(argv + i + 1);
	}
	return 0;
}

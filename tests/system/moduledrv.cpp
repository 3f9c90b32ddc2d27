// Drives the launcher's modules one operation per word:
//   moduledrv [-r RESULTS] OP ARGS... [OP ARGS...]
// Standard input and output are the modules' console; each operation's
// result goes as one line "OP -> RESULT" to RESULTS (standard error without
// -r), so it never mixes with the console text.  SIGINT is the launcher's own
// handler (sig_init): it only sets sig_quit_raised.
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
#include <utility>
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

std::string hex(const void *data, size_t n)
{
	const uint8_t *p = (const uint8_t *)data;
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
	const std::pair<const char *, int *> parts[] = {{"uboot", &uboot_fd}, {"ubootenv", &uboot_env_fd},
							{"devicetree", &device_tree_fd}, {"kernel", &kernel_fd},
							{"rfs", &rfs_fd}, {"rescue", &rescue_fd}};
	for (auto &p : parts)
		if (strcmp(p.first, name) == 0)
			return *p.second;
	usage("unknown partition", name);
}

// SIZE: get_user_input into a SIZE-byte buffer, with room beyond it that
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
	report("%s quit %d same %d zeroed %d guard %d", hex(buf.data(), len).c_str(), sig_quit_raised,
	       r == buf.data(), zeroed, guard);
	sig_quit_raised = 0;
}

// TYPE SLOT, TYPE a package tool name or a number.
void header(char **a)
{
	uint32_t type = type_from_name(a[0]);
	uint8_t buf[16];
	memset(buf, 0xAA, sizeof buf);
	int r = read_flash_image_header(type ? type : number(a[0]), buf, (int)number(a[1]));
	report("%d %s", r, hex(buf, sizeof buf).c_str());
}

// PART OFFSET LEN OUTFILE
void read(char **a)
{
	std::vector<uint8_t> buf(number(a[2]));
	int r = api_flash_read(buf.data(), part_fd(a[0]), number(a[1]), (uint32_t)buf.size());
	std::ofstream(a[3], std::ios::binary).write((const char *)buf.data(), (std::streamsize)buf.size());
	report("%d", r);
}

// PROMPT REQUIRED VALIDATE INITIAL
void ask(char **a)
{
	struct in_addr addr = address(a[3]);
	int r = get_ip_addr(a[0], &addr, (int)number(a[1]), (int)number(a[2]));
	report("%d %s", r, inet_ntoa(addr));
}

// OFFER
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

struct Op {
	const char *word;
	int args;
	void (*run)(char **args);
};

const Op ops[] = {
	{"line", 1, line},
	{"key", 0, [](char **) {
		 int key = uartGetC();
		 report("0x%02x quit %d", key, sig_quit_raised);
		 sig_quit_raised = 0;
	 }},
	{"lflags", 0, [](char **) {
		 struct termios t;
		 tcgetattr(0, &t);
		 report("icanon %d echo %d", (t.c_lflag & ICANON) != 0, (t.c_lflag & ECHO) != 0);
	 }},
	{"sigint", 0, [](char **) {
		 raise(SIGINT);
		 report("quit %d", sig_quit_raised);
	 }},
	{"menu", 0, [](char **) {
		 int r = run_rescue_mode();
		 report("%d quit %d", r, sig_quit_raised);
	 }},
	{"display", 0, [](char **) { report("%d", run_image_display()); }},
	{"diags", 0, [](char **) { report("%d", run_standalone_diags()); }},
	{"header", 2, header},
	// FILE SLOT: verifyMatchingHeaders of FILE's first 20 bytes
	{"match", 2, [](char **a) {
		 std::vector<uint8_t> raw = slurp(a[0]);
		 raw.resize(20);
		 report("%d", verifyMatchingHeaders(raw.data(), (int)number(a[1])));
	 }},
	// PATH CHECK SLOT
	{"install", 3, [](char **a) { report("%d", processNorvikImage(a[0], (uint8_t)number(a[1]), number(a[2]))); }},
	{"flash-init", 0, [](char **) { report("%d", api_flash_init()); }},
	// read|write|erase: the flash module's trace switches
	{"debug", 1, [](char **a) { *(a[0][0] == 'r' ? &debug_read : a[0][0] == 'w' ? &debug_write : &debug_erase) = 1; }},
	// PART OFFSET SHOW FILE
	{"write", 4, [](char **a) {
		 std::vector<uint8_t> data = slurp(a[3]);
		 report("%d", api_flash_write(data.empty() ? nullptr : data.data(), part_fd(a[0]), number(a[1]),
					      (uint32_t)data.size(), (int)number(a[2])));
	 }},
	{"read", 4, read},
	{"erase", 3, [](char **a) { report("%d", api_flash_erase(part_fd(a[0]), number(a[1]), number(a[2]))); }},
	{"bootflags", 0, bootflags},
	{"i2c-init", 0, [](char **) { report("%d", api_i2c_init()); }},
	{"i2c-close", 0, [](char **) { report("%d", api_i2c_close()); }},
	{"get-image", 0, [](char **) { report("%d", api_get_image()); }},
	{"set-image", 1, [](char **a) { report("%d", api_set_image((int)number(a[0]))); }},
	{"set-booted", 1, [](char **a) { report("%d", api_set_booted_image((int)number(a[0]))); }},
	{"eeprom-read", 1, [](char **a) {
		 uint8_t byte = 0;
		 int r = api_eeprom_read(&byte, (uint16_t)number(a[0]), 1);
		 report("%d byte 0x%02x", r, byte);
	 }},
	{"ask", 4, ask},
	{"params", 1, params},
	// DHCP PORT ADDR MASK GW
	{"configure", 5, [](char **a) {
		 report("%d", mgmt_port_configure((uint8_t)number(a[0]), a[1][0], address(a[2]), address(a[3]),
						  address(a[4])));
	 }},
	{"setup", 1, [](char **a) { report("%d", mgmt_port_setup((int)number(a[0]))); }},
	{"link", 1, [](char **a) { report("%d", mgmt_link_status(a[0][0])); }},
	{"tftp", 0, [](char **) { report("%d", run_tftp_rescue()); }},
	{"xmodem", 0, [](char **) { report("%d", run_xmodem_rescue()); }},
	// FILE: bytes received, 0 when cancelled, -1 when the line or FILE cannot be opened
	{"receive", 1, [](char **a) { report("%d", Xmodem1K(a[0])); }},
};

} // namespace

int main(int argc, char **argv)
{
	int i = 1;
	if (argc > 2 && strcmp(argv[1], "-r") == 0) {
		if (!(results = fopen(argv[2], "a"))) {
			perror(argv[2]);
			return 2;
		}
		i = 3;
	}
	sig_init();
	while (i < argc) {
		const Op *op = std::find_if(std::begin(ops), std::end(ops), [&](const Op &o) { return !strcmp(o.word, argv[i]); });
		if (op == std::end(ops))
			usage("unknown operation", argv[i]);
		if (i + op->args >= argc)
			usage("missing arguments of", op->word);
		op_word = op->word;
		op->run(argv + i + 1);
		i += 1 + op->args;
	}
	return 0;
}

// Drives the launcher's modules one operation per word, so that system tests
// can type at their questions key by key, check their console text byte for
// byte and their hardware transactions in the board's trace.  Standard input
// and output are the modules'; this program's own results go, one line
// "OP -> RESULT" an operation, to the file named by -r (standard error
// without it), so they never mix with the console text.
//
//   moduledrv [-r RESULTS] OP ARGS... [OP ARGS...]
//
// The operations and their arguments are the table at the end.  SIGINT is
// handled by the launcher's own handler (sig_init): installed without
// SA_RESTART, it only sets sig_quit_raised.
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

__attribute__((format(printf, 2, 3))) void report(const char *op, const char *fmt, ...)
{
	fflush(stdout);
	va_list ap;
	va_start(ap, fmt);
	fprintf(results, "%s -> ", op);
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
uint32_t number(const char *text)
{
	return (uint32_t)strtoull(text, nullptr, 0);
}

struct in_addr address(const char *dotted)
{
	struct in_addr a = {0};
	if (!inet_aton(dotted, &a))
		usage("bad address", dotted);
	return a;
}

// inet_ntoa's buffer is shared: one call per printf.
std::string dotted(struct in_addr a)
{
	return inet_ntoa(a);
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

std::vector<uint8_t> slurp(const char *path)
{
	std::vector<uint8_t> data;
	FILE *f = fopen(path, "rb");
	if (!f)
		usage("cannot read", path);
	int c;
	while ((c = fgetc(f)) != EOF)
		data.push_back((uint8_t)c);
	fclose(f);
	return data;
}

int part_fd(const char *name)
{
	const struct {
		const char *name;
		int *fd;
	} parts[] = {{"uboot", &uboot_fd},   {"ubootenv", &uboot_env_fd}, {"devicetree", &device_tree_fd},
		     {"kernel", &kernel_fd}, {"rfs", &rfs_fd},            {"rescue", &rescue_fd}};
	for (auto &p : parts)
		if (strcmp(p.name, name) == 0)
			return *p.fd;
	usage("unknown partition", name);
}

// --- the console and the installer ---

void op_line(char **a)
{
	size_t size = number(a[0]);
	// Room beyond `size` shows whether the editor writes past its buffer.
	std::vector<char> buf(size + 16, 'Z');
	char *r = get_user_input(buf.data(), (int)size);
	size_t len = strnlen(buf.data(), size);
	bool zeroed = true, guard = true;
	for (size_t i = len; i < size; i++)
		zeroed = zeroed && buf[i] == 0;
	for (size_t i = size; i < buf.size(); i++)
		guard = guard && buf[i] == 'Z';
	report("line", "%s quit %d same %d zeroed %d guard %d", hex((const uint8_t *)buf.data(), len).c_str(),
	       sig_quit_raised, r == buf.data(), zeroed, guard);
	sig_quit_raised = 0;
}

void op_key(char **)
{
	int key = uartGetC();
	report("key", "0x%02x quit %d", key, sig_quit_raised);
	sig_quit_raised = 0;
}

void op_lflags(char **)
{
	struct termios t;
	tcgetattr(0, &t);
	report("lflags", "icanon %d echo %d", (t.c_lflag & ICANON) != 0, (t.c_lflag & ECHO) != 0);
}

void op_sigint(char **)
{
	raise(SIGINT);
	report("sigint", "quit %d", sig_quit_raised);
}

void op_menu(char **)
{
	int r = run_rescue_mode();
	report("menu", "%d quit %d", r, sig_quit_raised);
}

void op_header(char **a)
{
	uint32_t type = type_from_name(a[0]);
	if (!type)
		type = number(a[0]);
	uint8_t buf[16];
	memset(buf, 0xAA, sizeof buf);
	int r = read_flash_image_header(type, buf, (int)number(a[1]));
	report("header", "%d %s", r, hex(buf, sizeof buf).c_str());
}

void op_match(char **a)
{
	uint8_t raw[20] = {0};
	std::vector<uint8_t> data = slurp(a[0]);
	memcpy(raw, data.data(), std::min(data.size(), sizeof raw));
	report("match", "%d", verifyMatchingHeaders(raw, (int)number(a[1])));
}

void op_install(char **a)
{
	report("install", "%d", processNorvikImage(a[0], (uint8_t)number(a[1]), number(a[2])));
}

// --- flash, I2C and boot flags ---

void op_debug(char **a)
{
	std::string which = a[0];
	int *flag = which == "read" ? &debug_read : which == "write" ? &debug_write : &debug_erase;
	*flag = 1;
}

void op_write(char **a)
{
	std::vector<uint8_t> data = slurp(a[3]);
	report("write", "%d", api_flash_write(data.data(), part_fd(a[0]), number(a[1]), (uint32_t)data.size(),
					      (int)number(a[2])));
}

void op_write_empty(char **a)
{
	report("write", "%d", api_flash_write(nullptr, part_fd(a[0]), number(a[1]), 0, (int)number(a[2])));
}

void op_read(char **a)
{
	std::vector<uint8_t> buf(number(a[2]));
	int r = api_flash_read(buf.data(), part_fd(a[0]), number(a[1]), (uint32_t)buf.size());
	if (FILE *out = fopen(a[3], "wb")) {
		fwrite(buf.data(), 1, buf.size(), out);
		fclose(out);
	}
	report("read", "%d", r);
}

void op_erase(char **a)
{
	report("erase", "%d", api_flash_erase(part_fd(a[0]), number(a[1]), number(a[2])));
}

void op_bootflags(char **)
{
	BootFlags f;
	bool ok = read_boot_flags(&f);
	report("bootflags", "%s gdb=%d gdbserver=%d gdbport=%d shell=%d memchk=%d rescue=%d diags=%d ethport=%c",
	       ok ? "read" : "unread", f.gdb_enable, f.gdbserver_enable, f.gdbport, f.shell_enable, f.memchk_enable,
	       f.rescue_enable, f.standalone_diags, f.ethport);
}

void op_eeprom_read(char **a)
{
	uint8_t byte = 0;
	int r = api_eeprom_read(&byte, (uint16_t)number(a[0]), 1);
	report("eeprom-read", "%d byte 0x%02x", r, byte);
}

// --- the management port, the download rescues and the XMODEM receiver ---

void op_ask(char **a)
{
	struct in_addr addr = address(a[3]);
	int r = get_ip_addr(a[0], &addr, (int)number(a[1]), (int)number(a[2]));
	report("ask", "%d %s", r, dotted(addr).c_str());
}

void op_params(char **a)
{
	char port = '1';
	uint8_t use_dhcp = 0;
	struct in_addr addr = {0}, mask = {0}, gw = {0};
	int r = mgmt_port_params(&port, &use_dhcp, &addr, &mask, &gw, (int)number(a[0]));
	report("params", "%d port=%c dhcp=%d %s %s %s", r, port, use_dhcp, dotted(addr).c_str(),
	       dotted(mask).c_str(), dotted(gw).c_str());
}

void op_configure(char **a)
{
	report("configure", "%d",
	       mgmt_port_configure((uint8_t)number(a[0]), a[1][0], address(a[2]), address(a[3]), address(a[4])));
}

// One operation a word: the word, how many arguments follow it, and what
// it does with them.
struct Op {
	const char *word;
	int args;
	void (*run)(char **args);
};

const Op ops[] = {
	{"line", 1, op_line}, // SIZE: get_user_input into a SIZE-byte buffer
	{"key", 0, op_key},
	{"lflags", 0, op_lflags}, // whether ICANON and ECHO are set on the console
	{"sigint", 0, op_sigint},
	{"menu", 0, op_menu},
	{"display", 0, [](char **) { report("display", "%d", run_image_display()); }},
	{"diags", 0, [](char **) { report("diags", "%d", run_standalone_diags()); }},
	{"header", 2, op_header},   // TYPE SLOT (TYPE a package tool name or a number)
	{"match", 2, op_match},     // FILE SLOT: verifyMatchingHeaders of FILE's first 20 bytes
	{"install", 3, op_install}, // PATH CHECK SLOT
	{"flash-init", 0, [](char **) { report("flash-init", "%d", api_flash_init()); }},
	{"debug", 1, op_debug},          // read|write|erase: the flash module's trace switches
	{"write", 4, op_write},          // PART OFFSET SHOW FILE
	{"write-empty", 3, op_write_empty}, // PART OFFSET SHOW
	{"read", 4, op_read},            // PART OFFSET LEN OUTFILE
	{"erase", 3, op_erase},          // PART OFFSET LEN
	{"bootflags", 0, op_bootflags},
	{"i2c-init", 0, [](char **) { report("i2c-init", "%d", api_i2c_init()); }},
	{"i2c-close", 0, [](char **) { report("i2c-close", "%d", api_i2c_close()); }},
	{"get-image", 0, [](char **) { report("get-image", "%d", api_get_image()); }},
	{"set-image", 1, [](char **a) { report("set-image", "%d", api_set_image((int)number(a[0]))); }},
	{"set-booted", 1, [](char **a) { report("set-booted", "%d", api_set_booted_image((int)number(a[0]))); }},
	{"eeprom-read", 1, op_eeprom_read}, // OFFSET
	{"verify", 1, [](char **a) { report("verify", "%d", verify_ip_address(address(a[0]).s_addr)); }},
	{"ask", 4, op_ask},       // PROMPT REQUIRED VALIDATE INITIAL
	{"params", 1, op_params}, // OFFER
	{"configure", 5, op_configure}, // DHCP PORT ADDR MASK GW
	{"setup", 1, [](char **a) { report("setup", "%d", mgmt_port_setup((int)number(a[0]))); }},
	{"link", 1, [](char **a) { report("link", "%d", mgmt_link_status(a[0][0])); }},
	{"tftp", 0, [](char **) { report("tftp", "%d", run_tftp_rescue()); }},
	{"xmodem", 0, [](char **) { report("xmodem", "%d", run_xmodem_rescue()); }},
	// FILE: bytes received, 0 when cancelled, -1 when the line or FILE cannot be opened
	{"receive", 1, [](char **a) { report("receive", "%d", Xmodem1K(a[0])); }},
};

const Op &find(const char *word)
{
	for (const Op &op : ops)
		if (strcmp(op.word, word) == 0)
			return op;
	usage("unknown operation", word);
}

} // namespace

int main(int argc, char **argv)
{
	int i = 1;
	if (argc > 2 && strcmp(argv[1], "-r") == 0) {
		results = fopen(argv[2], "a");
		if (!results) {
			perror(argv[2]);
			return 2;
		}
		i = 3;
	}
	sig_init();
	while (i < argc) {
		const Op &op = find(argv[i]);
		if (i + op.args >= argc)
			usage("missing arguments of", op.word);
		op.run(argv + i + 1);
		i += 1 + op.args;
	}
	return 0;
}

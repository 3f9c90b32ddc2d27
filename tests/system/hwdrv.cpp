// Drives the flash and I2C modules on a virtual board, one operation per
// word, so that system tests can check their console output byte for byte
// and their hardware transactions in the board's trace.  Standard output is
// left to the modules; this program's own result lines go to standard error.
//
//   hwdrv OP ARGS... [OP ARGS...]
//     flash-init                    api_flash_init
//     debug read|write|erase        switch a trace switch on
//     write PART OFFSET SHOW FILE   api_flash_write of FILE's bytes
//     write-empty PART OFFSET SHOW  api_flash_write of 0 bytes
//     read PART OFFSET LEN OUTFILE  api_flash_read into OUTFILE
//     erase PART OFFSET LEN         api_flash_erase
//     bootflags                     read_boot_flags, printed
//     i2c-init | i2c-close          api_i2c_init / api_i2c_close
//     get-image | set-image N | set-booted N | eeprom-read OFFSET
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "i2c/i2c.h"
#include "launch/bootflags.h"

namespace {

int part_fd(const char *name)
{
	struct {
		const char *name;
		int *fd;
	} parts[] = {{"uboot", &uboot_fd},   {"ubootenv", &uboot_env_fd}, {"devicetree", &device_tree_fd},
		     {"kernel", &kernel_fd}, {"rfs", &rfs_fd},            {"rescue", &rescue_fd}};
	for (auto &p : parts)
		if (strcmp(p.name, name) == 0)
			return *p.fd;
	fprintf(stderr, "hwdrv: unknown partition %s\n", name);
	exit(2);
}

// The low 32 bits, whatever the width of this machine's long.
uint32_t number(const char *text)
{
	return (uint32_t)strtoull(text, nullptr, 0);
}

std::vector<uint8_t> slurp(const char *path)
{
	std::vector<uint8_t> data;
	FILE *f = fopen(path, "rb");
	if (!f) {
		perror(path);
		exit(2);
	}
	int c;
	while ((c = fgetc(f)) != EOF)
		data.push_back((uint8_t)c);
	fclose(f);
	return data;
}

void result(const char *op, int value)
{
	fflush(stdout);
	fprintf(stderr, "%s -> %d\n", op, value);
}

void need(int argc, int i, int n)
{
	if (i + n >= argc) {
		fprintf(stderr, "hwdrv: missing arguments\n");
		exit(2);
	}
}

void print_flags(bool ok, const BootFlags &f)
{
	fflush(stdout);
	fprintf(stderr,
		"bootflags %s gdb=%d gdbserver=%d gdbport=%d shell=%d memchk=%d rescue=%d diags=%d ethport=%c\n",
		ok ? "read" : "unread", f.gdb_enable, f.gdbserver_enable, f.gdbport, f.shell_enable,
		f.memchk_enable, f.rescue_enable, f.standalone_diags, f.ethport);
}

} // namespace

int main(int argc, char **argv)
{
	for (int i = 1; i < argc; i++) {
		std::string op = argv[i];
		if (op == "flash-init") {
			result("flash-init", api_flash_init());
		} else if (op == "debug") {
			need(argc, i, 1);
			std::string which = argv[++i];
			if (which == "read")
				debug_read = 1;
			else if (which == "write")
				debug_write = 1;
			else
				debug_erase = 1;
		} else if (op == "write") {
			need(argc, i, 4);
			int fd = part_fd(argv[i + 1]);
			std::vector<uint8_t> data = slurp(argv[i + 4]);
			result("write", api_flash_write(data.data(), fd, number(argv[i + 2]), (uint32_t)data.size(),
							(int)number(argv[i + 3])));
			i += 4;
		} else if (op == "write-empty") {
			need(argc, i, 3);
			result("write", api_flash_write(nullptr, part_fd(argv[i + 1]), number(argv[i + 2]), 0,
							(int)number(argv[i + 3])));
			i += 3;
		} else if (op == "read") {
			need(argc, i, 4);
			std::vector<uint8_t> buf(number(argv[i + 3]));
			int r = api_flash_read(buf.data(), part_fd(argv[i + 1]), number(argv[i + 2]), (uint32_t)buf.size());
			FILE *out = fopen(argv[i + 4], "wb");
			if (out) {
				fwrite(buf.data(), 1, buf.size(), out);
				fclose(out);
			}
			result("read", r);
			i += 4;
		} else if (op == "erase") {
			need(argc, i, 3);
			result("erase", api_flash_erase(part_fd(argv[i + 1]), number(argv[i + 2]), number(argv[i + 3])));
			i += 3;
		} else if (op == "bootflags") {
			BootFlags f;
			bool ok = read_boot_flags(&f);
			print_flags(ok, f);
		} else if (op == "i2c-init") {
			result("i2c-init", api_i2c_init());
		} else if (op == "i2c-close") {
			result("i2c-close", api_i2c_close());
		} else if (op == "get-image") {
			result("get-image", api_get_image());
		} else if (op == "set-image") {
			need(argc, i, 1);
			result("set-image", api_set_image((int)number(argv[++i])));
		} else if (op == "set-booted") {
			need(argc, i, 1);
			result("set-booted", api_set_booted_image((int)number(argv[++i])));
		} else if (op == "eeprom-read") {
			need(argc, i, 1);
			uint8_t byte = 0;
			int r = api_eeprom_read(&byte, (uint16_t)number(argv[++i]), 1);
			fflush(stdout);
			fprintf(stderr, "eeprom-read -> %d byte 0x%02x\n", r, byte);
		} else {
			fprintf(stderr, "hwdrv: unknown operation %s\n", op.c_str());
			return 2;
		}
	}
	return 0;
}

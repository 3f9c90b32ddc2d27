// Boot flags: what the U-Boot environment asks of this boot, read once at
// start and then read by the start-up, the extraction and the launch.
#pragma once

#include <cstdint>

struct BootFlags {
	int gdb_enable = 0;
	int gdbserver_enable = 0;
	int gdbport = 1234;
	unsigned char shell_enable = 0;
	unsigned char memchk_enable = 0;
	int rescue_enable = 0;
	int standalone_diags = 0;
	char ethport = '0'; // from ethact=; the management port is always '1'
};

// The environment's variable area as one text: the first ENV_WINDOW bytes
// after its CRC word, zero bytes turned into blanks.
constexpr uint32_t ENV_WINDOW = 1280;
constexpr uint32_t ENV_WINDOW_OFFSET = 4;

// Sets the flags that `text` (NUL-terminated) names; the rest keep their value.
void parse_boot_flags(const char *text, BootFlags *flags);
// Reads the environment partition into `flags`; false (flags untouched)
// when it cannot be read.
bool read_boot_flags(BootFlags *flags);

// The launcher's own boot state, read once at start.
void parse_uboot_env();
// That state: all defaults until parse_uboot_env has run.
const BootFlags &boot_flags();

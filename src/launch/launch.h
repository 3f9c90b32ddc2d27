// The launch module: start-up, boot flags, slot extraction, the launch, the
// rescue-partition image and the debugger.
#pragma once

#include <cstdint>

// What the U-Boot environment asks of this boot.
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

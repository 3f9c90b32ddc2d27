// The launch module: start-up, boot flags, slot extraction, the launch, the
// rescue-partition image and the debugger.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/record.h"

// Set to 1 by the SIGINT handler and by nothing else; the rescue console
// tests it after its reads.  A single byte, only ever stored whole.
extern volatile unsigned char sig_quit_raised;

// Installs the SIGINT handler that sets sig_quit_raised, without automatic
// restart of interrupted reads; the result of sigaction.
int sig_init();

// The slot to boot: 1 or 2.
int which_image();
// Reboots the board; never returns.
[[noreturn]] void board_reset();

// Slot extraction: returns 0 only when the slot cannot be used and the
// other one is to be tried; otherwise ends in the launch or a reboot.
int extract_image(int slot);
// 1 with the stream at the first application or diagnostics record and its
// header in *header; 0 when the file holds none that can be used.
int parse_image(FILE *stream, ImageHeader *header);
// 0 when the CRC of the buffer equals `expected`, 1 otherwise.
int CheckCrc(const uint8_t *data, uint32_t length, uint32_t expected);
// Unpacks /tmp/quartzimage.tar.gz and starts the application; never returns.
[[noreturn]] void launch_image(bool diagnostics);
// The image of the rescue partition: returns 0 when it holds none that can
// be used; otherwise ends in the launch or a reboot.
int extract_image_from_flash();
// The debugger from the slot other than `slot`: 1 when copied, 0 on failure.
int extract_gdb(int slot);

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

// The whole start-up and boot sequence; never returns.
[[noreturn]] void launcher_main();

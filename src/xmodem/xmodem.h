// The xmodem module: the serial line at 115200 bps and the XMODEM-1K receiver.
#pragma once

#include <termios.h>

// The line's settings before init_serial changed them.
extern struct termios oldtty;
// CRC-16/XMODEM of each byte value (polynomial 0x1021).
extern const unsigned short crctab[256];

// Opens /dev/ttyS0 at 115200 bps raw once the operator has pressed Enter;
// the descriptor, or -1 when the line cannot be opened.
int init_serial();
// Restores the saved settings and waits for Enter at the old speed.
int reset_serial(int fd);
// Receives one file: its byte count, 0 when cancelled, -1 when the file or
// the line cannot be opened.
int Xmodem1K(const char *path);

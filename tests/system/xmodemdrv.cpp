// Receives one file over /dev/ttyS0 with the XMODEM-1K receiver, as the
// board would: the operator switches the terminal to 115200 bps, presses
// Enter, starts the sender, and presses Enter again at 9600 bps afterwards.
//
//   xmodemdrv FILE
//
// The receiver's result goes to standard error as "Xmodem1K -> N" (bytes
// received, 0 when cancelled, -1 when the line or FILE cannot be opened);
// the exit status is 0 when bytes were received, 1 otherwise.
#include <cstdio>

#include "xmodem/xmodem.h"

int main(int argc, char **argv)
{
	if (argc != 2) {
		fprintf(stderr, "usage: xmodemdrv FILE\n");
		return 2;
	}
	int received = Xmodem1K(argv[1]);
	fflush(stdout);
	fprintf(stderr, "Xmodem1K -> %d\n", received);
	return received > 0 ? 0 : 1;
}

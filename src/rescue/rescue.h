// The rescue module: console input, the rescue menu, the download rescues
// and the standalone diagnostics.
#pragma once

// One key from the console, 0 to 255; 0 when the read failed (interrupted).
int uartGetC();
// An edited line of at most size - 1 characters in `buf`; always returns buf.
char *get_user_input(char *buf, int size);

// The menu: 1 when the operator chooses Exit; does not return after Reboot.
int run_rescue_mode();
// Prints the versions of the installed images; always 0.
int run_image_display();
// Download a package by TFTP / XMODEM and install it: 0 when nothing was
// received, otherwise the installer's result.
int run_tftp_rescue();
int run_xmodem_rescue();
// Offers to wipe the user filesystem, then boots the rescue partition's
// diagnostics image; returns 1 only when that image cannot be started.
int run_standalone_diags();

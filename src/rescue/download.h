// The download rescues: a package fetched into /tmp/image by TFTP or over
// the serial line, then handed to the installer.
#pragma once

// Download a package by TFTP / XMODEM and install it: 0 when nothing was
// received, otherwise the installer's result.
int run_tftp_rescue();
int run_xmodem_rescue();

// Slot extraction, the rescue partition's image and the debugger: finding
// a checked record to boot and writing its archive for the launch.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/record.h"

// Set by the start-up before the second slot is tried: failures are final
// from then on.
extern unsigned char tried_alt_image;

// Slot extraction: returns 0 only when the slot cannot be used and the
// other one is to be tried; otherwise ends in the launch or a reboot.
int extract_image(int slot);
// 1 with the stream at the first application or diagnostics record and its
// header in *header; 0 when the file holds none that can be used.
int parse_image(FILE *stream, ImageHeader *header);
// 0 when the CRC of the buffer equals `expected`, 1 otherwise.
int CheckCrc(const uint8_t *data, uint32_t length, uint32_t expected);
// The image of the rescue partition: returns 0 when it holds none that can
// be used; otherwise ends in the launch or a reboot.
int extract_image_from_flash();
// The debugger from the slot other than `slot`: 1 when copied, 0 on failure.
int extract_gdb(int slot);

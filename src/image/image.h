// The image module: installed-image headers and the package installer.
#pragma once

#include <cstdint>

#include "image/record.h"

// Prints the four header words when `verbose` is non-zero.
void display_header(const ImageHeader *hdr, int verbose);

// The 16 header bytes installed with the component of `type` (flag bit
// clear; `slot` names the application slot) into `buffer`, zeroed first.
// 1 when a source was found and read, 0 otherwise.
int read_flash_image_header(uint32_t type, uint8_t *buffer, int slot);
// 1 when the installed header matches the record header `raw` (its first 16
// bytes as stored), i.e. the component is already installed.
int verifyMatchingHeaders(const uint8_t *raw, int slot);

// Installs the package at `path`: 1 when at least one record was installed
// and the whole package processed, 0 otherwise.  Does not return when the
// operator boots a downloaded application.
int processNorvikImage(const char *path, uint8_t check_version, uint32_t slot);

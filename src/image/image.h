// The image module: installed-image headers and the package installer.
#pragma once

#include "image/record.h"

void display_header(const ImageHeader *hdr, int verbose);

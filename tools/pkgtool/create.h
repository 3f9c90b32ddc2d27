// pkgtool create: packs payload files into a package of image records.
#pragma once

#include <cstdint>

// create OUT [--extended[=HDRLEN]] [--overwrite-copy] TYPE=FILE[@A.B.C.D] ...
// Every input is checked before the output is begun; records are streamed,
// so a payload of any size that fits a record is packed in bounded memory.
int pkg_create(int argc, char **argv);

// Parses "A.B.C.D" (each 0 to 255) into a version word; false on bad text.
bool parse_version(const char *text, uint32_t *id);

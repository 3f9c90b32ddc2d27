// Whole files, for the harnesses and their replay.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The bytes of the file at `path` into *bytes; false when it cannot be
// opened.
inline bool read_file(const char *path, Bytes *bytes)
{
	bytes->clear();
	FILE *f = fopen(path, "rb");
	if (!f)
		return false;
	uint8_t piece[4096];
	size_t n;
	while ((n = fread(piece, 1, sizeof piece, f)) > 0)
		bytes->insert(bytes->end(), piece, piece + n);
	fclose(f);
	return true;
}

// The file at `path` holds exactly these bytes; the harness cannot go on
// when it does not.
inline void write_file(const char *path, const uint8_t *data, size_t size)
{
	FILE *f = fopen(path, "wb");
	if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
		abort();
}

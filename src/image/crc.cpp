#include "image/crc.h"

#include <array>
#include <zlib.h>

namespace {

// Below this length a call into zlib costs more than its bytes: a package
// of many tiny records is checksummed here, four bytes a step.  A length of
// 0 never reaches zlib either, which answers a null buffer with its initial
// value instead of the register.
constexpr uint32_t SHORT_SPAN = 64;

using Tables = std::array<std::array<uint32_t, 256>, 4>;

// tables[0][b] is the register change for byte b, bit by bit with the
// reflected polynomial; tables[k][b] the change for byte b followed by k
// more bytes, so four lookups take a whole 32-bit word.
constexpr Tables make_tables()
{
	Tables t{};
	for (uint32_t i = 0; i < 256; i++) {
		uint32_t c = i;
		for (int k = 0; k < 8; k++)
			c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
		t[0][i] = c;
	}
	for (uint32_t i = 0; i < 256; i++)
		for (int k = 1; k < 4; k++)
			t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
	return t;
}

constexpr Tables tables = make_tables();

uint32_t short_crc(const uint8_t *p, uint32_t n, uint32_t reg)
{
	for (; n >= 4; p += 4, n -= 4) {
		reg ^= (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
		reg = tables[3][reg & 0xFF] ^ tables[2][(reg >> 8) & 0xFF] ^ tables[1][(reg >> 16) & 0xFF] ^
		      tables[0][reg >> 24];
	}
	for (; n > 0; p++, n--)
		reg = (reg >> 8) ^ tables[0][(reg ^ *p) & 0xFF];
	return reg;
}

} // namespace

// zlib's crc32 complements the register on the way in and on the way out;
// undoing both gives the plain register arithmetic the records are stamped
// with, at table-driven speed instead of one bit per step.
uint32_t gen_crc(const uint8_t *data, uint32_t length, uint32_t reg)
{
	if (length < SHORT_SPAN)
		return short_crc(data, length, reg);
	return ~(uint32_t)crc32(~reg, data, length);
}

uint32_t swapw(uint32_t word)
{
	return (word >> 24) | ((word >> 8) & 0x0000FF00) | ((word << 8) & 0x00FF0000) | (word << 24);
}

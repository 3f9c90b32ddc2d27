// The checksum computed one bit at a time, exactly as the record format
// defines it: the reference the table-driven gen_crc is held to.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t bitwise_crc(const uint8_t *data, size_t length, uint32_t reg)
{
	for (size_t i = 0; i < length; i++)
		for (int bit = 0; bit < 8; bit++)
			reg = ((reg ^ (data[i] >> bit)) & 1) ? (reg >> 1) ^ 0xEDB88320 : reg >> 1;
	return reg;
}

// Record checksum: CRC-32 with the reflected polynomial 0xEDB88320, register
// passed in by the caller (0xFFFFFFFF to start), no final complement.
#pragma once

#include <cstdint>

uint32_t gen_crc(const uint8_t *data, uint32_t length, uint32_t reg);
uint32_t swapw(uint32_t word);

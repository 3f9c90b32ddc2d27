// The receiver's CRC table against the CRC-16/XMODEM definition, bit by bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "xmodem/xmodem.h"

namespace {

uint16_t crc16_bitwise(const uint8_t *data, size_t length)
{
	uint16_t crc = 0;
	for (size_t i = 0; i < length; i++) {
		crc ^= (uint16_t)(data[i] << 8);
		for (int bit = 0; bit < 8; bit++)
			crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
	}
	return crc;
}

// The update step the receiver applies per data byte.
uint16_t crc16_table(const uint8_t *data, size_t length)
{
	uint16_t crc = 0;
	for (size_t i = 0; i < length; i++)
		crc = (uint16_t)((crc << 8) ^ crctab[((crc >> 8) ^ data[i]) & 0xff]);
	return crc;
}

} // namespace

TEST(XmodemCrc, EveryTableEntryIsTheCrcOfItsByte)
{
	for (int i = 0; i < 256; i++) {
		uint8_t b = (uint8_t)i;
		EXPECT_EQ(crctab[i], crc16_bitwise(&b, 1)) << "entry " << i;
	}
}

TEST(XmodemCrc, TableDrivenBlocksMatchTheDefinition)
{
	const char *check = "123456789";
	EXPECT_EQ(crc16_table((const uint8_t *)check, strlen(check)), 0x31C3);

	uint8_t block[1024];
	for (int i = 0; i < 1024; i++)
		block[i] = (uint8_t)(i * 37 + (i >> 8));
	EXPECT_EQ(crc16_table(block, 128), crc16_bitwise(block, 128));
	EXPECT_EQ(crc16_table(block, 1024), crc16_bitwise(block, 1024));
}

// The XMODEM receiver's CRC table against CRC-16/XMODEM computed bit by bit.
#include <gtest/gtest.h>

#include "xmodem/xmodem.h"

TEST(XmodemCrc, EveryTableEntryIsTheCrcOfItsByte)
{
	for (int i = 0; i < 256; i++) {
		uint16_t crc = (uint16_t)(i << 8);
		for (int bit = 0; bit < 8; bit++)
			crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
		EXPECT_EQ(crctab[i], crc) << "entry " << i;
	}
}

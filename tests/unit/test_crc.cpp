#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/crc.h"
#include "oracle.h"

namespace {

std::vector<uint8_t> random_bytes(size_t n, unsigned seed)
{
	std::mt19937 rng(seed);
	std::vector<uint8_t> v(n);
	for (auto &b : v)
		b = (uint8_t)rng();
	return v;
}

TEST(GenCrc, CatalogueCheckValue)
{
	const char *digits = "123456789";
	EXPECT_EQ(0x340BC6D9u, gen_crc((const uint8_t *)digits, 9, 0xFFFFFFFF));
	EXPECT_EQ(0x340BC6D9u, bitwise_crc((const uint8_t *)digits, 9, 0xFFFFFFFF));
}

TEST(GenCrc, ZeroBytesReturnTheStartingRegister)
{
	EXPECT_EQ(0xFFFFFFFFu, gen_crc(nullptr, 0, 0xFFFFFFFF));
	EXPECT_EQ(0x12345678u, gen_crc(nullptr, 0, 0x12345678));
	uint8_t byte = 0;
	EXPECT_EQ(0u, gen_crc(&byte, 0, 0));
}

TEST(GenCrc, MatchesTheBitwiseAlgorithmForAnyLengthAndRegister)
{
	std::mt19937 rng(7);
	for (size_t len : {1u, 2u, 3u, 4u, 7u, 8u, 15u, 16u, 31u, 63u, 64u, 255u, 4096u, 65537u}) {
		auto data = random_bytes(len, (unsigned)len);
		for (int k = 0; k < 4; k++) {
			uint32_t reg = k == 0 ? 0xFFFFFFFF : (uint32_t)rng();
			EXPECT_EQ(bitwise_crc(data.data(), len, reg), gen_crc(data.data(), (uint32_t)len, reg))
				<< "length " << len << " register " << reg;
		}
	}
}

TEST(GenCrc, PiecewiseEqualsWhole)
{
	auto data = random_bytes(10000, 3);
	uint32_t whole = gen_crc(data.data(), 10000, 0xFFFFFFFF);
	for (uint32_t cut : {0u, 1u, 4u, 4999u, 9999u, 10000u}) {
		uint32_t reg = gen_crc(data.data(), cut, 0xFFFFFFFF);
		reg = gen_crc(data.data() + cut, 10000 - cut, reg);
		EXPECT_EQ(whole, reg) << "cut at " << cut;
	}
}

TEST(GenCrc, IsTheComplementOfTheCommonCrc32)
{
	// The common CRC-32 of "123456789" is 0xCBF43926.
	const char *digits = "123456789";
	EXPECT_EQ(~0xCBF43926u, gen_crc((const uint8_t *)digits, 9, 0xFFFFFFFF));
}

TEST(Swapw, ReversesTheFourBytes)
{
	EXPECT_EQ(0x4C4F5001u, swapw(0x01504F4C));
	EXPECT_EQ(0x000000FFu, swapw(0xFF000000));
	EXPECT_EQ(0x12345678u, swapw(swapw(0x12345678)));
}

} // namespace

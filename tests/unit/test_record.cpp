// The record format's checksum, refusals and walk, held to definitions
// written out here rather than to the library's own helpers.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "image/crc.h"
#include "image/record.h"
#include "oracle.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint32_t EXT = TYPE_APPLICATION | EXTENDED_HEADER_FLAG;

// The first 20 bytes of a record: length, magic and extended header length.
Bytes head_of(uint32_t len, uint32_t magic, uint16_t hdr_len)
{
	Bytes h(IMAGE_HEADER_READ, 0);
	for (int i = 0; i < 4; i++) {
		h[4 + i] = (uint8_t)(len >> (24 - 8 * i));
		h[8 + i] = (uint8_t)(magic >> (24 - 8 * i));
	}
	h[18] = (uint8_t)(hdr_len >> 8);
	h[19] = (uint8_t)hdr_len;
	return h;
}

// An intact record laid out byte by byte; hdr_len counts for extended ones.
Bytes make_record(uint32_t magic, const Bytes &payload, uint16_t hdr_len = BASIC_HEADER_LEN)
{
	Bytes r = head_of((uint32_t)payload.size(), magic, hdr_len);
	r.resize(magic & EXTENDED_HEADER_FLAG ? hdr_len : BASIC_HEADER_LEN);
	r.insert(r.end(), payload.begin(), payload.end());
	uint32_t crc = bitwise_crc(r.data() + 4, r.size() - 4, 0xFFFFFFFF);
	for (int i = 0; i < 4; i++)
		r[i] = (uint8_t)(crc >> (24 - 8 * i));
	return r;
}

TEST(GenCrc, MatchesTheBitwiseDefinitionForAnyLengthAndRegister)
{
	EXPECT_EQ(0x340BC6D9u, gen_crc((const uint8_t *)"123456789", 9, 0xFFFFFFFF));
	std::mt19937 rng(7);
	for (uint32_t len : {0u, 1u, 3u, 4u, 7u, 8u, 15u, 16u, 63u, 255u, 4096u, 65537u}) {
		Bytes data(len);
		for (auto &b : data)
			b = (uint8_t)rng();
		for (uint32_t reg : {0xFFFFFFFFu, (uint32_t)rng()})
			EXPECT_EQ(bitwise_crc(data.data(), len, reg), gen_crc(data.data(), len, reg)) << len;
	}
}

TEST(RecordState, RefusesWhatCannotBeUsedSafely)
{
	const struct {
		uint32_t len, magic;
		uint16_t hdr_len;
		uint64_t remaining;
		RecordState want;
	} cases[] = {
		{10, TYPE_APPLICATION, 0, 26, RecordState::usable},
		{10, TYPE_APPLICATION, 0, 25, RecordState::truncated},
		// A basic header's bytes 18-19 are payload, not a header length.
		{100, TYPE_RFS, 0xFFFF, 116, RecordState::usable},
		{100, TYPE_RFS, 0xFFFF, 115, RecordState::truncated},
		// A zero-length record would never advance a walk; below 4 bytes
		// there is no checksum span at all.
		{0, EXT, 0, 1000, RecordState::bad_header_length},
		{2, EXT, 1, 1000, RecordState::bad_header_length},
		{100, EXT, 15, 1000, RecordState::bad_header_length},
		{0, EXT, 16, 16, RecordState::usable},
		{4, EXT, 24, 28, RecordState::usable},
		// Lengths that wrap the 32-bit offset back before the record's start.
		{0xFFFFFFF0, TYPE_APPLICATION, 0, UINT64_MAX, RecordState::length_wraps},
		{0xFFFFFFFF, EXT, 0xFFFF, UINT64_MAX, RecordState::length_wraps},
		{0xFFFFFFEF, TYPE_APPLICATION, 0, UINT64_MAX, RecordState::usable},
		// Huge but not wrapping: no file holds it.
		{0xF0000000, TYPE_APPLICATION, 0, 1 << 20, RecordState::truncated},
	};
	for (const auto &c : cases)
		EXPECT_EQ(c.want, record_state(decode_header(head_of(c.len, c.magic, c.hdr_len).data()), c.remaining))
			<< "length " << c.len << ", header length " << c.hdr_len << ", " << c.remaining << " bytes left";
}

TEST(RecordChecksum, CoversEveryByteFromFourOn)
{
	for (uint32_t magic : {TYPE_DFT, TYPE_DFT | EXTENDED_HEADER_FLAG}) {
		Bytes good = make_record(magic, Bytes(64, 0x5A), 24);
		ASSERT_TRUE(record_intact(good.data(), (uint32_t)good.size()));
		for (size_t i = 0; i < good.size(); i++) {
			Bytes bad = good;
			bad[i] ^= (i == 8) ? 0x80 : 0x01; // byte 8 bit 7: the extended flag
			EXPECT_FALSE(record_intact(bad.data(), (uint32_t)bad.size())) << "byte " << i;
		}
	}
	uint8_t r[4] = {0xFF, 0xFF, 0xFF, 0xFF}; // the checksum of nothing
	for (uint32_t len = 0; len < 4; len++)
		EXPECT_FALSE(record_intact(r, len)) << len;
}

// The steps of a walk over `first` then `second`: each record's header and
// payload lengths, then how the walk ended.
std::string walk(Bytes first, const Bytes &second)
{
	first.insert(first.end(), second.begin(), second.end());
	std::string out;
	for (uint64_t off = 0;;) {
		WalkEntry e = walk_step(first.data() + off, first.size() - off);
		if (e.step != WalkStep::record)
			return out + (e.step == WalkStep::end ? " end" : e.step == WalkStep::tail ? " tail" : " bad");
		out += " " + std::to_string(e.header_len) + "+" + std::to_string(e.record_len - e.header_len);
		off += e.record_len;
	}
}

TEST(Walk, EndsAtTheEndATailOrAnUnusableHeader)
{
	Bytes kernel = make_record(TYPE_KERNEL, Bytes(100, 0xAA));
	EXPECT_EQ(" 16+100 32+7 end", walk(kernel, make_record(EXT, Bytes(7, 0xBB), 32)));
	// 19 bytes: a whole basic record with a 3-byte payload, too short to read.
	EXPECT_EQ(" 16+100 tail", walk(kernel, make_record(TYPE_APPLICATION, Bytes{1, 2, 3})));
	EXPECT_EQ(" 16+100 bad", walk(kernel, head_of(0, EXT, 0)));
	EXPECT_EQ(RecordState::bad_header_length, walk_step(head_of(0, EXT, 0).data(), IMAGE_HEADER_READ).state);
}

} // namespace

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
	const uint8_t digits[] = "123456789";
	EXPECT_EQ(0x340BC6D9u, gen_crc(digits, 9, 0xFFFFFFFF));
	std::mt19937 rng(7);
	for (uint32_t len : {0u, 1u, 3u, 4u, 7u, 8u, 15u, 16u, 63u, 255u, 4096u, 65537u}) {
		Bytes data(len);
		for (auto &b : data)
			b = (uint8_t)rng();
		for (uint32_t reg : {0xFFFFFFFFu, (uint32_t)rng()})
			EXPECT_EQ(bitwise_crc(data.data(), len, reg), gen_crc(data.data(), len, reg)) << len;
	}
}

const uint32_t EXT = TYPE_APPLICATION | EXTENDED_HEADER_FLAG;

struct StateCase {
	uint32_t len, magic;
	uint16_t hdr_len;
	uint64_t remaining;
	RecordState want;
};

class RecordStates : public testing::TestWithParam<StateCase> {};

TEST_P(RecordStates, RefuseWhatCannotBeUsedSafely)
{
	const StateCase &c = GetParam();
	Bytes h = head_of(c.len, c.magic, c.hdr_len);
	EXPECT_EQ(c.want, record_state(decode_header(h.data()), c.remaining))
		<< "length " << c.len << ", header length " << c.hdr_len << ", " << c.remaining << " bytes left";
}

INSTANTIATE_TEST_SUITE_P(Table, RecordStates, testing::Values(
	StateCase{10, TYPE_APPLICATION, 0, 26, RecordState::usable},
	StateCase{10, TYPE_APPLICATION, 0, 25, RecordState::truncated},
	// A basic header's bytes 18-19 are payload, not a header length.
	StateCase{100, TYPE_RFS, 0xFFFF, 116, RecordState::usable},
	StateCase{100, TYPE_RFS, 0xFFFF, 115, RecordState::truncated},
	// A zero-length record would never advance a walk; below 4 bytes there
	// is no checksum span at all.
	StateCase{0, EXT, 0, 1000, RecordState::bad_header_length},
	StateCase{2, EXT, 1, 1000, RecordState::bad_header_length},
	StateCase{100, EXT, 15, 1000, RecordState::bad_header_length},
	StateCase{0, EXT, 16, 16, RecordState::usable},
	StateCase{4, EXT, 24, 28, RecordState::usable},
	// Lengths that wrap the 32-bit offset back before the record's start.
	StateCase{0xFFFFFFF0, TYPE_APPLICATION, 0, UINT64_MAX, RecordState::length_wraps},
	StateCase{0xFFFFFFFF, EXT, 0xFFFF, UINT64_MAX, RecordState::length_wraps},
	StateCase{0xFFFFFFEF, TYPE_APPLICATION, 0, UINT64_MAX, RecordState::usable},
	// Huge but not wrapping: no file holds it.
	StateCase{0xF0000000, TYPE_APPLICATION, 0, 1 << 20, RecordState::truncated}));

TEST(RecordChecksum, CoversEveryByteFromFourOn)
{
	Bytes payload(64);
	for (size_t i = 0; i < payload.size(); i++)
		payload[i] = (uint8_t)i;
	for (uint32_t magic : {TYPE_DFT, TYPE_DFT | EXTENDED_HEADER_FLAG}) {
		Bytes good = make_record(magic, payload, 24);
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

// Every step of a walk over seq, as every reader of records walks.
std::vector<WalkEntry> walk_all(const Bytes &seq)
{
	std::vector<WalkEntry> out;
	for (uint64_t off = 0;; off += out.back().record_len) {
		out.push_back(walk_step(seq.data() + off, seq.size() - off));
		if (out.back().step != WalkStep::record)
			return out;
	}
}

Bytes operator+(Bytes a, const Bytes &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

TEST(Walk, EndsAtTheEndATailOrAnUnusableHeader)
{
	Bytes kernel = make_record(TYPE_KERNEL, Bytes(100, 0xAA));
	auto steps = walk_all(kernel + make_record(EXT, Bytes(7, 0xBB), 32));
	ASSERT_EQ(3u, steps.size());
	EXPECT_EQ(116u, steps[0].record_len);
	EXPECT_EQ(32u, steps[1].header_len);
	EXPECT_EQ(39u, steps[1].record_len);
	EXPECT_EQ(WalkStep::end, steps[2].step);
	// 19 bytes: a whole basic record with a 3-byte payload, too short to read.
	steps = walk_all(kernel + make_record(TYPE_APPLICATION, Bytes{1, 2, 3}));
	ASSERT_EQ(2u, steps.size());
	EXPECT_EQ(WalkStep::tail, steps[1].step);
	steps = walk_all(kernel + head_of(0, EXT, 0));
	ASSERT_EQ(2u, steps.size());
	EXPECT_EQ(WalkStep::bad, steps[1].step);
	EXPECT_EQ(RecordState::bad_header_length, steps[1].state);
}

} // namespace

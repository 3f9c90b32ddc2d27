#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/crc.h"
#include "image/record.h"
#include "oracle.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Builds a record byte by byte, independently of encode_header, so that the
// decoder is checked against the layout rather than against itself.
Bytes make_record(uint32_t magic, uint32_t id, const Bytes &payload, uint16_t hdr_len = 0)
{
	bool extended = magic & EXTENDED_HEADER_FLAG;
	size_t header = extended ? hdr_len : 16;
	Bytes r(header + payload.size(), 0);
	auto put32 = [&](size_t at, uint32_t v) {
		r[at] = (uint8_t)(v >> 24);
		r[at + 1] = (uint8_t)(v >> 16);
		r[at + 2] = (uint8_t)(v >> 8);
		r[at + 3] = (uint8_t)v;
	};
	put32(4, (uint32_t)payload.size());
	put32(8, magic);
	put32(12, id);
	if (extended) {
		r[18] = (uint8_t)(hdr_len >> 8);
		r[19] = (uint8_t)hdr_len;
	}
	std::copy(payload.begin(), payload.end(), r.begin() + (long)header);
	put32(0, bitwise_crc(r.data() + 4, r.size() - 4, 0xFFFFFFFF));
	return r;
}

Bytes head_of(uint32_t len, uint32_t magic, uint16_t hdr_len)
{
	Bytes h(IMAGE_HEADER_READ, 0);
	store_be32(h.data() + 4, len);
	store_be32(h.data() + 8, magic);
	store_be16(h.data() + 18, hdr_len);
	return h;
}

TEST(Header, DecodesBigEndianFieldsWhateverTheHost)
{
	const uint8_t raw[20] = {0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x01, 0x00, 0x81, 0x50,
				 0x4F, 0x4C, 0x01, 0x02, 0x03, 0x04, 0xAB, 0xCD, 0x00, 0x18};
	ImageHeader h = decode_header(raw);
	EXPECT_EQ(0x12345678u, h.crc);
	EXPECT_EQ(256u, h.len);
	EXPECT_EQ(0x81504F4Cu, h.magic);
	EXPECT_EQ(0x01020304u, h.id);
	EXPECT_EQ(0xABCD, h.reserved);
	EXPECT_EQ(24, h.hdr_len);
	EXPECT_TRUE(header_is_extended(h));
	EXPECT_EQ(TYPE_APPLICATION, header_type(h));
	EXPECT_EQ(24u, header_length(h));
	EXPECT_EQ(280u, record_length(h));
}

TEST(Header, EncodeWritesSixteenBytesForBasicAndTwentyForExtended)
{
	uint8_t out[20];
	memset(out, 0xEE, sizeof out);
	ImageHeader basic{1, 2, TYPE_KERNEL, 0x01020304, 0x9999, 0x9999};
	EXPECT_EQ(16u, encode_header(basic, out));
	EXPECT_EQ(0x03, out[8]);
	EXPECT_EQ(0x04, out[15]);
	for (int i = 16; i < 20; i++)
		EXPECT_EQ(0xEE, out[i]) << "basic header wrote into the payload at " << i;

	ImageHeader ext{1, 2, TYPE_KERNEL | EXTENDED_HEADER_FLAG, 3, 0x0102, 0x0030};
	EXPECT_EQ(20u, encode_header(ext, out));
	ImageHeader back = decode_header(out);
	EXPECT_EQ(0x83504F4Cu, back.magic);
	EXPECT_EQ(0x0102, back.reserved);
	EXPECT_EQ(0x30, back.hdr_len);
}

TEST(Header, BasicHeaderIgnoresTheHdrLenBytesWhichArePayload)
{
	Bytes h = head_of(100, TYPE_RFS, 0xFFFF);
	ImageHeader hdr = decode_header(h.data());
	EXPECT_EQ(16u, header_length(hdr));
	EXPECT_EQ(116u, record_length(hdr));
}

TEST(RecordState, RefusesWhatCannotBeUsedSafely)
{
	auto state = [](uint32_t len, uint32_t magic, uint16_t hdr_len, uint64_t remaining) {
		Bytes h = head_of(len, magic, hdr_len);
		return record_state(decode_header(h.data()), remaining);
	};
	const uint32_t EXT = TYPE_APPLICATION | EXTENDED_HEADER_FLAG;
	EXPECT_EQ(RecordState::usable, state(10, TYPE_APPLICATION, 0, 26));
	EXPECT_EQ(RecordState::truncated, state(10, TYPE_APPLICATION, 0, 25));
	// A zero-length record would never advance a walk; below 4 bytes there
	// is no checksum span at all.
	EXPECT_EQ(RecordState::bad_header_length, state(0, EXT, 0, 1000));
	EXPECT_EQ(RecordState::bad_header_length, state(2, EXT, 1, 1000));
	EXPECT_EQ(RecordState::bad_header_length, state(100, EXT, 15, 1000));
	EXPECT_EQ(RecordState::usable, state(0, EXT, 16, 16));
	EXPECT_EQ(RecordState::usable, state(4, EXT, 24, 28));
	// Lengths that wrap the 32-bit offset back before the record's start.
	EXPECT_EQ(RecordState::length_wraps, state(0xFFFFFFF0, TYPE_APPLICATION, 0, UINT64_MAX));
	EXPECT_EQ(RecordState::length_wraps, state(0xFFFFFFFF, EXT, 0xFFFF, UINT64_MAX));
	EXPECT_EQ(RecordState::usable, state(0xFFFFFFEF, TYPE_APPLICATION, 0, UINT64_MAX));
	// Huge but not wrapping: refused because no file holds it.
	EXPECT_EQ(RecordState::truncated, state(0xF0000000, TYPE_APPLICATION, 0, 1 << 20));
}

TEST(RecordChecksum, CoversByteFourToTheEnd)
{
	Bytes r = make_record(TYPE_KERNEL, 0x01020304, Bytes{1, 2, 3, 4, 5});
	EXPECT_EQ(bitwise_crc(r.data() + 4, r.size() - 4, 0xFFFFFFFF), record_crc(r.data(), (uint32_t)r.size()));
	EXPECT_TRUE(record_intact(r.data(), (uint32_t)r.size()));
}

TEST(RecordChecksum, AnyChangedFieldOrPayloadByteFailsIt)
{
	Bytes payload(64);
	for (size_t i = 0; i < payload.size(); i++)
		payload[i] = (uint8_t)i;
	for (uint32_t magic : {TYPE_DFT, TYPE_DFT | EXTENDED_HEADER_FLAG}) {
		Bytes good = make_record(magic, 0x05060708, payload, 24);
		ASSERT_TRUE(record_intact(good.data(), (uint32_t)good.size()));
		for (size_t i = 0; i < good.size(); i++) {
			Bytes bad = good;
			bad[i] ^= (i == 8) ? 0x80 : 0x01; // byte 8 bit 7: the extended flag
			EXPECT_FALSE(record_intact(bad.data(), (uint32_t)bad.size())) << "byte " << i;
		}
	}
}

TEST(RecordChecksum, ARecordShorterThanFourBytesNeverMatches)
{
	uint8_t r[4] = {0xFF, 0xFF, 0xFF, 0xFF}; // the CRC of nothing
	for (uint32_t len = 0; len < 4; len++)
		EXPECT_FALSE(record_intact(r, len)) << len;
	EXPECT_TRUE(record_intact(r, 4));
}

// Walks a buffer the way every reader of records does.
std::vector<WalkEntry> walk_all(const Bytes &seq)
{
	std::vector<WalkEntry> out;
	uint64_t off = 0;
	for (;;) {
		WalkEntry e = walk_step(seq.data() + off, seq.size() - off);
		out.push_back(e);
		if (e.step != WalkStep::record)
			return out;
		off += e.record_len;
	}
}

TEST(Walk, FindsRecordsBackToBackAndEndsCleanly)
{
	Bytes a = make_record(TYPE_KERNEL, 1, Bytes(100, 0xAA));
	Bytes b = make_record(TYPE_APPLICATION | EXTENDED_HEADER_FLAG, 2, Bytes(7, 0xBB), 32);
	Bytes seq = a;
	seq.insert(seq.end(), b.begin(), b.end());
	auto steps = walk_all(seq);
	ASSERT_EQ(3u, steps.size());
	EXPECT_EQ(TYPE_KERNEL, header_type(steps[0].hdr));
	EXPECT_EQ(116u, steps[0].record_len);
	EXPECT_EQ(TYPE_APPLICATION, header_type(steps[1].hdr));
	EXPECT_EQ(32u, steps[1].header_len);
	EXPECT_EQ(39u, steps[1].record_len);
	EXPECT_EQ(WalkStep::end, steps[2].step);
}

TEST(Walk, ShortTailIsNeverARecord)
{
	// A basic record with a 3-byte payload is 19 bytes: too short to read.
	Bytes tiny = make_record(TYPE_APPLICATION, 1, Bytes{1, 2, 3});
	auto steps = walk_all(tiny);
	ASSERT_EQ(1u, steps.size());
	EXPECT_EQ(WalkStep::tail, steps[0].step);

	Bytes seq = make_record(TYPE_KERNEL, 1, Bytes(10));
	seq.insert(seq.end(), 19, 0);
	steps = walk_all(seq);
	ASSERT_EQ(2u, steps.size());
	EXPECT_EQ(WalkStep::tail, steps[1].step);
}

TEST(Walk, StopsAtAnUnusableHeaderInsteadOfLooping)
{
	Bytes seq = make_record(TYPE_KERNEL, 1, Bytes(10));
	Bytes zero = head_of(0, TYPE_APPLICATION | EXTENDED_HEADER_FLAG, 0);
	seq.insert(seq.end(), zero.begin(), zero.end());
	auto steps = walk_all(seq);
	ASSERT_EQ(2u, steps.size());
	EXPECT_EQ(WalkStep::bad, steps[1].step);
	EXPECT_EQ(RecordState::bad_header_length, steps[1].state);
}

TEST(Walk, AnyBytesEndWithinOneStepPerSixteenBytes)
{
	std::mt19937 rng(11);
	for (int round = 0; round < 2000; round++) {
		Bytes seq(rng() % 300);
		for (auto &b : seq)
			b = (uint8_t)rng();
		// Small lengths and header lengths, so that short records are common.
		if (seq.size() >= 20 && round % 2) {
			seq[4] = seq[5] = seq[6] = 0;
			seq[18] = 0;
		}
		auto steps = walk_all(seq);
		EXPECT_LE(steps.size(), seq.size() / 16 + 1);
		uint64_t covered = 0;
		for (auto &e : steps)
			if (e.step == WalkStep::record)
				covered += e.record_len;
		EXPECT_LE(covered, seq.size());
	}
}

TEST(TypeNames, RoundTrip)
{
	for (uint32_t t : {TYPE_APPLICATION, TYPE_UBOOT, TYPE_KERNEL, TYPE_RFS, TYPE_DFT, TYPE_DIAGS})
		EXPECT_EQ(t, type_from_name(type_name(t)));
	EXPECT_EQ(nullptr, type_name(0x07504F4C));
	EXPECT_EQ(0u, type_from_name("bogus"));
	EXPECT_STREQ("app", type_name(TYPE_APPLICATION));
}

} // namespace

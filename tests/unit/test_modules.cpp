// What no whole board and no fuzz invariant pins down: checksums and record
// walk held to definitions written out here, not to the library's helpers;
// the boot flags' number parsing and key matching.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "image/crc.h"
#include "image/record.h"
#include "launch/bootflags.h"
#include "oracle.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint32_t EXT = TYPE_APPLICATION | EXTENDED_HEADER_FLAG;

void put_be(Bytes &b, size_t at, uint32_t value, int bytes)
{
	for (int i = 0; i < bytes; i++)
		b[at + i] = (uint8_t)(value >> (8 * (bytes - 1 - i)));
}

// The first 20 bytes of a record: length, magic and extended header length.
Bytes head_of(uint32_t len, uint32_t magic, uint32_t hdr_len)
{
	Bytes h(IMAGE_HEADER_READ, 0);
	put_be(h, 4, len, 4);
	put_be(h, 8, magic, 4);
	put_be(h, 18, hdr_len, 2);
	return h;
}

TEST(GenCrc, MatchesTheBitwiseDefinitionForAnyLengthAndRegister)
{
	EXPECT_EQ(0x340BC6D9u, gen_crc((const uint8_t *)"123456789", 9, 0xFFFFFFFF));
	std::mt19937 rng(7);
	for (uint32_t len : {0u, 1u, 3u, 4u, 7u, 8u, 15u, 16u, 63u, 255u, 4096u, 65537u}) {
		Bytes data(len);
		std::generate(data.begin(), data.end(), [&] { return (uint8_t)rng(); });
		for (uint32_t reg : {0xFFFFFFFFu, (uint32_t)rng()})
			EXPECT_EQ(bitwise_crc(data.data(), len, reg), gen_crc(data.data(), len, reg)) << len;
	}
}

TEST(RecordChecksum, CoversEveryByteFromFourOn)
{
	for (uint32_t magic : {TYPE_DFT, TYPE_DFT | EXTENDED_HEADER_FLAG}) {
		Bytes good = head_of(64, magic, 24);
		good.resize(magic == TYPE_DFT ? 16 + 64 : 24 + 64, 0x5A);
		put_be(good, 0, bitwise_crc(good.data() + 4, good.size() - 4, 0xFFFFFFFF), 4);
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

TEST(Walk, TakesARecordOnlyWhereItCanBeUsedSafely)
{
	const char *past_end = "record runs past the end", *short_header = "header length below 16";
	const char *wraps = "record length wraps past 4 GiB";
	// Each row: a header's length, magic and header length, the bytes left from its start, and
	// the header+payload lengths of the record the walk takes there, or why it takes none.
	const struct { uint32_t len, magic, hdr_len; uint64_t remaining; std::string want; } cases[] = {
		{10, TYPE_APPLICATION, 0, 26, "16+10"},
		{10, TYPE_APPLICATION, 0, 25, past_end},
		{0, TYPE_APPLICATION, 0, 0, "end"},
		// Fewer bytes than a header read: never a record, however short its length.
		{3, TYPE_APPLICATION, 0, 19, "tail"},
		// A basic header's bytes 18-19 are payload, not a header length.
		{100, TYPE_RFS, 0xFFFF, 116, "16+100"},
		// A zero-length record would never advance a walk; below 4 bytes
		// there is no checksum span at all.
		{0, EXT, 0, 1000, short_header},
		{100, EXT, 15, 1000, short_header},
		{0, EXT, 16, 1000, "16+0"},
		{4, EXT, 24, 28, "24+4"},
		// Lengths that wrap the 32-bit offset back before the record's start.
		{0xFFFFFFF0, TYPE_APPLICATION, 0, UINT64_MAX, wraps},
		{0xFFFFFFFF, EXT, 0xFFFF, UINT64_MAX, wraps},
		{0xFFFFFFEF, TYPE_APPLICATION, 0, UINT64_MAX, "16+4294967279"},
		// Huge but not wrapping: no file holds it.
		{0xF0000000, TYPE_APPLICATION, 0, 1 << 20, past_end},
	};
	for (const auto &c : cases) {
		WalkEntry e = walk_step(head_of(c.len, c.magic, c.hdr_len).data(), c.remaining);
		std::string got = e.step == WalkStep::end ? "end" : e.step == WalkStep::tail ? "tail" : record_state_text(e.state);
		if (e.step == WalkStep::record)
			got = std::to_string(e.header_len) + "+" + std::to_string(e.record_len - e.header_len);
		EXPECT_EQ(c.want, got) << "row " << c.len << ", " << c.magic << ", " << c.hdr_len << ", " << c.remaining;
	}
}

TEST(BootFlags, ChangeOnlyWhatTheTextSays)
{
	const std::pair<const char *, const char *> cases[] = {
		{"gdbport=-5", "0 0 -5 0 0 0 0 0"},
		{"gdbport=  +77x", "0 0 77 0 0 0 0 0"},
		{"gdbport=2147483647", "0 0 2147483647 0 0 0 0 0"},
		// Too long for an int: the default stays.
		{"gdbport=2147483648", "0 0 1234 0 0 0 0 0"},
		{"gdbport=-99999999999999999999999", "0 0 1234 0 0 0 0 0"},
		{"gdbserver=off gdbport=99", "0 0 99 0 0 0 0 0"},
		{"gdb=ON gdb=on", "0 0 1234 0 0 0 0 0"},
		{"xgdb=on", "1 0 1234 0 0 0 0 0"},
		{"diagnostics=diagsx", "0 0 1234 0 0 0 1 0"},
		{"diagnostics=rescue diagnostics=diags", "0 0 1234 0 0 1 0 0"},
		{"ethact=TSEC10", "0 0 1234 0 0 0 0 1"},
	};
	for (const auto &[text, want] : cases) {
		BootFlags f;
		parse_boot_flags(text, &f);
		char got[96]; // gdb, gdbserver, gdbport, shell, memchk, rescue, diags, ethport
		snprintf(got, sizeof got, "%d %d %d %d %d %d %d %c", f.gdb_enable, f.gdbserver_enable, f.gdbport,
			 f.shell_enable, f.memchk_enable, f.rescue_enable, f.standalone_diags, f.ethport);
		EXPECT_STREQ(want, got) << text;
	}
}

} // namespace

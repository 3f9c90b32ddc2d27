#include "image/record.h"

#include <cstring>

#include "image/crc.h"

uint32_t load_be32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

uint16_t load_be16(const uint8_t *p)
{
	return (uint16_t)(p[0] << 8 | p[1]);
}

void store_be32(uint8_t *p, uint32_t v)
{
	p[0] = (uint8_t)(v >> 24);
	p[1] = (uint8_t)(v >> 16);
	p[2] = (uint8_t)(v >> 8);
	p[3] = (uint8_t)v;
}

void store_be16(uint8_t *p, uint16_t v)
{
	p[0] = (uint8_t)(v >> 8);
	p[1] = (uint8_t)v;
}

ImageHeader decode_fixed_header(const uint8_t raw[BASIC_HEADER_LEN])
{
	ImageHeader hdr{};
	hdr.crc = load_be32(raw);
	hdr.len = load_be32(raw + 4);
	hdr.magic = load_be32(raw + 8);
	hdr.id = load_be32(raw + 12);
	return hdr;
}

ImageHeader decode_header(const uint8_t raw[IMAGE_HEADER_READ])
{
	ImageHeader hdr = decode_fixed_header(raw);
	hdr.reserved = load_be16(raw + 16);
	hdr.hdr_len = load_be16(raw + 18);
	return hdr;
}

uint32_t encode_header(const ImageHeader &hdr, uint8_t out[IMAGE_HEADER_READ])
{
	store_be32(out, hdr.crc);
	store_be32(out + 4, hdr.len);
	store_be32(out + 8, hdr.magic);
	store_be32(out + 12, hdr.id);
	if (!header_is_extended(hdr))
		return BASIC_HEADER_LEN;
	store_be16(out + 16, hdr.reserved);
	store_be16(out + 18, hdr.hdr_len);
	return IMAGE_HEADER_READ;
}

bool header_is_extended(const ImageHeader &hdr)
{
	return (hdr.magic & EXTENDED_HEADER_FLAG) != 0;
}

uint32_t header_type(const ImageHeader &hdr)
{
	return hdr.magic & ~EXTENDED_HEADER_FLAG;
}

uint32_t header_length(const ImageHeader &hdr)
{
	return header_is_extended(hdr) ? hdr.hdr_len : BASIC_HEADER_LEN;
}

uint32_t record_length(const ImageHeader &hdr)
{
	return header_length(hdr) + hdr.len;
}

RecordState record_state(const ImageHeader &hdr, uint64_t remaining)
{
	// A header shorter than the fixed words would put the payload on top of
	// them; below 4 bytes there would not even be a checksum span, and a
	// record of length 0 would keep a walk from ever advancing.
	if (header_length(hdr) < BASIC_HEADER_LEN)
		return RecordState::bad_header_length;
	if ((uint64_t)header_length(hdr) + hdr.len > UINT32_MAX)
		return RecordState::length_wraps;
	if (record_length(hdr) > remaining)
		return RecordState::truncated;
	return RecordState::usable;
}

const char *record_state_text(RecordState state)
{
	switch (state) {
	case RecordState::usable:
		return "usable";
	case RecordState::bad_header_length:
		return "header length below 16";
	case RecordState::length_wraps:
		return "record length wraps past 4 GiB";
	case RecordState::truncated:
		return "record runs past the end";
	}
	return "?";
}

namespace {

struct TypeName {
	uint32_t type;
	const char *name;
};

constexpr TypeName type_names[] = {
	{TYPE_APPLICATION, "app"}, {TYPE_UBOOT, "uboot"}, {TYPE_KERNEL, "kernel"},
	{TYPE_RFS, "rfs"},         {TYPE_DFT, "dft"},     {TYPE_DIAGS, "diags"},
};

} // namespace

const char *type_name(uint32_t type)
{
	for (const TypeName &t : type_names)
		if (t.type == type)
			return t.name;
	return nullptr;
}

uint32_t type_from_name(const char *name)
{
	for (const TypeName &t : type_names)
		if (strcmp(t.name, name) == 0)
			return t.type;
	return 0;
}

uint32_t record_crc(const uint8_t *record, uint32_t length)
{
	return gen_crc(record + 4, length - 4, 0xFFFFFFFF);
}

bool record_intact(const uint8_t *record, uint32_t length)
{
	if (length < 4)
		return false;
	return record_crc(record, length) == load_be32(record);
}

WalkEntry walk_step(const uint8_t *head, uint64_t remaining)
{
	WalkEntry e{};
	if (remaining == 0) {
		e.step = WalkStep::end;
		return e;
	}
	if (remaining < IMAGE_HEADER_READ) {
		e.step = WalkStep::tail;
		return e;
	}
	e.hdr = decode_header(head);
	e.state = record_state(e.hdr, remaining);
	e.step = e.state == RecordState::usable ? WalkStep::record : WalkStep::bad;
	e.header_len = header_length(e.hdr);
	e.record_len = record_length(e.hdr);
	return e;
}

namespace {

constexpr InstallLimit install_limits[] = {
	{TYPE_UBOOT, true, 0x80000},    // 512 KiB
	{TYPE_KERNEL, false, 0x300000}, // 3 MiB
	{TYPE_RFS, false, 0xF00000},    // 15 MiB
	{TYPE_DFT, false, 0x40000},     // 256 KiB
	{TYPE_DIAGS, false, 0xA00000},  // 10 MiB, the rescue partition
};

} // namespace

const InstallLimit *install_limit(uint32_t type)
{
	for (const InstallLimit &l : install_limits)
		if (l.type == type)
			return &l;
	return nullptr;
}

uint32_t install_checked_size(const InstallLimit &limit, const ImageHeader &hdr)
{
	return limit.payload_only ? hdr.len : record_length(hdr);
}

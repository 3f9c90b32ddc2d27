// The launcher's slot extraction on arbitrary slot-file contents: the walk
// to the first application or diagnostics record (parse_image on the file),
// then what the extraction does with it: the record read whole when it
// fits, and its checksum check.  The walk must end, hand back a position
// that the record library's own walk reaches, and never let a record be
// read past the end of the file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "image/record.h"
#include "launch/extract.h"

namespace {

struct FileCloser {
	void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool bootable(uint32_t type)
{
	return type == TYPE_APPLICATION || type == TYPE_DIAGS;
}

// `at` must be reachable from the start through whole, usable records of
// other types.
void check_reached_by_walk(const std::vector<uint8_t> &file, uint64_t at)
{
	uint64_t off = 0;
	while (off < at) {
		WalkEntry e = walk_step(file.data() + off, file.size() - off);
		if (e.step != WalkStep::record || bootable(header_type(e.hdr)))
			abort();
		off += e.record_len;
	}
	if (off != at)
		abort();
}

bool same_header(const ImageHeader &a, const ImageHeader &b)
{
	return a.crc == b.crc && a.len == b.len && a.magic == b.magic && a.id == b.id &&
	       a.reserved == b.reserved && a.hdr_len == b.hdr_len;
}

// What the extraction does with the record found: read it whole when it
// fits what is left of the file, then check it.
void check_record_read(FILE *stream, const std::vector<uint8_t> &file, uint64_t at, const ImageHeader &hdr)
{
	if (record_state(hdr, file.size() - at) != RecordState::usable)
		return;
	uint32_t length = record_length(hdr);
	if (at + length > file.size() || length < BASIC_HEADER_LEN || header_length(hdr) > length)
		abort();
	std::vector<uint8_t> record(length);
	if (fread(record.data(), 1, length, stream) != length)
		abort();
	if (!std::equal(record.begin(), record.end(), file.begin() + (long)at))
		abort();
	bool intact = CheckCrc(record.data() + 4, length - 4, hdr.crc) == 0;
	if (intact != record_intact(file.data() + at, length))
		abort();
	// The payload handed to the archive lies inside the record.
	if ((uint64_t)header_length(hdr) + hdr.len != length)
		abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// Exactly `size` bytes, so that ASan sees any read past them.
	std::vector<uint8_t> file(data, data + size);
	int fd = memfd_create("slot", 0);
	if (fd < 0 || write(fd, data, size) != (ssize_t)size)
		abort();
	File stream(fdopen(fd, "rb"));
	if (!stream)
		abort();
	ImageHeader hdr{};
	int found = parse_image(stream.get(), &hdr);
	if (found == 0)
		return 0;
	if (found != 1)
		abort();
	off_t pos = ftello(stream.get());
	if (pos < 0 || (uint64_t)pos + IMAGE_HEADER_READ > size)
		abort();
	uint64_t at = (uint64_t)pos;
	check_reached_by_walk(file, at);
	if (!same_header(hdr, decode_header(file.data() + at)) || !bootable(header_type(hdr)))
		abort();
	check_record_read(stream.get(), file, at, hdr);
	return 0;
}

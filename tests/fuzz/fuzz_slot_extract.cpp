// The launcher's slot extraction on arbitrary slot-file contents: the walk
// to the first application or diagnostics record (parse_image), then the
// record's checksum check.  The walk must end where the record library's
// own walk reaches such a record, and the check agree with it.
#include <cstdio>
#include <memory>

#include "harness.h"
#include "image/record.h"
#include "launch/extract.h"

namespace {

bool bootable(uint32_t type)
{
	return type == TYPE_APPLICATION || type == TYPE_DIAGS;
}

// The offset of the first bootable record past whole usable records, or
// -1.  One cut short by the end of the file still counts: its check fails.
int64_t first_bootable(const Bytes &file)
{
	for (uint64_t off = 0;; off += walk_step(file.data() + off, file.size() - off).record_len) {
		WalkEntry e = walk_step(file.data() + off, file.size() - off);
		if (bootable(header_type(e.hdr)) && (e.step == WalkStep::record || e.state == RecordState::truncated))
			return (int64_t)off;
		if (e.step != WalkStep::record)
			return -1;
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Bytes file(data, data + size);
	int fd = memfd_create("slot", 0);
	if (fd < 0 || write(fd, data, size) != (ssize_t)size)
		abort();
	std::unique_ptr<FILE, int (*)(FILE *)> stream(fdopen(fd, "rb"), fclose);
	ImageHeader hdr{};
	int found = parse_image(stream.get(), &hdr);
	if (found != 0 && found != 1)
		abort();
	int64_t at = found ? (int64_t)ftello(stream.get()) : -1;
	if (at != first_bootable(file))
		abort();
	if (at < 0 || record_state(hdr, size - (uint64_t)at) != RecordState::usable)
		return 0;
	uint32_t length = record_length(hdr);
	bool intact = CheckCrc(file.data() + at + 4, length - 4, hdr.crc) == 0;
	if (decode_header(file.data() + at).crc != hdr.crc || intact != record_intact(file.data() + at, length))
		abort();
	return 0;
}

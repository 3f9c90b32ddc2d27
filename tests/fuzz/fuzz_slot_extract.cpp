// The launcher's slot extraction on arbitrary slot-file contents: the walk
// to the first application or diagnostics record (parse_image), then the
// record's checksum check.  The walk must end where the record library's
// own walk reaches such a record, and the check agree with it.
#include <memory>

#include "harness.h"
#include "launch/extract.h"

namespace {

// The offset of the first bootable record past whole usable records, or
// -1.  One cut short by the end of the file still counts: its check fails.
int64_t first_bootable(const Bytes &file)
{
	for (const Step &s : walk_all(file)) {
		uint32_t type = header_type(s.e.hdr);
		if ((type == TYPE_APPLICATION || type == TYPE_DIAGS) &&
		    (s.e.step == WalkStep::record || s.e.state == RecordState::truncated))
			return (int64_t)s.off;
	}
	return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Bytes file(data, data + size);
	std::unique_ptr<FILE, int (*)(FILE *)> stream(fdopen(memfd_of(data, size), "rb"), fclose);
	ImageHeader hdr{};
	int found = parse_image(stream.get(), &hdr);
	int64_t at = found ? (int64_t)ftello(stream.get()) : -1;
	if ((found != 0 && found != 1) || at != first_bootable(file))
		abort();
	if (at < 0 || record_state(hdr, size - (uint64_t)at) != RecordState::usable)
		return 0;
	uint32_t length = record_length(hdr);
	bool intact = CheckCrc(file.data() + at + 4, length - 4, hdr.crc) == 0;
	if (decode_header(file.data() + at).crc != hdr.crc || intact != record_intact(file.data() + at, length))
		abort();
	return 0;
}

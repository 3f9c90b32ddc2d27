// The launcher's slot extraction on arbitrary slot files: the walk to the first
// application or diagnostics record (parse_image), then its checksum check.
// The walk must end where the record library's walk reaches such a record (one
// cut short by the end of the file counts: its check fails), and the check
// agree with the library.
#include <memory>

#include "harness.h"
#include "launch/extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Bytes file(data, data + size);
	int64_t bootable = -1;
	for (const Step &s : walk_all(file))
		if (bootable < 0 && (header_type(s.e.hdr) == TYPE_APPLICATION || header_type(s.e.hdr) == TYPE_DIAGS) &&
		    (s.e.step == WalkStep::record || s.e.state == RecordState::truncated))
			bootable = (int64_t)s.off;
	std::unique_ptr<FILE, int (*)(FILE *)> stream(fdopen(memfd_of(data, size), "rb"), fclose);
	ImageHeader hdr{};
	int found = parse_image(stream.get(), &hdr);
	int64_t at = found ? (int64_t)ftello(stream.get()) : -1;
	must((found == 0 || found == 1) && at == bootable);
	if (at < 0 || record_state(hdr, size - (uint64_t)at) != RecordState::usable)
		return 0;
	uint32_t length = record_length(hdr);
	bool intact = CheckCrc(file.data() + at + 4, length - 4, hdr.crc) == 0;
	must(decode_header(file.data() + at).crc == hdr.crc && intact == record_intact(file.data() + at, length));
	return 0;
}

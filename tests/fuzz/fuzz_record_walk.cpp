// The record walk over arbitrary bytes: it must end, stay inside the data,
// and judge every record it hands out by its checksum without reading past it.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image/record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// A copy of exactly `size` bytes, so that ASan sees any read past it.
	std::vector<uint8_t> seq(data, data + size);
	uint64_t off = 0;
	size_t steps = 0;
	for (;;) {
		WalkEntry e = walk_step(seq.data() + off, seq.size() - off);
		if (++steps > size / BASIC_HEADER_LEN + 1)
			abort(); // the walk did not advance by a whole header per step
		if (e.step != WalkStep::record)
			break;
		if (e.record_len < BASIC_HEADER_LEN || off + e.record_len > size)
			abort();
		record_intact(seq.data() + off, e.record_len);
		off += e.record_len;
	}
	return 0;
}

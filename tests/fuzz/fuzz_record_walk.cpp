// The record walk over arbitrary bytes: it must end, stay inside the data,
// and judge each record by its checksum without reading past it.
#include <cstdlib>

#include "harness.h"
#include "image/record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Bytes seq(data, data + size); // exactly `size` bytes: ASan sees a read past them
	uint64_t off = 0;
	for (size_t steps = 1;; steps++) {
		WalkEntry e = walk_step(seq.data() + off, seq.size() - off);
		if (steps > size / BASIC_HEADER_LEN + 1)
			abort(); // a step that did not advance by a whole header
		if (e.step != WalkStep::record)
			return 0;
		if (e.record_len < BASIC_HEADER_LEN || off + e.record_len > size)
			abort();
		record_intact(seq.data() + off, e.record_len);
		off += e.record_len;
	}
}

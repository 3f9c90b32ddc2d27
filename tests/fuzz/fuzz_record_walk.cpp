// The record walk over arbitrary bytes: it must end, stay inside the data,
// and judge each record by its checksum without reading past it.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Bytes seq(data, data + size); // exactly `size` bytes: ASan sees a read past them
	for (const Step &s : walk_all(seq))
		intact(seq, s);
	return 0;
}

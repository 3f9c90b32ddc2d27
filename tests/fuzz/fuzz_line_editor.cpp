// The rescue console's line editor on arbitrary keys, then two Enters
// (enough to end any escape sequence and the line: the editor has no way
// out at the end of its input).  The first byte picks the buffer size.
// The editor must stay inside its buffer, end the line NUL-terminated with
// no control character in it, and read no key past the one that ended it.
#include "harness.h"
#include "rescue/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const size_t SIZES[] = {1, 2, 3, 16, 128};
	if (size == 0)
		return 0;
	std::string keys = std::string((const char *)data + 1, size - 1) + "\r\r";
	type_keys(keys);
	// Exactly the buffer's size, filled with non-NULs: ASan sees an access past it.
	Bytes line(SIZES[data[0] % 5], 'Z');
	char *p = (char *)line.data();
	must(get_user_input(p, (int)line.size()) == p && memchr(p, 0, line.size()) && read_to_a_line_end(keys));
	for (; *p; p++)
		must((unsigned char)*p >= 0x20);
	return 0;
}

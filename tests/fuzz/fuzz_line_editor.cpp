// The rescue console's line editor on arbitrary keys, then two Enters
// (enough to end any escape sequence and the line: the editor has no way
// out at the end of its input).  The first byte picks the buffer size.
// The editor must stay inside its buffer, end the line NUL-terminated with
// no control character in it, and read no key past the one that ended it.
#include <cstring>
#include <memory>

#include "harness.h"
#include "rescue/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const int SIZES[] = {1, 2, 3, 16, 128};
	if (size == 0)
		return 0;
	int bufsize = SIZES[data[0] % 5];
	std::string keys = std::string((const char *)data + 1, size - 1) + "\r\r";
	type_keys(keys);
	// Exactly `bufsize` bytes: ASan sees an access past them.
	std::unique_ptr<char[]> buf(new char[bufsize]);
	memset(buf.get(), 'Z', (size_t)bufsize);
	if (get_user_input(buf.get(), bufsize) != buf.get() || !memchr(buf.get(), 0, (size_t)bufsize))
		abort();
	for (const char *p = buf.get(); *p; p++)
		if ((unsigned char)*p < 0x20)
			abort();
	if (!read_to_a_line_end(keys))
		abort();
	return 0;
}

// The rescue console's line editor on arbitrary keys: standard input is a
// file holding the keys, then two Enters (enough to end any escape
// sequence and the line: the editor has no way out at the end of its
// input).  The first input byte picks the buffer size.  The editor must
// stay inside its buffer, end the line NUL-terminated, read no key past the
// line's end, and leave the same text as a plain model of the editing keys.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "keys.h"
#include "rescue/console.h"

namespace {

constexpr int SIZES[] = {1, 2, 3, 16, 128};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	keys_from_file();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	int bufsize = SIZES[data[0] % (sizeof SIZES / sizeof SIZES[0])];
	std::string keys((const char *)data + 1, size - 1);
	keys += "\r\r";
	type_keys(keys);

	// Exactly `bufsize` bytes, so that ASan sees any access past them.
	std::unique_ptr<char[]> buf(new char[bufsize]);
	memset(buf.get(), 'Z', (size_t)bufsize);
	if (get_user_input(buf.get(), bufsize) != buf.get())
		abort();

	size_t used = 0;
	bool ended;
	std::string line = next_line(keys, &used, (size_t)bufsize, &ended);
	if (!ended)
		abort(); // two Enters end any line
	if (!memchr(buf.get(), 0, (size_t)bufsize))
		abort();
	if (line != buf.get())
		abort();
	if (keys_read() != used)
		abort();
	return 0;
}

// The rescue console's line editor on arbitrary keys: standard input is a
// file holding the keys, then two Enters (enough to end any escape
// sequence and the line).  The first input byte picks the buffer size.
// The editor must stay inside its buffer, end the line NUL-terminated,
// read no key past the line's end, and leave the same text as a plain
// model of the editing keys.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "rescue/console.h"

namespace {

constexpr int SIZES[] = {1, 2, 3, 16, 128};

// The editing keys over a string: what the operator should get.
struct Model {
	std::string text;
	size_t cursor = 0;
	int escape = 0; // 0 none, 1 after ESC, 2 inside ESC [
	bool done = false;
	size_t capacity = 0;

	void remove_before()
	{
		if (cursor == 0)
			return;
		cursor--;
		text.erase(cursor, 1);
	}

	void plain(int key)
	{
		switch (key) {
		case '\r':
		case '\n':
		case 0x03:
			done = true;
			return;
		case 0x01:
			cursor = 0;
			return;
		case 0x02:
			if (cursor > 0)
				cursor--;
			return;
		case 0x06:
			if (cursor < text.size())
				cursor++;
			return;
		case 0x04:
			if (cursor < text.size())
				text.erase(cursor, 1);
			return;
		case 0x08:
		case 0x7F:
			remove_before();
			return;
		case 0x1B:
			escape = 1;
			return;
		}
		if (key < 0x20 || text.size() >= capacity)
			return;
		text.insert(cursor, 1, (char)key);
		cursor++;
	}

	void key(int k)
	{
		if (escape == 1) {
			escape = 0;
			if (k == '[')
				escape = 2;
			else if (k == 0x08 || k == 0x7F)
				remove_before();
			else
				plain(k);
		} else if (escape == 2) {
			if ((k >= '0' && k <= '9') || k == ';')
				return;
			escape = 0;
			if (k == 'C' && cursor < text.size())
				cursor++;
			else if (k == 'D' && cursor > 0)
				cursor--;
		} else {
			plain(k);
		}
	}
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// Keys come from a file on standard input; the echo goes nowhere.
	int keys = memfd_create("keys", 0);
	int null = open("/dev/null", O_WRONLY);
	if (keys < 0 || null < 0 || dup2(keys, 0) < 0 || dup2(null, 1) < 0)
		abort();
	close(keys);
	close(null);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	int bufsize = SIZES[data[0] % (sizeof SIZES / sizeof SIZES[0])];
	std::string keys((const char *)data + 1, size - 1);
	keys += "\r\r";
	if (ftruncate(0, 0) != 0 || pwrite(0, keys.data(), keys.size(), 0) != (ssize_t)keys.size() ||
	    lseek(0, 0, SEEK_SET) != 0)
		abort();

	// Exactly `bufsize` bytes, so that ASan sees any access past them.
	std::unique_ptr<char[]> buf(new char[bufsize]);
	memset(buf.get(), 'Z', (size_t)bufsize);
	if (get_user_input(buf.get(), bufsize) != buf.get())
		abort();
	fflush(stdout);

	Model model;
	model.capacity = (size_t)bufsize - 1;
	size_t used = 0;
	while (used < keys.size() && !model.done)
		model.key((unsigned char)keys[used++]);
	if (!model.done)
		abort(); // two Enters end any line
	if (!memchr(buf.get(), 0, (size_t)bufsize))
		abort();
	if (model.text != buf.get())
		abort();
	if (lseek(0, 0, SEEK_CUR) != (off_t)used)
		abort();
	return 0;
}

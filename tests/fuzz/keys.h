// Keys typed at the console, for the harnesses that type through the line
// editor: standard input made a file that holds them, and the editing keys
// modelled over a string (the line an operator should get).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

// Standard input becomes an empty file of its own (once, at start).
inline void keys_from_file()
{
	int keys = memfd_create("keys", 0);
	if (keys < 0 || dup2(keys, 0) < 0)
		abort();
	close(keys);
}

// The keys standard input holds from now on, read from the first.
inline void type_keys(const std::string &keys)
{
	if (ftruncate(0, 0) != 0 || pwrite(0, keys.data(), keys.size(), 0) != (ssize_t)keys.size() ||
	    lseek(0, 0, SEEK_SET) != 0)
		abort();
}

// How many keys have been read.
inline size_t keys_read()
{
	return (size_t)lseek(0, 0, SEEK_CUR);
}

struct LineModel {
	std::string text;
	size_t cursor = 0;
	int escape = 0; // 0 none, 1 after ESC, 2 inside ESC [
	bool done = false;
	size_t capacity = 0;

	explicit LineModel(size_t buffer_size) : capacity(buffer_size - 1) {}

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

// The line that `keys` from *used on give in a buffer of `buffer_size`
// bytes; *used moves past the key that ended it.  `ended` is false when the
// keys ran out first.
inline std::string next_line(const std::string &keys, size_t *used, size_t buffer_size, bool *ended)
{
	LineModel line(buffer_size);
	while (*used < keys.size() && !line.done)
		line.key((unsigned char)keys[(*used)++]);
	*ended = line.done;
	return line.text;
}

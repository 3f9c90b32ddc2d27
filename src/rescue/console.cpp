#include "rescue/console.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace {

// Escape states of the line editor.
constexpr int ESC_NONE = 0;
constexpr int ESC_SEEN = 1;    // an ESC byte has been read
constexpr int ESC_BRACKET = 2; // inside ESC '['

constexpr int KEY_BELL = 0x07;
constexpr int KEY_BS = 0x08;
constexpr int KEY_DEL = 0x7F;
constexpr int KEY_ESC = 0x1B;

int uartPutC(int ch)
{
	fputc(ch & 0xFF, stdout);
	return fflush(stdout);
}

// One call's editing state over the caller's buffer.
struct LineEditor {
	char *buf;
	int cursor;
	int free_count;
	int escape;
	bool done;

	int length() const { return (int)strlen(buf); }
};

void cursor_home(LineEditor *ed)
{
	for (; ed->cursor > 0; ed->cursor--)
		uartPutC('\b');
}

void cursor_left(LineEditor *ed)
{
	if (ed->cursor == 0)
		return;
	uartPutC('\b');
	ed->cursor--;
}

void cursor_right(LineEditor *ed)
{
	if (ed->cursor >= ed->length())
		return;
	uartPutC((unsigned char)ed->buf[ed->cursor]);
	ed->cursor++;
}

// Removes the character at the cursor and redraws the tail over it, then
// puts the terminal cursor back at the edit position.
void remove_at_cursor(LineEditor *ed)
{
	char *at = ed->buf + ed->cursor;
	int tail = (int)strlen(at + 1);
	memmove(at, at + 1, (size_t)tail + 1);
	for (int i = 0; i < tail; i++)
		uartPutC((unsigned char)at[i]);
	uartPutC(' ');
	for (int i = 0; i < tail + 1; i++)
		uartPutC('\b');
}

void delete_under_cursor(LineEditor *ed)
{
	if (ed->cursor >= ed->length())
		return;
	ed->free_count++;
	remove_at_cursor(ed);
}

void delete_before_cursor(LineEditor *ed)
{
	if (ed->cursor == 0)
		return;
	ed->cursor--;
	ed->free_count++;
	uartPutC('\b');
	remove_at_cursor(ed);
}

void insert_at_cursor(LineEditor *ed, int ch)
{
	if (ed->free_count <= 1) {
		uartPutC(KEY_BELL);
		return;
	}
	int len = ed->length();
	uartPutC(ch);
	for (int i = ed->cursor; i < len; i++)
		uartPutC((unsigned char)ed->buf[i]);
	for (int i = len; i > ed->cursor; i--) {
		ed->buf[i] = ed->buf[i - 1];
		uartPutC('\b');
	}
	ed->buf[ed->cursor] = (char)ch;
	ed->cursor++;
	ed->free_count--;
}

void handle_plain_key(LineEditor *ed, int key)
{
	switch (key) {
	case '\r':
	case '\n':
		uartPutC('\n');
		ed->done = true;
		return;
	case 0x03:
		puts(" <break>");
		ed->done = true;
		return;
	case 0x01:
		cursor_home(ed);
		return;
	case 0x02:
		cursor_left(ed);
		return;
	case 0x06:
		cursor_right(ed);
		return;
	case 0x04:
		delete_under_cursor(ed);
		return;
	case KEY_BS:
	case KEY_DEL:
		delete_before_cursor(ed);
		return;
	case KEY_ESC:
		ed->escape = ESC_SEEN;
		return;
	}
	if (key < 0x20)
		uartPutC(KEY_BELL);
	else
		insert_at_cursor(ed, key);
}

void handle_after_esc(LineEditor *ed, int key)
{
	ed->escape = ESC_NONE;
	if (key == '[') {
		ed->escape = ESC_BRACKET;
	} else if (key == KEY_BS || key == KEY_DEL) {
		delete_before_cursor(ed);
	} else {
		handle_plain_key(ed, key);
	}
}

void handle_in_sequence(LineEditor *ed, int key)
{
	if (isdigit(key) || key == ';')
		return;
	ed->escape = ESC_NONE;
	if (key == 'C')
		cursor_right(ed);
	else if (key == 'D')
		cursor_left(ed);
}

} // namespace

int uartGetC()
{
	unsigned char key = 0;
	struct termios saved;
	tcgetattr(0, &saved);
	struct termios raw = saved;
	raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
	raw.c_cc[VMIN] = 1;
	raw.c_cc[VTIME] = 0;
	tcsetattr(0, TCSANOW, &raw);
	if (read(0, &key, 1) != 1)
		key = 0;
	tcsetattr(0, TCSANOW, &saved);
	return key;
}

char *get_user_input(char *buf, int size)
{
	if (size > 0)
		memset(buf, 0, (size_t)size);
	LineEditor ed = {buf, 0, size, ESC_NONE, false};
	while (!ed.done) {
		int key = uartGetC();
		if (ed.escape == ESC_SEEN)
			handle_after_esc(&ed, key);
		else if (ed.escape == ESC_BRACKET)
			handle_in_sequence(&ed, key);
		else
			handle_plain_key(&ed, key);
	}
	return buf;
}

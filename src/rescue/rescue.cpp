#include "rescue/rescue.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>

#include "image/image.h"
#include "launch/launch.h"
#include "launch/services.h"

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

void print_menu()
{
	puts("Please select one of the following options:");
	printf("\t%c) Configure networking and tftp download an image\n", 'T');
	printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
	printf("\t%c) Reboot\n", 'R');
	printf("\t%c) Exit\n", 'E');
}

// Prompts until a key that names an operation is typed.  U is not one: it
// has no operation, so it gets the same answer as any other unknown key.
int read_option()
{
	for (;;) {
		printf("\nOption? : ");
		fflush(stdout);
		int key = uartGetC();
		printf("%c\n", key);
		if (sig_quit_raised) {
			sig_quit_raised = 0;
			continue;
		}
		if (key == 0)
			continue;
		key = toupper(key);
		if (strchr("TXHRDE", key))
			return key;
		printf("unknown option \"%c\". Please try again\n", key);
	}
}

// What cannot be read shows as version 0.0.0.0.
void print_version(const char *format, uint32_t type, int slot)
{
	uint8_t header[16];
	ignore_result(read_flash_image_header(type, header, slot));
	uint32_t id = load_be32(header + 12);
	printf(format, (int)(id >> 24), (int)(id >> 16 & 0xFF), (int)(id >> 8 & 0xFF), (int)(id & 0xFF));
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

int run_rescue_mode()
{
	puts("Entering Rescue Mode.");
	for (;;) {
		print_menu();
		switch (read_option()) {
		// The downloads say themselves how they went.
		case 'T':
			ignore_result(run_tftp_rescue());
			break;
		case 'X':
			ignore_result(run_xmodem_rescue());
			break;
		case 'R':
			sleep(1);
			board_reset();
		case 'E':
			return 1;
		case 'D':
			ignore_result(run_standalone_diags());
			break;
		case 'H':
			ignore_result(run_image_display());
			break;
		}
		if (sig_quit_raised)
			sig_quit_raised = 0;
	}
}

int run_image_display()
{
	puts("Installed images versions: ");
	print_version("\tBoot image  : %d.%d.%d.%d\n", TYPE_UBOOT, 0);
	print_version("\tRFS image   : %d.%d.%d.%d\n", TYPE_RFS, 0);
	print_version("\tKernel image: %d.%d.%d.%d\n", TYPE_KERNEL, 0);
	print_version("\tDFT image   : %d.%d.%d.%d\n", TYPE_DFT, 0);
	print_version("\tOS image 1  : %d.%d.%d.%d\n", TYPE_APPLICATION, 1);
	print_version("\tOS image 2  : %d.%d.%d.%d\n", TYPE_APPLICATION, 2);
	return 0;
}

int run_standalone_diags()
{
	printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
	fflush(stdout);
	int key = uartGetC();
	putchar('\n');
	if (key != 0 && toupper(key) == 'Y') {
		// Each step's failure shows in the next one, or in a boot that finds
		// no slot files.
		puts("unmount filesystem");
		ignore_result(run_command("/bin/umount /user &> /dev/null"));
		puts("\nErasing filesystem for clean install");
		ignore_result(run_command("flash_eraseall /dev/mtd-user-char"));
		puts("Mounting...");
		ignore_result(run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null"));
		puts("creating default filesystem");
		ignore_result(make_images_dir());
	}
	puts("Booting diags image...");
	fflush(stdout);
	ignore_result(extract_image_from_flash());
	return 1;
}

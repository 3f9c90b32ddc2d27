// The XMODEM-1K receiver against a sender that the fuzz input scripts.
//
// The receiver opens /dev/ttyS0 as on the board.  Inside a virtual board
// that is the console, whose far end the board runner holds; the harness
// must be the far end itself, so it shows the receiver a pseudo-terminal
// of its own under that name (the one path it changes, at the open).  Time
// is virtual for the receiver: its sleeps return at once, and each one is
// a turn of the peers around it.  A poll's short sleep is the sender's
// turn: when the receiver has said something since the last turn (its
// 'C', ACK, NAK or CAN), the sender answers with the next piece of the
// script (two bytes of length, big-endian, then that many bytes), or with
// CAN CAN once the script is spent; otherwise it stays silent and the
// receiver's time-outs run out poll by poll.  A one-second sleep is the
// operator waiting for Enter: the operator presses it.  Every run is so
// the same sequence of system calls, whatever the machine's load.
//
// The receiver must end, stay inside its buffers, and report exactly the
// bytes it wrote: whole blocks the sender sent.  A clean transfer (below)
// must arrive whole.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "files.h"
#include "sleeps.h"
#include "xmodem/xmodem.h"

namespace {

constexpr const char *OUTPUT = "/tmp/received";
constexpr unsigned char SOH = 0x01;
constexpr unsigned char STX = 0x02;
constexpr unsigned char EOT = 0x04;
constexpr unsigned char CAN = 0x18;

int master = -1;
int slave = -1; // kept open so that the line lives between transfers
const char *slave_path;
struct termios line_defaults;

const uint8_t *script;
size_t script_size;
size_t script_pos;
unsigned long heard;    // bytes the receiver has sent
unsigned long answered; // of those, the ones the sender has answered
size_t data_sent;       // bytes the sender has put on the line

void send(const uint8_t *bytes, size_t n)
{
	while (n > 0) {
		ssize_t w = write(master, bytes, n);
		if (w <= 0)
			return; // the line is full: the rest is lost, as on a wire
		bytes += w;
		n -= (size_t)w;
		data_sent += (size_t)w;
	}
}

void drain_master()
{
	uint8_t in[256];
	ssize_t n;
	while ((n = read(master, in, sizeof in)) > 0)
		heard += (unsigned long)n;
}

void sender_turn()
{
	drain_master();
	if (heard == answered)
		return;
	answered = heard;
	if (script_pos + 2 > script_size) {
		static const uint8_t give_up[] = {CAN, CAN};
		send(give_up, sizeof give_up);
		script_pos = script_size;
		return;
	}
	size_t length = (size_t)script[script_pos] << 8 | script[script_pos + 1];
	script_pos += 2;
	if (length > script_size - script_pos)
		length = script_size - script_pos;
	send(script + script_pos, length);
	script_pos += length;
}

void operator_presses_enter()
{
	static const uint8_t enter[] = {'\r', '\n'};
	if (write(master, enter, sizeof enter) != (ssize_t)sizeof enter)
		abort();
}

void open_line()
{
	master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
		abort();
	const char *name = ptsname(master);
	if (!name)
		abort();
	slave_path = strdup(name);
	slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (slave < 0 || tcgetattr(slave, &line_defaults) != 0)
		abort();
}

void reset_line()
{
	tcsetattr(slave, TCSANOW, &line_defaults);
	tcflush(slave, TCIOFLUSH);
	drain_master();
	heard = answered = 0;
	data_sent = 0;
}

// CRC-16/XMODEM, bit by bit.
unsigned crc16(const uint8_t *p, size_t n)
{
	unsigned crc = 0;
	for (size_t i = 0; i < n; i++) {
		crc ^= (unsigned)p[i] << 8;
		for (int bit = 0; bit < 8; bit++)
			crc = (crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1) & 0xFFFF;
	}
	return crc;
}

// The number of a piece that is one whole block, or -1.
int block_number(const uint8_t *p, size_t n, bool intact)
{
	size_t data = n == 133 ? 128 : n == 1029 ? 1024 : 0;
	if (data == 0 || p[0] != (data == 128 ? SOH : STX) || p[1] + p[2] != 255)
		return -1;
	if (intact && crc16(p + 3, data) != (unsigned)(p[3 + data] << 8 | p[4 + data]))
		return -1;
	return p[1];
}

// A clean transfer: any number of blocks 0 (as a YMODEM sender opens, with
// any data), then blocks 1, 2, ... each whole and intact in a piece of its
// own, then EOT twice.  Its file is the data of blocks 1, 2, ...; false
// for any other script.
bool clean_transfer(Bytes *file)
{
	unsigned next = 1, eots = 0;
	size_t pos = 0;
	while (pos + 2 <= script_size) {
		size_t n = (size_t)script[pos] << 8 | script[pos + 1];
		const uint8_t *p = script + pos + 2;
		if (n > script_size - pos - 2)
			return false;
		pos += 2 + n;
		if (n == 1 && p[0] == EOT) {
			eots++;
			continue;
		}
		if (eots > 0)
			return false;
		if (next == 1 && block_number(p, n, false) == 0)
			continue;
		if (block_number(p, n, true) != (int)(next & 0xFF))
			return false;
		next++;
		file->insert(file->end(), p + 3, p + n - 2);
	}
	return pos == script_size && eots == 2;
}

} // namespace

// A poll's short wait is the sender's turn; a second's wait is the operator
// waiting for Enter: the operator presses it.
void virtual_usleep(useconds_t)
{
	sender_turn();
}

void virtual_sleep(unsigned int)
{
	operator_presses_enter();
}

// The receiver's /dev/ttyS0 is the harness's line; every other path is
// opened as it would be.
extern "C" int open(const char *path, int flags, ...)
{
	using Open = int (*)(const char *, int, ...);
	static Open next = (Open)dlsym(RTLD_NEXT, "open");
	mode_t mode = 0;
	if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
		va_list ap;
		va_start(ap, flags);
		mode = (mode_t)va_arg(ap, int);
		va_end(ap);
	}
	if (slave_path && strcmp(path, "/dev/ttyS0") == 0)
		path = slave_path;
	return next(path, flags, mode);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	open_line();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	reset_line();
	unlink(OUTPUT);
	script = data;
	script_size = size;
	script_pos = 0;

	begin_virtual_time();
	int total = Xmodem1K(OUTPUT);
	end_virtual_time();
	fflush(stdout);

	if (total < 0)
		abort(); // the line and the file were there
	Bytes file;
	if (!read_file(OUTPUT, &file))
		abort(); // the receiver made it
	if (total > 0 && file.size() != (size_t)total)
		abort(); // the count is not what reached the file
	if (total % 128 != 0)
		abort(); // only whole blocks are kept
	if ((size_t)total > data_sent)
		abort(); // more than was ever sent
	Bytes sent;
	if (clean_transfer(&sent) && (file != sent || (size_t)total != sent.size()))
		abort(); // a clean transfer got lost
	return 0;
}

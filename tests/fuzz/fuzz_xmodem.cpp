// The XMODEM-1K receiver on /dev/ttyS0, which the harness turns into a
// pseudo-terminal whose far end is a sender that the input scripts: pieces
// of two bytes of length (big-endian) and that many bytes.  Time is virtual:
// a poll's short sleep is the sender's turn (the next piece, if the receiver
// has said something since; CAN CAN once the script is spent), a one-second
// sleep the operator pressing Enter; so every run is the same, whatever the
// load.  The receiver must end, stay inside its buffers, and report exactly
// the bytes it wrote, in whole blocks sent; a clean transfer arrives whole.
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>

#include "harness.h"
#include "xmodem/xmodem.h"

namespace {

int master = -1, slave = -1; // the slave kept open so that the line lives between transfers
const char *slave_path;
struct termios line_defaults;
const uint8_t *script;
size_t script_size, script_pos, data_sent; // data_sent: bytes the sender put on the line
unsigned long heard, answered;             // bytes the receiver has sent; of those, the ones answered

void drain_master()
{
	uint8_t in[256];
	for (ssize_t n; (n = read(master, in, sizeof in)) > 0;)
		heard += (unsigned long)n;
}

void sender_turn(useconds_t)
{
	drain_master();
	if (heard == answered)
		return;
	answered = heard;
	static const uint8_t give_up[] = {0x18, 0x18};
	const uint8_t *piece = give_up;
	size_t n = sizeof give_up;
	if (script_pos + 2 <= script_size) {
		piece = script + script_pos + 2;
		n = std::min((size_t)script[script_pos] << 8 | script[script_pos + 1], script_size - script_pos - 2);
	}
	script_pos = std::min(script_pos + 2 + n, script_size);
	for (ssize_t w; n > 0 && (w = write(master, piece, n)) > 0; piece += w, n -= (size_t)w)
		data_sent += (size_t)w; // a full line loses the rest, as a wire would
}

// A clean script: any blocks 0 (as a YMODEM sender opens), then blocks 1, 2, ...
// each whole and intact in a piece, then EOT twice; its file is their data.
bool clean_transfer(Bytes *file)
{
	unsigned next = 1, eots = 0;
	for (size_t pos = 0, n; pos < script_size; pos += 2 + n) {
		n = pos + 2 <= script_size ? (size_t)script[pos] << 8 | script[pos + 1] : SIZE_MAX;
		const uint8_t *p = script + pos + 2;
		size_t data = n == 133 ? 128 : n == 1029 ? 1024 : 0;
		if (n == 1 && pos + 3 <= script_size && p[0] == 0x04 && ++eots)
			continue;
		if (n > script_size - pos - 2 || eots > 0 || data == 0 || p[0] != (data == 128 ? 1 : 2) || p[1] + p[2] != 255)
			return false;
		if (next == 1 && p[1] == 0)
			continue;
		unsigned crc = 0; // CRC-16/XMODEM a bit at a time: the receiver's table is held to it
		for (size_t i = 0; i < data * 8; i++)
			crc = ((crc << 1) ^ ((crc >> 15 ^ p[3 + i / 8] >> (7 - i % 8)) & 1 ? 0x1021 : 0)) & 0xFFFF;
		if (p[1] != (next++ & 0xFF) || crc != (unsigned)(p[3 + data] << 8 | p[4 + data]))
			return false;
		file->insert(file->end(), p + 3, p + 3 + data);
	}
	return eots == 2;
}

} // namespace

// The receiver's /dev/ttyS0 is the harness's line.
extern "C" int open(const char *path, int flags, ...)
{
	static auto next = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
	va_list ap;
	va_start(ap, flags);
	mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
	va_end(ap);
	return next(slave_path && strcmp(path, "/dev/ttyS0") == 0 ? slave_path : path, flags, mode);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
	must(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 && ptsname(master));
	slave_path = strdup(ptsname(master));
	slave = open(slave_path, O_RDWR | O_NOCTTY | O_NONBLOCK);
	must(slave >= 0 && tcgetattr(slave, &line_defaults) == 0);
	on_usleep = sender_turn;
	on_sleep = [](unsigned int) { must(write(master, "\r\n", 2) == 2); };
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const char *output = "/tmp/received";
	tcsetattr(slave, TCSANOW, &line_defaults);
	tcflush(slave, TCIOFLUSH);
	drain_master();
	heard = answered = data_sent = script_pos = 0;
	script = data;
	script_size = size;
	unlink(output);
	int total = Xmodem1K(output);
	fflush(stdout);
	Bytes file, sent;
	must(total >= 0 && read_file(output, &file)); // the line and the file were there
	// The count is what reached the file, in whole blocks sent.
	must((total == 0 || file.size() == (size_t)total) && total % 128 == 0 && (size_t)total <= data_sent);
	must(!clean_transfer(&sent) || (file == sent && (size_t)total == sent.size())); // arrived whole, and said so
	return 0;
}

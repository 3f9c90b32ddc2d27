// The XMODEM-1K receiver against a sender that the fuzz input scripts.
//
// The receiver opens /dev/ttyS0 as on the board; in the harness's private
// root that is the slave side of a pseudo-terminal whose master side the
// harness holds.  Time is virtual for the receiver: its sleeps return at
// once, and each one is a turn of the peers around it.  A poll's short
// sleep is the sender's turn: when the receiver has said something since
// the last turn (its 'C', ACK, NAK or CAN), the sender answers with the
// next piece of the script (two bytes of length, big-endian, then that
// many bytes), or with CAN CAN once the script is spent; otherwise it stays
// silent and the receiver's time-outs run out poll by poll.  A one-second
// sleep is the operator waiting for Enter: the operator presses it.  Every
// run is so the same sequence of system calls, whatever the machine's load.
//
// The receiver must end, stay inside its buffers, and report exactly the
// bytes it wrote: whole blocks the sender sent.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sandbox.h"
#include "xmodem/xmodem.h"

namespace {

constexpr const char *OUTPUT = "/tmp/received";
constexpr unsigned char CAN = 0x18;

int master = -1;
int slave = -1; // kept open so that the line lives between transfers
struct termios line_defaults;

// Set only on the fuzzing thread, only during a transfer: the fuzzer's own
// threads sleep for real.
thread_local bool virtual_time;

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

void real_sleep(time_t seconds, long nanoseconds)
{
	struct timespec t = {seconds, nanoseconds};
	while (nanosleep(&t, &t) != 0 && errno == EINTR)
		;
}

void open_line()
{
	master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
		abort();
	const char *name = ptsname(master);
	if (!name)
		abort();
	slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (slave < 0 || tcgetattr(slave, &line_defaults) != 0)
		abort();
	bind_device(name, "/dev/ttyS0");
}

void reset_line()
{
	tcsetattr(slave, TCSANOW, &line_defaults);
	tcflush(slave, TCIOFLUSH);
	drain_master();
	heard = answered = 0;
	data_sent = 0;
}

off_t output_size()
{
	struct stat st;
	return stat(OUTPUT, &st) == 0 ? st.st_size : -1;
}

} // namespace

extern "C" int usleep(useconds_t us)
{
	if (virtual_time) {
		sender_turn();
		return 0;
	}
	real_sleep(us / 1000000, (long)(us % 1000000) * 1000);
	return 0;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
	if (virtual_time) {
		operator_presses_enter();
		return 0;
	}
	real_sleep(seconds, 0);
	return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	enter_private_root();
	open_line();
	silence_stdout();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	reset_line();
	unlink(OUTPUT);
	script = data;
	script_size = size;
	script_pos = 0;

	virtual_time = true;
	int total = Xmodem1K(OUTPUT);
	virtual_time = false;
	fflush(stdout);

	if (total < 0)
		abort(); // the line and the file were there
	if (total > 0) {
		if (output_size() != total)
			abort(); // the count is not what reached the file
		if (total % 128 != 0)
			abort(); // only whole blocks are kept
		if ((size_t)total > data_sent)
			abort(); // more than was ever sent
	}
	return 0;
}

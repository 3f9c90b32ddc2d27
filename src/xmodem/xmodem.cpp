#include "xmodem/xmodem.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "launch/services.h"

struct termios oldtty;

// CRC-16 with polynomial 0x1021, one entry per byte value.
const unsigned short crctab[256] = {
	0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50a5, 0x60c6, 0x70e7,
	0x8108, 0x9129, 0xa14a, 0xb16b, 0xc18c, 0xd1ad, 0xe1ce, 0xf1ef,
	0x1231, 0x0210, 0x3273, 0x2252, 0x52b5, 0x4294, 0x72f7, 0x62d6,
	0x9339, 0x8318, 0xb37b, 0xa35a, 0xd3bd, 0xc39c, 0xf3ff, 0xe3de,
	0x2462, 0x3443, 0x0420, 0x1401, 0x64e6, 0x74c7, 0x44a4, 0x5485,
	0xa56a, 0xb54b, 0x8528, 0x9509, 0xe5ee, 0xf5cf, 0xc5ac, 0xd58d,
	0x3653, 0x2672, 0x1611, 0x0630, 0x76d7, 0x66f6, 0x5695, 0x46b4,
	0xb75b, 0xa77a, 0x9719, 0x8738, 0xf7df, 0xe7fe, 0xd79d, 0xc7bc,
	0x48c4, 0x58e5, 0x6886, 0x78a7, 0x0840, 0x1861, 0x2802, 0x3823,
	0xc9cc, 0xd9ed, 0xe98e, 0xf9af, 0x8948, 0x9969, 0xa90a, 0xb92b,
	0x5af5, 0x4ad4, 0x7ab7, 0x6a96, 0x1a71, 0x0a50, 0x3a33, 0x2a12,
	0xdbfd, 0xcbdc, 0xfbbf, 0xeb9e, 0x9b79, 0x8b58, 0xbb3b, 0xab1a,
	0x6ca6, 0x7c87, 0x4ce4, 0x5cc5, 0x2c22, 0x3c03, 0x0c60, 0x1c41,
	0xedae, 0xfd8f, 0xcdec, 0xddcd, 0xad2a, 0xbd0b, 0x8d68, 0x9d49,
	0x7e97, 0x6eb6, 0x5ed5, 0x4ef4, 0x3e13, 0x2e32, 0x1e51, 0x0e70,
	0xff9f, 0xefbe, 0xdfdd, 0xcffc, 0xbf1b, 0xaf3a, 0x9f59, 0x8f78,
	0x9188, 0x81a9, 0xb1ca, 0xa1eb, 0xd10c, 0xc12d, 0xf14e, 0xe16f,
	0x1080, 0x00a1, 0x30c2, 0x20e3, 0x5004, 0x4025, 0x7046, 0x6067,
	0x83b9, 0x9398, 0xa3fb, 0xb3da, 0xc33d, 0xd31c, 0xe37f, 0xf35e,
	0x02b1, 0x1290, 0x22f3, 0x32d2, 0x4235, 0x5214, 0x6277, 0x7256,
	0xb5ea, 0xa5cb, 0x95a8, 0x8589, 0xf56e, 0xe54f, 0xd52c, 0xc50d,
	0x34e2, 0x24c3, 0x14a0, 0x0481, 0x7466, 0x6447, 0x5424, 0x4405,
	0xa7db, 0xb7fa, 0x8799, 0x97b8, 0xe75f, 0xf77e, 0xc71d, 0xd73c,
	0x26d3, 0x36f2, 0x0691, 0x16b0, 0x6657, 0x7676, 0x4615, 0x5634,
	0xd94c, 0xc96d, 0xf90e, 0xe92f, 0x99c8, 0x89e9, 0xb98a, 0xa9ab,
	0x5844, 0x4865, 0x7806, 0x6827, 0x18c0, 0x08e1, 0x3882, 0x28a3,
	0xcb7d, 0xdb5c, 0xeb3f, 0xfb1e, 0x8bf9, 0x9bd8, 0xabbb, 0xbb9a,
	0x4a75, 0x5a54, 0x6a37, 0x7a16, 0x0af1, 0x1ad0, 0x2ab3, 0x3a92,
	0xfd2e, 0xed0f, 0xdd6c, 0xcd4d, 0xbdaa, 0xad8b, 0x9de8, 0x8dc9,
	0x7c26, 0x6c07, 0x5c64, 0x4c45, 0x3ca2, 0x2c83, 0x1ce0, 0x0cc1,
	0xef1f, 0xff3e, 0xcf5d, 0xdf7c, 0xaf9b, 0xbfba, 0x8fd9, 0x9ff8,
	0x6e17, 0x7e36, 0x4e55, 0x5e74, 0x2e93, 0x3eb2, 0x0ed1, 0x1ef0,
};

namespace {

constexpr unsigned char SOH = 0x01;
constexpr unsigned char STX = 0x02;
constexpr unsigned char EOT = 0x04;
constexpr unsigned char ACK = 0x06;
constexpr unsigned char NAK = 0x15;
constexpr unsigned char CAN = 0x18;
constexpr unsigned char CRC_MODE = 'C';

// Bits of errorflag: what went wrong in the current step.
constexpr int ERR_AFTER_EOT = 0x001;
constexpr int ERR_NO_HEADER = 0x002;
constexpr int ERR_CANCEL_NOISE = 0x004;
constexpr int ERR_CRC = 0x008;
constexpr int ERR_NO_DATA = 0x010;
constexpr int ERR_BLOCK_ZERO = 0x020;
constexpr int ERR_SEQUENCE = 0x040;
constexpr int ERR_COMPLEMENT = 0x080;
constexpr int ERR_EARLY_ACK = 0x100;

// A header wait that ran out.
constexpr int TIMED_OUT = -1;

// Errors after the start that cancel the transfer.
constexpr int MAX_RETRIES = 3;

int errorflag;
unsigned char buffer[1024];

// State of one transfer.
struct Receive {
	int fd;
	FILE *out;
	int header_timeout = 1;
	bool started = false;
	unsigned char last = 0;
	int retries = 0;
	int total = 0;
	bool cancel = false;
	bool end_of_file = false;
};

int putByte(unsigned char b, int fd)
{
	return (int)write(fd, &b, 1);
}

int getByte(int seconds, unsigned char *b, int fd)
{
	for (long polls = (long)seconds * 1000; polls > 0; polls--) {
		unsigned char c;
		if (read(fd, &c, 1) == 1) {
			*b = c;
			return 1;
		}
		usleep(1000);
	}
	return -1;
}

void flushRX(int fd)
{
	unsigned char c;
	while (read(fd, &c, 1) > 0)
		;
}

// Reads and drops bytes until the line has been quiet for `seconds`.
void purge(int fd, int seconds)
{
	unsigned char c;
	while (getByte(seconds, &c, fd) == 1)
		;
}

unsigned short crc_update(unsigned short crc, unsigned char b)
{
	return (unsigned short)((crc << 8) ^ crctab[((crc >> 8) ^ b) & 0xff]);
}

int readData(unsigned char *dst, int count, unsigned short *crc, int fd)
{
	unsigned short sum = 0;
	int got = 0;
	while (got < count) {
		int pass = 0;
		while (got + pass < count && getByte(1, dst + got + pass, fd) == 1)
			pass++;
		if (pass == 0)
			break;
		for (int i = 0; i < pass; i++)
			sum = crc_update(sum, dst[got + i]);
		got += pass;
	}
	*crc = sum;
	return got;
}

// Skips noise until a byte that means something at this point arrives.
int wait_header(Receive &r)
{
	unsigned char b;
	for (;;) {
		if (getByte(r.header_timeout, &b, r.fd) != 1)
			return TIMED_OUT;
		if (b == SOH || b == STX || b == EOT)
			return b;
		if (!r.started && (b == ACK || b == CAN))
			return b;
	}
}

// The sender's EOT is answered with NAK; a second EOT or silence confirms it.
void handle_eot(Receive &r)
{
	unsigned char b;
	fputs("EOT\n", stderr);
	flushRX(r.fd);
	putByte(NAK, r.fd);
	if (getByte(5, &b, r.fd) != 1 || b == EOT) {
		r.end_of_file = true;
		return;
	}
	if (b == SOH || b == STX)
		return;
	if (!r.started && (b == ACK || b == CAN))
		return;
	errorflag |= ERR_AFTER_EOT;
}

// Two CAN bytes before the first block: the sender gave up, and so do we.
void handle_cancel_request(Receive &r)
{
	unsigned char b;
	fputs("CAN\n", stderr);
	if (getByte(3, &b, r.fd) == 1 && (b & 0x7f) == CAN)
		r.cancel = true;
	else
		errorflag |= ERR_CANCEL_NOISE;
}

void accept_block(Receive &r, unsigned char number, int length)
{
	r.retries = 0;
	r.total += length;
	r.started = true;
	r.last = number;
	// Not checked: a block the file did not take still counts in the total.
	ignore_result(fwrite(buffer, 1, (size_t)length, r.out));
	flushRX(r.fd);
	putByte(ACK, r.fd);
}

void receive_data(Receive &r, unsigned char number, int size)
{
	unsigned short crc;
	unsigned char hi, lo;
	int length = readData(buffer, size, &crc, r.fd);
	if (length == 0) {
		errorflag |= ERR_NO_DATA;
		return;
	}
	if (getByte(3, &hi, r.fd) != 1 || getByte(3, &lo, r.fd) != 1) {
		errorflag |= ERR_NO_DATA;
		return;
	}
	if (hi * 256 + lo != crc) {
		errorflag |= ERR_CRC;
		return;
	}
	accept_block(r, number, length);
}

void receive_block(Receive &r, unsigned char header)
{
	int size = header == SOH ? 128 : 1024;
	unsigned char number, complement;

	if (!r.started) {
		r.header_timeout = 5;
		r.retries = 0;
	}
	if (getByte(3, &number, r.fd) != 1 || getByte(3, &complement, r.fd) != 1) {
		errorflag |= ERR_NO_DATA;
		return;
	}
	if (number + complement != 255) {
		errorflag |= ERR_COMPLEMENT;
	} else if (number == (unsigned char)(r.last + 1)) {
		receive_data(r, number, size);
	} else if (number == 0 && !r.started) {
		errorflag |= ERR_BLOCK_ZERO;
	} else if (number == r.last) {
		// Our ACK of it was lost: confirm again, keep nothing.
		flushRX(r.fd);
		purge(r.fd, 1);
		putByte(ACK, r.fd);
	} else {
		errorflag |= ERR_SEQUENCE;
		r.cancel = true;
	}
}

// Errors found inside a block, whose remaining bytes may still be arriving.
constexpr int ERR_IN_BLOCK = ERR_CRC | ERR_NO_DATA | ERR_BLOCK_ZERO | ERR_COMPLEMENT;

void handle_error(Receive &r)
{
	if (!r.started) {
		// The rest of a refused block is data: read as headers, its bytes
		// would pass for SOH, EOT or CAN.  Let the line fall quiet first.
		if (errorflag & ERR_IN_BLOCK) {
			flushRX(r.fd);
			purge(r.fd, 1);
		}
		putByte(CRC_MODE, r.fd);
		return;
	}
	if (++r.retries >= MAX_RETRIES) {
		r.cancel = true;
		return;
	}
	flushRX(r.fd);
	purge(r.fd, 2);
	putByte(NAK, r.fd);
}

void receive_step(Receive &r)
{
	errorflag = 0;
	int header = wait_header(r);
	switch (header) {
	case TIMED_OUT:
		errorflag |= ERR_NO_HEADER;
		break;
	case EOT:
		handle_eot(r);
		break;
	case CAN:
		handle_cancel_request(r);
		break;
	case ACK:
		errorflag |= ERR_EARLY_ACK;
		break;
	default:
		receive_block(r, (unsigned char)header);
		break;
	}
	if (errorflag != 0 && !r.cancel)
		handle_error(r);
}

void send_cancel(int fd)
{
	for (int i = 0; i < 5; i++)
		putByte(CAN, fd);
	flushRX(fd);
	purge(fd, 2);
}

// Waits, one poll a second, for `key`; a reminder every eleventh poll.
int wait_for_key(int fd, unsigned char key, const char *reminder)
{
	int polls = 0;
	for (;;) {
		unsigned char c;
		ssize_t n = read(fd, &c, 1);
		if (n == 1 && c == key)
			return (int)n;
		sleep(1);
		if (polls == 10) {
			polls = 0;
			puts(reminder);
			fflush(stdout);
		} else {
			polls++;
		}
	}
}

// Lets everything written go out at the current speed and drops what came
// in.  Only input is flushed: once tcdrain returns a UART has nothing left
// to send, but on a pseudo-terminal or a USB adapter it may return while
// the far side has not read everything yet, and an output flush would
// throw away the operator's instructions or our last ACK.
void drain_line(int fd)
{
	tcdrain(fd);
	tcflush(fd, TCIFLUSH);
}

// The line back at its old settings once the operator has pressed Enter,
// which is all reset_serial waits for, then closed.
void release_line(int fd)
{
	ignore_result(reset_serial(fd));
	close(fd);
}

} // namespace

int init_serial()
{
	// The receiver run meanwhile has the line as its console already.
	int fd = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		perror("Can't open serial port!");
		return -1;
	}
	puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
	puts("       before initiating the download.");
	fflush(stdout);
	drain_line(fd);
	tcgetattr(fd, &oldtty);

	struct termios tty = oldtty;
	cfsetispeed(&tty, B115200);
	cfsetospeed(&tty, B115200);
	tty.c_cflag &= ~(tcflag_t)(PARENB | CSTOPB | CSIZE);
	tty.c_cflag |= CS8;
	tty.c_iflag = IGNBRK;
	tty.c_oflag = 0;
	tty.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHOE | ISIG);
	tcsetattr(fd, TCSADRAIN, &tty);
	tcflow(fd, TCOON);

	// Raw mode: the Enter key arrives as CR.
	wait_for_key(fd, 0x0D, "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r");
	return fd;
}

int reset_serial(int fd)
{
	puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
	fflush(stdout);
	drain_line(fd);
	tcsetattr(fd, TCSADRAIN, &oldtty);
	tcflow(fd, TCOON);
	// The console's own input processing turns Enter into LF again.
	return wait_for_key(fd, 0x0A, "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}

int Xmodem1K(const char *path)
{
	int fd = init_serial();
	if (fd < 0)
		return -1;

	File out(fopen(path, "wb"));
	if (!out) {
		perror("Can't open file!");
		release_line(fd);
		return -1;
	}

	Receive r{fd, out.get()};
	flushRX(fd);
	putByte(CRC_MODE, fd);
	while (!r.end_of_file && !r.cancel)
		receive_step(r);

	if (r.cancel) {
		send_cancel(fd);
		release_line(fd);
		return 0;
	}
	putByte(ACK, fd);
	fputs("All done\n", stderr);
	release_line(fd);
	return r.total;
}

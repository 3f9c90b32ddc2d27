#include "cpld.h"

#include "board.h"
#include "sys.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vb {

namespace {

// Bit 0 of the status register after one more poll.
uint8_t poll_ready()
{
	State *s = board_state();
	switch (word_load(s->cpld_mode)) {
	case CPLD_STUCK:
		return 0;
	case CPLD_WAITING: {
		uint32_t w = word_load(s->cpld_wait);
		while (w > 0)
			if (word_cas(s->cpld_wait, w, w - 1))
				return 0;
		word_store(s->cpld_mode, CPLD_READY);
		return 1;
	}
	default:
		return 1;
	}
}

void control_written(const Conf &c)
{
	State *s = board_state();
	if (c.cpld_ready == CPLD_NEVER) {
		word_store(s->cpld_mode, CPLD_STUCK);
		return;
	}
	word_store(s->cpld_wait, static_cast<uint32_t>(c.cpld_ready));
	word_store(s->cpld_mode, CPLD_WAITING);
}

uint8_t stored(int fd, off64_t reg)
{
	uint8_t v = 0;
	return sys::pread(fd, &v, 1, reg) == 1 ? v : 0;
}

} // namespace

int cpld_open(int flags)
{
	return sys::open(board_path("cpld.bin").c_str(), O_RDWR | O_CREAT | (flags & O_CLOEXEC), 0644);
}

ssize_t cpld_read(int fd, void *buf, size_t len, off64_t pos)
{
	auto out = static_cast<uint8_t *>(buf);
	size_t done = 0;
	for (; done < len && pos + static_cast<off64_t>(done) < CPLD_REGS; done++) {
		off64_t reg = pos + static_cast<off64_t>(done);
		uint8_t v = stored(fd, reg);
		if (reg == CPLD_VPD_STATUS)
			v = static_cast<uint8_t>((v & 0xFE) | poll_ready());
		out[done] = v;
		trace_printf("cpld read 0x%02jx -> 0x%02x", static_cast<intmax_t>(reg), v);
	}
	return static_cast<ssize_t>(done);
}

ssize_t cpld_write(const Conf &c, int fd, const void *buf, size_t len, off64_t pos)
{
	if (len > 0 && pos >= CPLD_REGS)
		return fail(ENOSPC);
	auto in = static_cast<const uint8_t *>(buf);
	size_t done = 0;
	for (; done < len && pos + static_cast<off64_t>(done) < CPLD_REGS; done++) {
		off64_t reg = pos + static_cast<off64_t>(done);
		if (sys::pwrite(fd, &in[done], 1, reg) != 1)
			return done ? static_cast<ssize_t>(done) : fail(EIO);
		trace_printf("cpld write 0x%02jx 0x%02x", static_cast<intmax_t>(reg), in[done]);
		if (reg == CPLD_VPD_CONTROL)
			control_written(c);
	}
	return static_cast<ssize_t>(done);
}

uint8_t cpld_peek(int reg)
{
	int fd = sys::open(board_path("cpld.bin").c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	uint8_t v = stored(fd, reg);
	sys::close(fd);
	return v;
}

} // namespace vb

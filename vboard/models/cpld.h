// The CPLD register file /dev/norvik/cpld_mmmap, backed by BOARD/cpld.bin:
// one byte a register at its file offset. Writing the VPD access control
// register makes the status register report "not ready" for as many reads
// as board.conf asks.
#pragma once

#include "conf.h"

#include <cstdint>
#include <sys/types.h>

namespace vb {

constexpr int CPLD_REGS = 256;
constexpr int CPLD_VPD_CONTROL = 20;
constexpr int CPLD_VPD_STATUS = 24;

int cpld_open(int flags);

// A read or write at pos, one register at a time (the file position is the
// caller's).
ssize_t cpld_read(int fd, void *buf, size_t len, off64_t pos);
ssize_t cpld_write(const Conf &c, int fd, const void *buf, size_t len, off64_t pos);

// A register as the board's logic sees it (no trace, no poll counted).
uint8_t cpld_peek(int reg);

} // namespace vb

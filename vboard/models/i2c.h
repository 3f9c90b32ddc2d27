// The two I2C adapters /dev/i2c-0 and /dev/i2c-1 as i2c-dev presents them.
// Bus 0 carries the multiplexer (0x70), the Summit device (0x4F) and, behind
// multiplexer channel 3 and the CPLD's VPD access bit, the VPD EEPROM (0x54).
// Nothing else answers.
#pragma once

#include "fdtab.h"

#include <sys/types.h>

namespace vb {

int i2c_open(int flags);
ssize_t i2c_read(Node *n, void *buf, size_t len);
ssize_t i2c_write(Node *n, const void *buf, size_t len);
int i2c_ioctl(Node *n, unsigned long req, void *arg);

} // namespace vb

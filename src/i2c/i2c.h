// The i2c module: the board's I2C buses, and the VPD bytes reached through
// the multiplexer, the Summit device and the CPLD access gate.
#pragma once

#include <cstdint>

// Opens /dev/i2c-0 and /dev/i2c-1; 0 when both are open, -1 at the first
// that is not.  api_i2c_close closes whatever is open; always 0.
int api_i2c_init();
int api_i2c_close();

// VPD byte 1, the slot to boot: 0-255 as read, 255 when the read fails.
int api_get_image();
// VPD byte 1 / byte 59 (the image that was started): 0 when written,
// negative when the EEPROM write failed.
int api_set_image(int slot);
int api_set_booted_image(int value);

// One VPD byte at `offset` (low 8 bits) into *dest, whatever `count` says.
int api_eeprom_read(uint8_t *dest, uint16_t offset, int count);
// Reads nothing: no environment is kept behind the I2C buses.
int api_ubootenv_read(uint8_t *buffer, uint16_t offset, int count);

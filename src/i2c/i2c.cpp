#include "i2c/i2c.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern "C" {
#include <i2c/smbus.h>
}

namespace {

constexpr int MUX_ADDR = 0x70;
constexpr int SUMMIT_ADDR = 0x4F;
constexpr int EEPROM_ADDR = 0x54;
constexpr int VPD_CHANNEL = 3;

constexpr uint8_t SUMMIT_REG = 0x87;
constexpr uint8_t SUMMIT_VALUE = 0x55;
constexpr useconds_t SUMMIT_DELAY_US = 100000;
constexpr useconds_t EEPROM_WRITE_DELAY_US = 100000;

constexpr const char *CPLD_DEV = "/dev/norvik/cpld_mmmap";
constexpr off_t CPLD_VPD_CONTROL = 20;
constexpr off_t CPLD_VPD_STATUS = 24;
constexpr int CPLD_BUDGET_MS = 50000;
constexpr int CPLD_POLL_MS = 10;

constexpr uint16_t VPD_SELECTED_IMAGE = 1;
constexpr uint16_t VPD_BOOTED_IMAGE = 59;

// 0 or below: the bus is not open.
int i2c_file[2];

// The descriptor of bus 0, or -1 with errno set when it is not open: a bus
// that never opened (or was closed) must not turn into descriptor 0, the
// console.
int bus0()
{
	if (i2c_file[0] > 0)
		return i2c_file[0];
	errno = EBADF;
	return -1;
}

int select_device(int fd, int addr)
{
	return ioctl(fd, I2C_SLAVE, addr);
}

// A failed selection skips the transfer: it would reach whichever device
// was selected before on the bus.
int write_mux(uint8_t control)
{
	int fd = bus0();
	if (fd < 0 || select_device(fd, MUX_ADDR) < 0)
		return -1;
	return (int)write(fd, &control, 1);
}

int setup_mux(unsigned channel)
{
	return write_mux(channel < 8 ? (uint8_t)(1u << channel) : 0);
}

int clear_mux()
{
	return write_mux(0x00);
}

int setup_summit()
{
	int fd = bus0();
	int result = -1;
	if (fd >= 0 && select_device(fd, SUMMIT_ADDR) >= 0)
		result = i2c_smbus_write_byte_data(fd, SUMMIT_REG, SUMMIT_VALUE);
	usleep(SUMMIT_DELAY_US);
	return result;
}

struct Cpld {
	int fd;
	~Cpld()
	{
		if (fd >= 0)
			close(fd);
	}
};

int cpld_fail(const char *message)
{
	puts(message);
	return -1;
}

bool cpld_read(int fd, off_t reg, uint8_t *value, int *result)
{
	if (lseek(fd, reg, SEEK_SET) < 0) {
		*result = cpld_fail("CPLD seek error");
		return false;
	}
	if (read(fd, value, 1) != 1) {
		*result = cpld_fail("CPLD read error");
		return false;
	}
	return true;
}

// Waits for the status register to report the change of the control bit.
// The register is sought before every read: a driver that advances the file
// position would otherwise be polled at the wrong register.
int cpld_wait_ready(int fd)
{
	int budget = CPLD_BUDGET_MS;
	for (;;) {
		uint8_t status;
		int result;
		if (!cpld_read(fd, CPLD_VPD_STATUS, &status, &result))
			return result;
		if (status & 1)
			return 0;
		budget -= CPLD_POLL_MS;
		usleep(CPLD_POLL_MS * 1000);
		if (budget <= 0)
			return cpld_fail("CPLD set bus error");
	}
}

int set_vpd_access(int on)
{
	Cpld cpld{open(CPLD_DEV, O_RDWR)};
	if (cpld.fd < 0)
		return cpld_fail("CPLD driver could not be opened");
	uint8_t control;
	int result;
	if (!cpld_read(cpld.fd, CPLD_VPD_CONTROL, &control, &result))
		return result;
	control = on ? (uint8_t)(control | 1) : (uint8_t)(control & 0xFE);
	if (lseek(cpld.fd, CPLD_VPD_CONTROL, SEEK_SET) < 0)
		return cpld_fail("CPLD seek error");
	if (write(cpld.fd, &control, 1) != 1)
		return cpld_fail("CPLD write error");
	return cpld_wait_ready(cpld.fd);
}

int i2c_read(int bus, int device, uint16_t offset, int count, int width, uint8_t *buffer)
{
	uint8_t addr[2];
	int addr_bytes;
	if (width == 2) {
		addr[0] = (uint8_t)(offset >> 8);
		addr[1] = (uint8_t)offset;
		addr_bytes = 2;
	} else {
		addr[0] = (uint8_t)offset;
		addr_bytes = width < 1 ? 0 : 1;
	}
	int fd = (bus == 0 || bus == 1) && i2c_file[bus] > 0 ? i2c_file[bus] : -1;
	if (fd < 0)
		errno = EBADF;
	if (fd < 0 || ioctl(fd, I2C_SLAVE, device >> 1) < 0) {
		printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, device, errno);
		return 0;
	}
	if (write(fd, addr, (size_t)addr_bytes) < 0) {
		printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", device, bus, offset, errno);
		return 0;
	}
	if (read(fd, buffer, (size_t)count) != count) {
		printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", device, offset, count, errno);
		return 0;
	}
	return addr[0];
}

// Connects the EEPROM: multiplexer channel, CPLD access, Summit write.
// Failures are reported where they happen and do not stop the transaction.
void vpd_open()
{
	setup_mux(VPD_CHANNEL);
	set_vpd_access(1);
	setup_summit();
}

// Every transaction ends with access off and the multiplexer cleared,
// whatever happened in between.
void vpd_close()
{
	set_vpd_access(0);
	clear_mux();
}

int set_vpd_offset(uint16_t offset, uint8_t value)
{
	vpd_open();
	int fd = bus0();
	int result = -1;
	if (fd >= 0 && select_device(fd, EEPROM_ADDR) >= 0)
		result = i2c_smbus_write_byte_data(fd, (uint8_t)offset, value);
	int err = errno;
	usleep(EEPROM_WRITE_DELAY_US);
	if (result < 0)
		printf("I2C error when writing bus %d offset %d: %d\n", 0, offset, err);
	vpd_close();
	return result;
}

int get_vpd_offset(uint16_t offset, int /*count*/, uint8_t *dest)
{
	vpd_open();
	int fd = bus0();
	int selected = fd < 0 ? -1 : select_device(fd, EEPROM_ADDR);
	int value = selected < 0 ? -1 : i2c_smbus_read_byte_data(fd, (uint8_t)offset);
	// libi2c reports a failure as -errno, not -1: any failure reads as 0xFF.
	*dest = value < 0 ? 0xFF : (uint8_t)value;
	vpd_close();
	return selected < 0 ? selected : 0;
}

} // namespace

int api_i2c_init()
{
	for (int n = 0; n < 2; n++) {
		char path[32];
		snprintf(path, sizeof path, "/dev/i2c-%d", n);
		// Held until the launch: no command run before it may inherit a bus.
		i2c_file[n] = open(path, O_RDWR | O_CLOEXEC);
		if (i2c_file[n] < 0) {
			printf("ERROR: driver %s couldn't be opened\n", path);
			return -1;
		}
	}
	return 0;
}

int api_i2c_close()
{
	for (int n = 0; n < 2; n++) {
		if (i2c_file[n] > 0) {
			close(i2c_file[n]);
			i2c_file[n] = 0;
		}
	}
	return 0;
}

int api_get_image()
{
	uint8_t byte = 0;
	get_vpd_offset(VPD_SELECTED_IMAGE, 1, &byte);
	return byte;
}

int api_set_image(int slot)
{
	return set_vpd_offset(VPD_SELECTED_IMAGE, (uint8_t)slot);
}

int api_set_booted_image(int value)
{
	return set_vpd_offset(VPD_BOOTED_IMAGE, (uint8_t)value);
}

int api_eeprom_read(uint8_t *dest, uint16_t offset, int count)
{
	return get_vpd_offset(offset, count, dest);
}

int api_ubootenv_read(uint8_t *buffer, uint16_t /*offset*/, int /*count*/)
{
	return i2c_read(0, 0, 0, 0, 0, buffer);
}

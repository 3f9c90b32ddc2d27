#include "i2c.h"

#include "board.h"
#include "cpld.h"
#include "sys.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <string>
#include <unistd.h>

namespace vb {

namespace {

constexpr int MUX = 0x70;
constexpr int SUMMIT = 0x4F;
constexpr int EEPROM = 0x54;
constexpr uint32_t EEPROM_CHANNEL_BIT = 0x08;
constexpr size_t MAX_TRANSFER = 8192;

bool eeprom_reachable()
{
	return (word_load(board_state()->mux) & EEPROM_CHANNEL_BIT) && (cpld_peek(CPLD_VPD_CONTROL) & 1);
}

bool acks(const Conf *c, int bus, int addr)
{
	if (bus != 0 || addr < 0 || addr > 0x7F || c->i2c_nak[addr])
		return false;
	return addr == MUX || addr == SUMMIT || (addr == EEPROM && eeprom_reachable());
}

int vpd_open()
{
	return sys::open(board_path("vpd.bin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

// Cells beyond the end of a short vpd.bin read as erased.
uint8_t eeprom_get(int fd, uint32_t cell)
{
	uint8_t v = 0xFF;
	if (fd < 0 || sys::pread(fd, &v, 1, cell) != 1)
		v = 0xFF;
	return v;
}

Word &pointer_of(State *s, int addr)
{
	return addr == SUMMIT ? s->summit_ptr : s->eeprom_ptr;
}

// Bytes a master sends to an acknowledging device. The multiplexer takes
// each byte as its channel mask; a register device takes the first byte as
// its address pointer and stores the rest from there on, 24C02 style.
void device_write(int addr, const uint8_t *b, size_t n)
{
	State *s = board_state();
	if (addr == MUX) {
		if (n > 0)
			word_store(s->mux, b[n - 1]);
		return;
	}
	if (n == 0)
		return;
	uint32_t p = b[0];
	int fd = addr == EEPROM && n > 1 ? vpd_open() : -1;
	for (size_t i = 1; i < n; i++, p = (p + 1) & 0xFF) {
		if (addr == SUMMIT)
			std::atomic_ref<uint8_t>(s->summit[p]).store(b[i]);
		else if (fd >= 0)
			sys::pwrite(fd, &b[i], 1, p);
	}
	if (fd >= 0)
		sys::close(fd);
	word_store(pointer_of(s, addr), p);
}

// Bytes a device returns, from its address pointer on.
void device_read(int addr, uint8_t *b, size_t n)
{
	State *s = board_state();
	if (addr == MUX) {
		memset(b, static_cast<int>(word_load(s->mux) & 0xFF), n);
		return;
	}
	uint32_t p = word_load(pointer_of(s, addr)) & 0xFF;
	int fd = addr == EEPROM ? vpd_open() : -1;
	for (size_t i = 0; i < n; i++, p = (p + 1) & 0xFF)
		b[i] = addr == SUMMIT ? std::atomic_ref<uint8_t>(s->summit[p]).load() : eeprom_get(fd, p);
	if (fd >= 0)
		sys::close(fd);
	word_store(pointer_of(s, addr), p);
}

std::string hex_bytes(const uint8_t *b, size_t n)
{
	std::string out;
	char h[8];
	for (size_t i = 0; i < n; i++) {
		snprintf(h, sizeof h, " 0x%02x", b[i]);
		out += h;
	}
	return out;
}

// One plain message in either direction, with its trace line.
bool transfer_write(const Conf *c, int bus, int addr, const uint8_t *b, size_t n)
{
	bool ok = acks(c, bus, addr);
	if (ok)
		device_write(addr, b, n);
	char head[64];
	snprintf(head, sizeof head, "i2c%d 0x%02x write", bus, addr);
	trace_text(head + hex_bytes(b, n) + (ok ? "" : " nak"));
	return ok;
}

bool transfer_read(const Conf *c, int bus, int addr, uint8_t *b, size_t n)
{
	if (!acks(c, bus, addr)) {
		trace_printf("i2c%d 0x%02x read %zu nak", bus, addr, n);
		return false;
	}
	device_read(addr, b, n);
	char head[64];
	snprintf(head, sizeof head, "i2c%d 0x%02x read %zu ->", bus, addr, n);
	trace_text(head + hex_bytes(b, n));
	return true;
}

int smbus_byte_data(const Conf *c, int bus, int addr, i2c_smbus_ioctl_data *a)
{
	uint8_t reg = a->command;
	bool reading = a->read_write == I2C_SMBUS_READ;
	if (!acks(c, bus, addr)) {
		if (reading)
			trace_printf("i2c%d 0x%02x smbus-read 0x%02x -> nak", bus, addr, reg);
		else
			trace_printf("i2c%d 0x%02x smbus-write 0x%02x 0x%02x nak", bus, addr, reg, a->data->byte);
		return fail(ENXIO);
	}
	if (reading) {
		device_write(addr, &reg, 1);
		device_read(addr, &a->data->byte, 1);
		trace_printf("i2c%d 0x%02x smbus-read 0x%02x -> 0x%02x", bus, addr, reg, a->data->byte);
		return 0;
	}
	uint8_t b[2] = {reg, a->data->byte};
	device_write(addr, b, 2);
	trace_printf("i2c%d 0x%02x smbus-write 0x%02x 0x%02x", bus, addr, reg, a->data->byte);
	return 0;
}

int smbus_word_data(const Conf *c, int bus, int addr, i2c_smbus_ioctl_data *a, bool proc_call)
{
	uint8_t reg = a->command;
	bool reading = a->read_write == I2C_SMBUS_READ;
	const char *kind = proc_call ? "smbus-proc-call" : reading ? "smbus-read-word" : "smbus-write-word";
	if (!acks(c, bus, addr)) {
		trace_printf("i2c%d 0x%02x %s 0x%02x nak", bus, addr, kind, reg);
		return fail(ENXIO);
	}
	uint8_t b[3] = {reg, static_cast<uint8_t>(a->data->word), static_cast<uint8_t>(a->data->word >> 8)};
	device_write(addr, b, reading && !proc_call ? 1 : 3);
	if (reading || proc_call) {
		device_read(addr, b + 1, 2);
		a->data->word = static_cast<uint16_t>(b[1] | b[2] << 8);
	}
	trace_printf("i2c%d 0x%02x %s 0x%02x 0x%04x", bus, addr, kind, reg, a->data->word);
	return 0;
}

// Register address then data, as two plain messages on the wire.
int smbus_i2c_block(const Conf *c, int bus, int addr, i2c_smbus_ioctl_data *a)
{
	uint8_t len = a->data->block[0];
	if (len == 0 || len > I2C_SMBUS_BLOCK_MAX)
		return fail(EINVAL);
	uint8_t b[I2C_SMBUS_BLOCK_MAX + 1];
	b[0] = a->command;
	if (a->read_write == I2C_SMBUS_WRITE) {
		memcpy(b + 1, a->data->block + 1, len);
		return transfer_write(c, bus, addr, b, len + 1u) ? 0 : fail(ENXIO);
	}
	if (!transfer_write(c, bus, addr, b, 1))
		return fail(ENXIO);
	return transfer_read(c, bus, addr, a->data->block + 1, len) ? 0 : fail(ENXIO);
}

int smbus_block_write(const Conf *c, int bus, int addr, i2c_smbus_ioctl_data *a)
{
	if (a->read_write == I2C_SMBUS_READ)
		return fail(EOPNOTSUPP);
	uint8_t len = a->data->block[0];
	if (len == 0 || len > I2C_SMBUS_BLOCK_MAX)
		return fail(EINVAL);
	uint8_t b[I2C_SMBUS_BLOCK_MAX + 2];
	b[0] = a->command;
	memcpy(b + 1, a->data->block, len + 1u);
	return transfer_write(c, bus, addr, b, len + 2u) ? 0 : fail(ENXIO);
}

int smbus(Node *n, const Conf *c, i2c_smbus_ioctl_data *a)
{
	int bus = n->index;
	int addr = n->addr.load();
	bool reading = a->read_write == I2C_SMBUS_READ;
	if (a->read_write != I2C_SMBUS_READ && a->read_write != I2C_SMBUS_WRITE)
		return fail(EINVAL);
	// Only the quick command and the byte write carry no data block.
	bool dataless = a->size == I2C_SMBUS_QUICK || (a->size == I2C_SMBUS_BYTE && !reading);
	if (!dataless && !a->data)
		return fail(EINVAL);
	switch (a->size) {
	case I2C_SMBUS_QUICK: {
		bool ok = acks(c, bus, addr);
		trace_printf("i2c%d 0x%02x quick%s", bus, addr, ok ? "" : " nak");
		return ok ? 0 : fail(ENXIO);
	}
	case I2C_SMBUS_BYTE:
		// On the wire a plain one-byte message.
		if (reading)
			return transfer_read(c, bus, addr, &a->data->byte, 1) ? 0 : fail(ENXIO);
		return transfer_write(c, bus, addr, &a->command, 1) ? 0 : fail(ENXIO);
	case I2C_SMBUS_BYTE_DATA:
		return smbus_byte_data(c, bus, addr, a);
	case I2C_SMBUS_WORD_DATA:
		return smbus_word_data(c, bus, addr, a, false);
	case I2C_SMBUS_PROC_CALL:
		return smbus_word_data(c, bus, addr, a, true);
	case I2C_SMBUS_I2C_BLOCK_DATA:
	case I2C_SMBUS_I2C_BLOCK_BROKEN:
		return smbus_i2c_block(c, bus, addr, a);
	case I2C_SMBUS_BLOCK_DATA:
		return smbus_block_write(c, bus, addr, a);
	default:
		return fail(EOPNOTSUPP);
	}
}

int rdwr(Node *n, const Conf *c, const i2c_rdwr_ioctl_data *d)
{
	if (!d->msgs || d->nmsgs == 0 || d->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS)
		return fail(EINVAL);
	for (uint32_t i = 0; i < d->nmsgs; i++) {
		const i2c_msg &m = d->msgs[i];
		if ((m.flags & (I2C_M_TEN | I2C_M_RECV_LEN)) || m.addr > 0x7F || m.len > MAX_TRANSFER)
			return fail(EINVAL);
	}
	for (uint32_t i = 0; i < d->nmsgs; i++) {
		const i2c_msg &m = d->msgs[i];
		bool ok = (m.flags & I2C_M_RD) ? transfer_read(c, n->index, m.addr, m.buf, m.len)
					       : transfer_write(c, n->index, m.addr, m.buf, m.len);
		if (!ok)
			return fail(ENXIO);
	}
	return static_cast<int>(d->nmsgs);
}

} // namespace

int i2c_open(int flags)
{
	return sys::open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
}

ssize_t i2c_read(Node *n, void *buf, size_t len)
{
	const Conf *c = board_conf();
	if (!c)
		return fail(EIO);
	len = std::min(len, MAX_TRANSFER);
	if (!transfer_read(c, n->index, n->addr.load(), static_cast<uint8_t *>(buf), len))
		return fail(ENXIO);
	return static_cast<ssize_t>(len);
}

ssize_t i2c_write(Node *n, const void *buf, size_t len)
{
	const Conf *c = board_conf();
	if (!c)
		return fail(EIO);
	len = std::min(len, MAX_TRANSFER);
	if (!transfer_write(c, n->index, n->addr.load(), static_cast<const uint8_t *>(buf), len))
		return fail(ENXIO);
	return static_cast<ssize_t>(len);
}

int i2c_ioctl(Node *n, unsigned long req, void *arg)
{
	const Conf *c = board_conf();
	if (!c)
		return fail(EIO);
	uintptr_t value = reinterpret_cast<uintptr_t>(arg);
	switch (req) {
	case I2C_SLAVE:
	case I2C_SLAVE_FORCE:
		// Selecting an address is no bus traffic: it never fails for a
		// valid address, whoever answers there.
		if (value > 0x7F)
			return fail(EINVAL);
		n->addr.store(static_cast<int>(value));
		return 0;
	case I2C_TENBIT:
		return value ? fail(EINVAL) : 0;
	case I2C_FUNCS:
		*static_cast<unsigned long *>(arg) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
		return 0;
	case I2C_PEC:
	case I2C_RETRIES:
	case I2C_TIMEOUT:
		return 0;
	case I2C_SMBUS:
		return smbus(n, c, static_cast<i2c_smbus_ioctl_data *>(arg));
	case I2C_RDWR:
		return rdwr(n, c, static_cast<const i2c_rdwr_ioctl_data *>(arg));
	default:
		return fail(ENOTTY);
	}
}

} // namespace vb

#include "flash/flash.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "launch/services.h"

int uboot_fd = -1;
int uboot_env_fd = -1;
int device_tree_fd = -1;
int kernel_fd = -1;
int rfs_fd = -1;
int rescue_fd = -1;
int flash_fd = -1;

int debug_read;
int debug_write;
int debug_erase;

namespace {

struct FlashInfo {
	char name[128];
	uint32_t nsectors;
	uint32_t sector_size;
	uint32_t sector_shift;
	uint32_t size; // 0: no flash available
};

FlashInfo theFlash = {"unknown", 0, 0, 0, 0};

// The sector-wise write rewrites whole sectors in pieces of this size.
constexpr uint32_t WRITE_PIECE = 1024;

struct SectorRange {
	uint32_t first;
	uint32_t last;
	uint32_t count;
};

// The partitions stay open, writable, for the whole run: none of the
// commands, scripts or the application started from here may inherit them.
void mtd_open()
{
	uboot_fd = open("/dev/mtd-uboot", O_RDWR | O_SYNC | O_CLOEXEC);
	uboot_env_fd = open("/dev/mtd-ubootenv", O_RDWR | O_SYNC | O_CLOEXEC);
	device_tree_fd = open("/dev/mtd-devicetree", O_RDWR | O_SYNC | O_CLOEXEC);
	kernel_fd = open("/dev/mtd-kernel", O_RDWR | O_SYNC | O_CLOEXEC);
	rfs_fd = open("/dev/mtd-rfs", O_RDWR | O_SYNC | O_CLOEXEC);
	// The rescue partition is rewritten only by a diagnostics install; it
	// is left asynchronous.
	rescue_fd = open("/dev/mtd-rescue", O_RDWR | O_CLOEXEC);
	flash_fd = kernel_fd;
}

int lowest_set_bit(uint32_t value, uint32_t otherwise)
{
	for (uint32_t bit = 0; bit < 32; bit++)
		if (value & (1u << bit))
			return (int)bit;
	return (int)otherwise;
}

bool usable_erase_size(uint32_t erasesize)
{
	return erasesize >= WRITE_PIECE && (erasesize & (erasesize - 1)) == 0;
}

// Probes the kernel partition; its geometry stands for every partition.
int mtd_type()
{
	struct mtd_info_user info;
	memset(&info, 0, sizeof info);
	if (ioctl(flash_fd, MEMGETINFO, &info) != 0) {
		puts("Could not get MTD device info ");
		return 0;
	}
	// The sector arithmetic rounds with a mask and rewrites sectors in 1024-
	// byte pieces: an erase size of 0 would be divided by, and one that is not
	// a power of two of at least 1024 would round to the wrong sector or
	// program past the sector's end.  Such a device is as unusable as one
	// that cannot be probed.
	if (!usable_erase_size(info.erasesize)) {
		puts("Could not get MTD device info ");
		return 0;
	}
	theFlash.nsectors = info.size / info.erasesize;
	theFlash.sector_size = info.erasesize;
	theFlash.sector_shift = (uint32_t)lowest_set_bit(info.erasesize, theFlash.sector_shift);
	snprintf(theFlash.name, sizeof theFlash.name, "%dMB w/%ld-%ldKB sectors", (int)(info.size >> 20),
		 (long)theFlash.nsectors, (long)(info.erasesize >> 10));
	theFlash.size = info.size;
	if (theFlash.size == 0) {
		puts("NO FLASH !");
		return 0;
	}
	return 1;
}

int flash_open()
{
	mtd_open();
	return mtd_type();
}

int mtd_erase(int fd, uint32_t offset, uint32_t length)
{
	if (debug_erase)
		printf("mtd erase 0x%08lx to 0x%08lx\n", (unsigned long)offset, (unsigned long)(offset + length - 1));
	struct erase_info_user erase;
	erase.start = offset;
	erase.length = length;
	return ioctl(fd, MEMERASE, &erase) >= 0;
}

int mtd_read(int fd, uint32_t offset, uint32_t length, uint8_t *buffer)
{
	if (debug_read)
		printf("mtd read  0x%08lx to 0x%08lx 0x%08lx\n", (unsigned long)offset,
		       (unsigned long)(offset + length - 1), (unsigned long)(uintptr_t)buffer);
	return pread(fd, buffer, length, offset) >= 0;
}

int mtd_write(int fd, uint32_t offset, uint32_t length, const uint8_t *buffer)
{
	if (debug_write)
		printf("mtd write 0x%08lx to 0x%08lx 0x%08lx\n", (unsigned long)offset,
		       (unsigned long)(offset + length - 1), (unsigned long)(uintptr_t)buffer);
	return pwrite(fd, buffer, length, offset) >= 0;
}

// The sectors touched by [offset, offset + length), in 32-bit arithmetic:
// a length of 0 at a sector start wraps the count to 0.
SectorRange sector_range(uint32_t offset, uint32_t length)
{
	uint32_t s = theFlash.sector_size;
	SectorRange r;
	r.first = offset & -s;
	r.last = ((offset + length - 1) & -s) + s - 1;
	r.count = (r.last - r.first + 1) >> theFlash.sector_shift;
	return r;
}

int flash_read(uint8_t *buffer, int fd, uint32_t length, uint32_t offset)
{
	if (debug_read)
		printf("Flash Read 0x%08lx to 0x%08lx\n", (unsigned long)offset, (unsigned long)(offset + length - 1));
	return mtd_read(fd, offset, length, buffer);
}

// Where in sector i the data goes and how much of it.
void sector_part(const SectorRange &r, uint32_t i, uint32_t offset, uint32_t length, uint32_t copied,
		 uint32_t *place, uint32_t *n)
{
	uint32_t s = theFlash.sector_size;
	if (r.count == 1) {
		*place = offset - r.first;
		*n = length;
	} else if (i == 0) {
		*place = offset - r.first;
		*n = s - *place;
	} else if (i == r.count - 1) {
		*place = 0;
		*n = length - copied;
	} else {
		*place = 0;
		*n = s;
	}
}

// One sector: read it whole, lay the new bytes over it, erase it and write
// it back, so that the bytes outside the range survive.
int rewrite_sector(int fd, uint32_t address, uint8_t *work, const uint8_t *data, uint32_t place, uint32_t n)
{
	uint32_t s = theFlash.sector_size;
	memset(work, 0, s);
	if (!mtd_read(fd, address, s, work)) {
		puts("Flash Write mtd read failed.\n");
		return 0;
	}
	memcpy(work + place, data, n);
	if (!mtd_erase(fd, address, s)) {
		puts("Flash Write mtd erase failed.\n");
		return 0;
	}
	for (uint32_t k = 0; k < s; k += WRITE_PIECE) {
		if (!mtd_write(fd, address + k, WRITE_PIECE, work + k)) {
			puts("Flash Write mtd write failed.\n");
			return 0;
		}
	}
	return 1;
}

int flash_write(const uint8_t *data, int fd, uint32_t length, uint32_t offset, uint8_t show_progress)
{
	SectorRange r = sector_range(offset, length);
	if (debug_write)
		printf("Flash Write 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", (unsigned long)offset,
		       (unsigned long)(offset + length - 1), (unsigned long)r.first, (unsigned long)r.last,
		       (long)r.count);
	// One sector plus a spare piece, so the last 1024-byte write of a sector
	// whose size is not a multiple of 1024 stays inside the buffer.
	Buffer work = allocate_buffer(theFlash.sector_size + WRITE_PIECE);
	if (!work) {
		puts("Flash Write malloc failed");
		return 0;
	}
	if (show_progress)
		printf("     ");
	uint32_t address = r.first;
	uint32_t copied = 0;
	for (uint32_t i = 0; i < r.count; i++) {
		uint32_t place, n;
		sector_part(r, i, offset, length, copied, &place, &n);
		if (!rewrite_sector(fd, address, work.get(), data + copied, place, n))
			return 0;
		if (show_progress) {
			printf("\b\b\b\b%3.3d%c", (int)((uint64_t)i * 100 / r.count), '%');
			fflush(stdout);
		}
		address += theFlash.sector_size;
		copied += n;
	}
	if (show_progress)
		printf("\b\b\b\b100%c\n", '%');
	return 1;
}

int flash_erase(int fd, uint32_t length, uint32_t offset)
{
	SectorRange r = sector_range(offset, length);
	if (debug_erase)
		printf("Flash Erase 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", (unsigned long)offset,
		       (unsigned long)(offset + length - 1), (unsigned long)r.first, (unsigned long)r.last,
		       (long)r.count);
	for (uint32_t i = 0; i < r.count; i++) {
		if (!mtd_erase(fd, r.first + i * theFlash.sector_size, theFlash.sector_size)) {
			puts("Flash Erase mtd erase failed.");
			return 0;
		}
	}
	return 1;
}

} // namespace

int mtd_get_size(int fd, uint32_t *size)
{
	struct mtd_info_user info;
	memset(&info, 0, sizeof info);
	if (ioctl(fd, MEMGETINFO, &info) != 0)
		return 0;
	*size = info.size;
	return 1;
}

int api_flash_init()
{
	return flash_open() ? 0 : -1;
}

int api_flash_read(uint8_t *buffer, int fd, uint32_t offset, uint32_t length)
{
	if (theFlash.size == 0)
		return -1;
	return flash_read(buffer, fd, length, offset) ? 0 : -1;
}

int api_flash_write(const uint8_t *buffer, int fd, uint32_t offset, uint32_t length, int show_progress)
{
	if (theFlash.size == 0)
		return -1;
	return flash_write(buffer, fd, length, offset, (uint8_t)show_progress) ? 0 : -1;
}

int api_flash_erase(int fd, uint32_t offset, uint32_t length)
{
	if (theFlash.size == 0)
		return -1;
	return flash_erase(fd, length, offset) ? 0 : -1;
}

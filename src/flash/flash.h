// The flash module: the board's MTD partitions and sector-wise access to them.
#pragma once

#include <cstdint>

// Partition descriptors, opened once at start and never closed; -1 when a
// node could not be opened.
extern int uboot_fd;
extern int uboot_env_fd;
extern int device_tree_fd;
extern int kernel_fd;
extern int rfs_fd;
extern int rescue_fd;
extern int flash_fd;

// Trace switches: when set, the primitives and sector operations print what
// they do.
extern int debug_read;
extern int debug_write;
extern int debug_erase;

// Opens the partitions and probes the flash geometry; 0 on success, -1 when
// no flash is available (every later operation then fails at once).
int api_flash_init();

// The size of the partition behind `fd` into *size: 1 on success, 0 when the
// device cannot say.  Readers of a partition's record bound it by this.
int mtd_get_size(int fd, uint32_t *size);

// 0 on success, -1 on failure.
int api_flash_read(uint8_t *buffer, int fd, uint32_t offset, uint32_t length);
int api_flash_write(const uint8_t *buffer, int fd, uint32_t offset, uint32_t length, int show_progress);
int api_flash_erase(int fd, uint32_t offset, uint32_t length);

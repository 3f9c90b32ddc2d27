// The six NOR flash partitions: an MTD character device each, backed by
// BOARD/flash/NAME.bin (bytes beyond a short file read as erased).
#pragma once

#include "conf.h"
#include "fdtab.h"

#include <sys/types.h>

namespace vb {

// Opens partition part as flags ask (O_SYNC kept); a real descriptor of the
// backing file, whose file position is the device's.
int mtd_open(int part, int flags);

// A read or write at pos of the partition (the file position is the caller's).
ssize_t mtd_read(const Node *n, const Conf &c, int fd, void *buf, size_t len, off64_t pos);
ssize_t mtd_write(const Node *n, const Conf &c, int fd, const void *buf, size_t len, off64_t pos);
int mtd_ioctl(const Node *n, int fd, unsigned long req, void *arg);

// /proc/mtd as the kernel would list the partitions (a memfd).
int mtd_proc_open();

const char *mtd_node(int part);

} // namespace vb

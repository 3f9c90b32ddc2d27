// The board's device nodes: the paths the board answers for itself, and what
// a descriptor of one does, handed to its model. The file position of the
// devices that have one is kept here, once for all of them.
#pragma once

#include "fdtab.h"

#include <sys/types.h>

namespace vb {

// stat and fstat of a board node: a character device with the device numbers
// the board's kernel gives it (libmtd looks at them); a node of
// fault.missing is not there. St is struct stat or struct stat64. True when
// the board answers for path itself; *result is then the answer.
template <typename St> bool board_stat(const char *path, St *st, int *result);
template <typename St> int node_stat(const Node *n, St *st);

// True when the board answers this open itself; *fd is then its result.
bool board_open(const char *path, int flags, int *fd);

// The board's nodes and its /proc/mtd exist for access(), whatever is on
// disk; a node of fault.missing does not. True when *result is the answer.
bool board_access(const char *path, int *result);

// read and write (at == nullptr), pread and pwrite (at the offset *at).
ssize_t node_read(Node *n, int fd, void *buf, size_t len, const off64_t *at);
ssize_t node_write(Node *n, int fd, const void *buf, size_t len, const off64_t *at);

off64_t node_seek(Node *n, int fd, off64_t off, int whence);
int node_ioctl(Node *n, int fd, unsigned long req, void *arg);

} // namespace vb

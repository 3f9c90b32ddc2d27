// The descriptors of this process that stand for modelled devices. Duplicates
// share one Node, as they share one open file in the kernel.
#pragma once

#include <atomic>

namespace vb {

enum class Dev { mtd, i2c, cpld };

struct Node {
	Dev dev;
	int index;		// partition, bus
	int accmode;		// O_RDONLY, O_WRONLY or O_RDWR as the caller opened it
	std::atomic<int> addr;	// I2C: selected 7-bit address
	std::atomic<int> refs;
};

Node *node_new(Dev dev, int index, int accmode);

// The node of fd, or nullptr when fd is not modelled. Cheap for other fds.
Node *fdtab_get(int fd);

// fd now stands for node (one reference is taken over); false when fd is
// beyond the table (the node is released).
bool fdtab_set(int fd, Node *node);

// fd2 became a duplicate of fd.
void fdtab_dup(int fd, int fd2);

// fd was closed or replaced.
void fdtab_drop(int fd);

} // namespace vb

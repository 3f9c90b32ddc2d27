#include "fdtab.h"

#include <pthread.h>

namespace vb {

namespace {

constexpr int TABLE_SIZE = 4096;

std::atomic<Node *> table[TABLE_SIZE];
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

void unref(Node *n)
{
	if (n && n->refs.fetch_sub(1) == 1)
		delete n;
}

bool in_range(int fd)
{
	return fd >= 0 && fd < TABLE_SIZE;
}

} // namespace

Node *node_new(Dev dev, int index, int accmode)
{
	Node *n = new Node;
	n->dev = dev;
	n->index = index;
	n->accmode = accmode;
	n->addr.store(0);
	n->refs.store(1);
	return n;
}

Node *fdtab_get(int fd)
{
	return in_range(fd) ? table[fd].load(std::memory_order_acquire) : nullptr;
}

bool fdtab_set(int fd, Node *node)
{
	if (!in_range(fd)) {
		unref(node);
		return false;
	}
	pthread_mutex_lock(&lock);
	Node *old = table[fd].exchange(node);
	pthread_mutex_unlock(&lock);
	unref(old);
	return true;
}

void fdtab_dup(int fd, int fd2)
{
	if (!in_range(fd2))
		return;
	pthread_mutex_lock(&lock);
	Node *n = fdtab_get(fd);
	if (n)
		n->refs.fetch_add(1);
	Node *old = table[fd2].exchange(n);
	pthread_mutex_unlock(&lock);
	unref(old);
}

void fdtab_drop(int fd)
{
	if (!in_range(fd) || !table[fd].load())
		return;
	pthread_mutex_lock(&lock);
	Node *old = table[fd].exchange(nullptr);
	pthread_mutex_unlock(&lock);
	unref(old);
}

} // namespace vb

// `pkgtool list` on arbitrary package contents.
#include <cstdint>
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

#include "pkgtool.h"

namespace {
FILE *sink;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (!sink)
		sink = fopen("/dev/null", "w");
	int fd = memfd_create("package", 0);
	if (fd < 0)
		return 0;
	if (write(fd, data, size) == (ssize_t)size)
		pkg_list_fd(fd, size, sink);
	close(fd);
	return 0;
}

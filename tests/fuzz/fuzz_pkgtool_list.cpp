// `pkgtool list` on arbitrary package contents.
#include <cstdio>

#include "harness.h"
#include "pkgtool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static FILE *sink = fopen("/dev/null", "w");
	int fd = memfd_create("package", 0);
	if (fd < 0 || write(fd, data, size) != (ssize_t)size)
		abort();
	pkg_list_fd(fd, size, sink);
	close(fd);
	return 0;
}

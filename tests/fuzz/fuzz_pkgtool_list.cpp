// `pkgtool list` on arbitrary package contents.
#include "harness.h"
#include "pkgtool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static FILE *sink = fopen("/dev/null", "w");
	int fd = memfd_of(data, size);
	pkg_list_fd(fd, size, sink);
	close(fd);
	return 0;
}

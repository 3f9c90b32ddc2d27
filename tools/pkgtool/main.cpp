#include <cstdio>
#include <cstring>

#include "check.h"
#include "create.h"
#include "pkgtool.h"

namespace {

void usage(FILE *to)
{
	fputs("usage: pkgtool create OUT [--extended[=HDRLEN]] [--overwrite-copy] TYPE=FILE[@A.B.C.D] ...\n"
	      "       pkgtool check [--json] PKG\n"
	      "       pkgtool list PKG\n"
	      "       pkgtool verify PKG\n"
	      "       pkgtool extract PKG DIR\n"
	      "       pkgtool crc FILE\n"
	      "TYPE is one of app, uboot, kernel, rfs, dft, diags.  For app and diags, FILE\n"
	      "may be a folder: it is packed as the gzip tar the board unpacks in /tmp.\n"
	      "A uboot payload gets a copy of its header at byte 240, written only over\n"
	      "zeros, 0xFF bytes or an earlier copy unless --overwrite-copy is given.\n",
	      to);
}

bool is(const char *a, const char *b)
{
	return strcmp(a, b) == 0;
}

} // namespace

// The whole command: its arguments parsed and dispatched, the exit status
// returned.  Callable on its own, so that the fuzzer drives what users type.
int pkgtool_main(int argc, char **argv)
{
	if (argc >= 2 && (is(argv[1], "-h") || is(argv[1], "--help"))) {
		usage(stdout);
		return PKG_OK;
	}
	if (argc >= 3 && is(argv[1], "create"))
		return pkg_create(argc - 2, argv + 2);
	if (argc == 3 && is(argv[1], "check") && !is(argv[2], "--json"))
		return pkg_check(argv[2], false, stdout);
	if (argc == 4 && is(argv[1], "check") && is(argv[2], "--json"))
		return pkg_check(argv[3], true, stdout);
	if (argc == 3 && is(argv[1], "list"))
		return pkg_list(argv[2], stdout);
	if (argc == 3 && is(argv[1], "verify"))
		return pkg_verify(argv[2], stdout);
	if (argc == 4 && is(argv[1], "extract"))
		return pkg_extract(argv[2], argv[3], stdout);
	if (argc == 3 && is(argv[1], "crc"))
		return pkg_crc(argv[2], stdout);
	usage(stderr);
	return PKG_ERROR;
}

int main(int argc, char **argv)
{
	return pkgtool_main(argc, argv);
}

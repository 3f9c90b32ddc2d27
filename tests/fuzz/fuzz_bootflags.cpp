// The boot-flag parser on an arbitrary environment, as the launcher reads
// it: the window, its zero bytes made blanks, one NUL after it.  Whatever
// the text, the flags must make sense and come from keys that are there.
#include <cstring>

#include "harness.h"
#include "launch/bootflags.h"

namespace {

bool flag(int v)
{
	return v == 0 || v == 1;
}

bool from(int flag_set, const char *text, const char *key)
{
	return !flag_set || strstr(text, key);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// Exactly the window and its terminator: ASan sees a read past them.
	std::vector<char> window(ENV_WINDOW + 1, 0);
	memcpy(window.data(), data, size < ENV_WINDOW ? size : ENV_WINDOW);
	for (uint32_t i = 0; i < ENV_WINDOW; i++)
		window[i] = window[i] ? window[i] : ' ';
	const char *text = window.data();
	BootFlags f;
	parse_boot_flags(text, &f);
	if (!flag(f.gdb_enable) || !flag(f.gdbserver_enable) || !flag(f.shell_enable) || !flag(f.memchk_enable) ||
	    !flag(f.rescue_enable) || !flag(f.standalone_diags) || (f.ethport != '0' && f.ethport != '1'))
		abort();
	if ((f.gdbserver_enable && !f.gdb_enable) || (f.rescue_enable && f.standalone_diags))
		abort();
	if (!from(f.ethport == '1', text, "ethact=TSEC1") || !from(f.gdbport != 1234, text, "gdbport=") ||
	    !from(f.shell_enable, text, "shell=on") || !from(f.memchk_enable, text, "memchk=on") ||
	    !from(f.rescue_enable, text, "diagnostics=rescue") ||
	    !from(f.standalone_diags, text, "diagnostics=diags") || !from(f.gdbserver_enable, text, "gdbserver=on"))
		abort();
	return 0;
}

// The boot-flag parser on an arbitrary environment: the window the launcher
// reads (its zero bytes turned into blanks, one NUL after it), and flags
// that always make sense whatever the text says.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "launch/bootflags.h"

namespace {

bool flag(int v)
{
	return v == 0 || v == 1;
}

void check_flags(const BootFlags &f, const char *text)
{
	if (!flag(f.gdb_enable) || !flag(f.gdbserver_enable) || !flag(f.shell_enable) ||
	    !flag(f.memchk_enable) || !flag(f.rescue_enable) || !flag(f.standalone_diags))
		abort();
	if (f.gdbserver_enable && !f.gdb_enable)
		abort();
	// One diagnostics= value cannot ask for both modes.
	if (f.rescue_enable && f.standalone_diags)
		abort();
	if (f.ethport != '0' && f.ethport != '1')
		abort();
	if (f.ethport == '1' && !strstr(text, "ethact=TSEC1"))
		abort();
	if (f.gdbport != 1234 && !strstr(text, "gdbport="))
		abort();
	// Flags come from keys that are there.
	if ((f.shell_enable && !strstr(text, "shell=on")) || (f.memchk_enable && !strstr(text, "memchk=on")) ||
	    (f.rescue_enable && !strstr(text, "diagnostics=rescue")) ||
	    (f.standalone_diags && !strstr(text, "diagnostics=diags")) ||
	    (f.gdbserver_enable && !strstr(text, "gdbserver=on")))
		abort();
}

bool same_flags(const BootFlags &a, const BootFlags &b)
{
	return a.gdb_enable == b.gdb_enable && a.gdbserver_enable == b.gdbserver_enable &&
	       a.gdbport == b.gdbport && a.shell_enable == b.shell_enable && a.memchk_enable == b.memchk_enable &&
	       a.rescue_enable == b.rescue_enable && a.standalone_diags == b.standalone_diags &&
	       a.ethport == b.ethport;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// Exactly the window and its terminator, so that ASan sees any read
	// past them.
	std::vector<char> window(ENV_WINDOW + 1, 0);
	memcpy(window.data(), data, size < ENV_WINDOW ? size : ENV_WINDOW);
	for (uint32_t i = 0; i < ENV_WINDOW; i++)
		if (window[i] == '\0')
			window[i] = ' ';
	BootFlags flags;
	parse_boot_flags(window.data(), &flags);
	check_flags(flags, window.data());
	// The text alone decides: reading it again changes nothing.
	BootFlags again = flags;
	parse_boot_flags(window.data(), &again);
	if (!same_flags(flags, again))
		abort();
	return 0;
}

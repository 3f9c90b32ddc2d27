// The boot-flag parser on an arbitrary environment, as the launcher reads
// it: the window, its zero bytes made blanks, one NUL after it.  Whatever
// the text, the flags must make sense and come from keys that are there.
#include "harness.h"
#include "launch/bootflags.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// Exactly the window and its terminator: ASan sees a read past them.
	std::vector<char> window(ENV_WINDOW + 1, 0);
	memcpy(window.data(), data, size < ENV_WINDOW ? size : ENV_WINDOW);
	for (uint32_t i = 0; i < ENV_WINDOW; i++)
		window[i] = window[i] ? window[i] : ' ';
	BootFlags f;
	parse_boot_flags(window.data(), &f);
	for (int flag : {f.gdb_enable, f.gdbserver_enable, (int)f.shell_enable, (int)f.memchk_enable, f.rescue_enable,
			 f.standalone_diags, f.ethport - '0'})
		if (flag != 0 && flag != 1)
			abort();
	if ((f.gdbserver_enable && !f.gdb_enable) || (f.rescue_enable && f.standalone_diags))
		abort();
	const std::pair<int, const char *> set_by[] = {
		{f.ethport == '1', "ethact=TSEC1"}, {f.gdbport != 1234, "gdbport="}, {f.shell_enable, "shell=on"},
		{f.memchk_enable, "memchk=on"},	    {f.rescue_enable, "diagnostics=rescue"},
		{f.standalone_diags, "diagnostics=diags"}, {f.gdbserver_enable, "gdbserver=on"}};
	for (const auto &[set, key] : set_by)
		if (set && !strstr(window.data(), key))
			abort();
	return 0;
}

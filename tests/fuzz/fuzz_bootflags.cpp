// The boot-flag parser on an arbitrary environment, as the launcher reads
// it: the window, its zero bytes made blanks, one NUL after it.  Whatever
// the text, the flags must make sense and come from keys that are there.
#include "harness.h"
#include "launch/bootflags.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// Exactly the window and its terminator: ASan sees a read past them.
	std::vector<char> window(ENV_WINDOW + 1, 0);
	memcpy(window.data(), data, std::min<size_t>(size, ENV_WINDOW));
	std::replace(window.begin(), window.end() - 1, '\0', ' ');
	BootFlags f;
	parse_boot_flags(window.data(), &f);
	for (int flag : {f.gdb_enable, f.gdbserver_enable, (int)f.shell_enable, (int)f.memchk_enable, f.rescue_enable,
			 f.standalone_diags, f.ethport - '0'})
		must(flag == 0 || flag == 1);
	must((!f.gdbserver_enable || f.gdb_enable) && !(f.rescue_enable && f.standalone_diags));
	const std::pair<int, const char *> set_by[] = {
		{f.ethport == '1', "ethact=TSEC1"}, {f.gdbport != 1234, "gdbport="}, {f.shell_enable, "shell=on"},
		{f.memchk_enable, "memchk=on"},	    {f.rescue_enable, "diagnostics=rescue"},
		{f.standalone_diags, "diagnostics=diags"}, {f.gdbserver_enable, "gdbserver=on"}};
	for (const auto &[set, key] : set_by)
		must(!set || strstr(window.data(), key));
	return 0;
}

// The boot-flag cases no whole board and no fuzz invariant pins down: the
// number parsing of gdbport and where a key may match.
#include <gtest/gtest.h>

#include <string>

#include "launch/bootflags.h"

TEST(BootFlags, ChangeOnlyWhatTheTextSays)
{
	const std::pair<const char *, const char *> cases[] = {
		{"gdbport=-5", "0 0 -5 0 0 0 0 0"},
		{"gdbport=  +77x", "0 0 77 0 0 0 0 0"},
		{"gdbport=2147483647", "0 0 2147483647 0 0 0 0 0"},
		// Too long for an int: the default stays.
		{"gdbport=2147483648", "0 0 1234 0 0 0 0 0"},
		{"gdbport=-99999999999999999999999", "0 0 1234 0 0 0 0 0"},
		{"gdbserver=off gdbport=99", "0 0 99 0 0 0 0 0"},
		{"gdb=ON gdb=on", "0 0 1234 0 0 0 0 0"},
		{"xgdb=on", "1 0 1234 0 0 0 0 0"},
		{"diagnostics=diagsx", "0 0 1234 0 0 0 1 0"},
		{"diagnostics=rescue diagnostics=diags", "0 0 1234 0 0 1 0 0"},
		{"ethact=TSEC10", "0 0 1234 0 0 0 0 1"},
	};
	for (const auto &[text, want] : cases) {
		BootFlags f;
		parse_boot_flags(text, &f);
		char got[96]; // gdb, gdbserver, gdbport, shell, memchk, rescue, diags, ethport
		snprintf(got, sizeof got, "%d %d %d %d %d %d %d %c", f.gdb_enable, f.gdbserver_enable, f.gdbport,
			 f.shell_enable, f.memchk_enable, f.rescue_enable, f.standalone_diags, f.ethport);
		EXPECT_STREQ(want, got) << text;
	}
}

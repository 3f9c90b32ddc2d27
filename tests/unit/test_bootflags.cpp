// The boot-flag cases no whole board and no fuzz invariant pins down: the
// number parsing of gdbport and where a key may match.
#include <gtest/gtest.h>

#include <string>

#include "launch/bootflags.h"

namespace {

// The flags that differ from the defaults, as " name=value" each.
std::string changed(const char *text)
{
	BootFlags f;
	parse_boot_flags(text, &f);
	std::string out;
	auto add = [&](const char *name, int value, int fallback) {
		if (value != fallback)
			out += std::string(" ") + name + "=" + std::to_string(value);
	};
	add("gdb", f.gdb_enable, 0);
	add("gdbserver", f.gdbserver_enable, 0);
	add("gdbport", f.gdbport, 1234);
	add("shell", f.shell_enable, 0);
	add("memchk", f.memchk_enable, 0);
	add("rescue", f.rescue_enable, 0);
	add("diags", f.standalone_diags, 0);
	if (f.ethport != '0')
		out += std::string(" eth=") + f.ethport;
	return out;
}

class BootFlagCases : public testing::TestWithParam<std::pair<const char *, const char *>> {};

TEST_P(BootFlagCases, ChangeOnlyWhatTheTextSays)
{
	EXPECT_EQ(GetParam().second, changed(GetParam().first)) << GetParam().first;
}

INSTANTIATE_TEST_SUITE_P(Table, BootFlagCases, testing::Values(
	std::make_pair("gdbport=-5", " gdbport=-5"),
	std::make_pair("gdbport=  +77x", " gdbport=77"),
	std::make_pair("gdbport=2147483647", " gdbport=2147483647"),
	// Too long for an int: the default stays.
	std::make_pair("gdbport=2147483648", ""),
	std::make_pair("gdbport=-99999999999999999999999", ""),
	std::make_pair("gdbserver=off gdbport=99", " gdbport=99"),
	std::make_pair("gdb=ON gdb=on", ""),
	std::make_pair("xgdb=on", " gdb=1"),
	std::make_pair("diagnostics=diagsx", " diags=1"),
	std::make_pair("diagnostics=rescue diagnostics=diags", " rescue=1"),
	std::make_pair("ethact=TSEC10", " eth=1")));

} // namespace

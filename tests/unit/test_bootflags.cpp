#include <gtest/gtest.h>

#include <string>

#include "launch/bootflags.h"

namespace {

BootFlags parse(const std::string &text)
{
	BootFlags f;
	parse_boot_flags(text.c_str(), &f);
	return f;
}

TEST(BootFlags, NothingFoundKeepsTheDefaults)
{
	for (std::string text : {std::string(), std::string(1280, '\xff'), std::string("bootdelay=3 baudrate=9600")}) {
		BootFlags f = parse(text);
		EXPECT_EQ(0, f.gdb_enable);
		EXPECT_EQ(0, f.gdbserver_enable);
		EXPECT_EQ(1234, f.gdbport);
		EXPECT_EQ(0, f.shell_enable);
		EXPECT_EQ(0, f.memchk_enable);
		EXPECT_EQ(0, f.rescue_enable);
		EXPECT_EQ(0, f.standalone_diags);
		EXPECT_EQ('0', f.ethport);
	}
}

TEST(BootFlags, ValuesArePrefixTests)
{
	BootFlags f = parse("gdb=on1 shell=onward memchk=yes diagnostics=rescue2");
	EXPECT_EQ(1, f.gdb_enable);
	EXPECT_EQ(1, f.shell_enable);
	EXPECT_EQ(0, f.memchk_enable);
	EXPECT_EQ(1, f.rescue_enable);
	EXPECT_EQ(0, f.standalone_diags);
	EXPECT_EQ(0, parse("gdb=off").gdb_enable);
	EXPECT_EQ(0, parse("gdb=o").gdb_enable);
	EXPECT_EQ(0, parse("gdb=ON").gdb_enable);
}

TEST(BootFlags, OneDiagnosticsValueSelectsAtMostOneMode)
{
	BootFlags diags = parse("diagnostics=diagsx");
	EXPECT_EQ(0, diags.rescue_enable);
	EXPECT_EQ(1, diags.standalone_diags);
	BootFlags other = parse("diagnostics=none");
	EXPECT_EQ(0, other.rescue_enable);
	EXPECT_EQ(0, other.standalone_diags);
}

TEST(BootFlags, OnlyTheFirstOccurrenceCounts)
{
	EXPECT_EQ(0, parse("gdb=off gdb=on").gdb_enable);
	EXPECT_EQ(1, parse("diagnostics=rescue diagnostics=diags").rescue_enable);
	EXPECT_EQ(0, parse("diagnostics=rescue diagnostics=diags").standalone_diags);
	// The search runs over names and values alike.
	EXPECT_EQ(1, parse("bootargs=console=ttyS0 gdb=on gdb=off").gdb_enable);
	EXPECT_EQ(1, parse("xgdb=on").gdb_enable);
}

TEST(BootFlags, GdbDoesNotMatchInsideGdbserverOrGdbport)
{
	BootFlags f = parse("gdbserver=off gdbport=99");
	EXPECT_EQ(0, f.gdb_enable);
	EXPECT_EQ(99, f.gdbport);
}

TEST(BootFlags, GdbserverForcesGdb)
{
	BootFlags f = parse("gdb=off gdbserver=on");
	EXPECT_EQ(1, f.gdbserver_enable);
	EXPECT_EQ(1, f.gdb_enable);
	EXPECT_EQ(1234, f.gdbport);
}

TEST(BootFlags, GdbportTakesAnyIntButNothingElse)
{
	EXPECT_EQ(4321, parse("gdbport=4321").gdbport);
	EXPECT_EQ(0, parse("gdbport=0").gdbport);
	EXPECT_EQ(-5, parse("gdbport=-5").gdbport);
	EXPECT_EQ(77, parse("gdbport=  +77x").gdbport);
	EXPECT_EQ(1234, parse("gdbport=abc").gdbport);
	EXPECT_EQ(1234, parse("gdbport=").gdbport);
	EXPECT_EQ(2147483647, parse("gdbport=2147483647").gdbport);
	// Too long for an int: no number, the default stays.
	EXPECT_EQ(1234, parse("gdbport=2147483648").gdbport);
	EXPECT_EQ(1234, parse("gdbport=-99999999999999999999999").gdbport);
}

TEST(BootFlags, EthactNamesThePortCharacter)
{
	EXPECT_EQ('1', parse("ethact=TSEC1").ethport);
	EXPECT_EQ('1', parse("ethact=TSEC10").ethport);
	EXPECT_EQ('0', parse("ethact=TSEC0").ethport);
	EXPECT_EQ('0', parse("ethact=").ethport);
}

TEST(BootFlags, AValueCutAtTheEndOfTheTextDoesNotMatch)
{
	EXPECT_EQ(0, parse("diagnostics=resc").rescue_enable);
	EXPECT_EQ(0, parse("shell=o").shell_enable);
}

} // namespace

// Boot flags: what the U-Boot environment asks of this boot.  Only read;
// the environment's own CRC is not checked.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash/flash.h"
#include "launch/bootflags.h"
#include "launch/services.h"

namespace {

BootFlags boot;

// A prefix test on the characters that follow a key: "on1" passes as "on".
bool value_starts(const char *value, const char *expected)
{
	return strncmp(value, expected, strlen(expected)) == 0;
}

// The value after the first occurrence of `key` anywhere in the text, names
// and values alike, or nullptr.
const char *find_key(const char *text, const char *key)
{
	const char *p = strstr(text, key);
	return p ? p + strlen(key) : nullptr;
}

// A decimal port number as "%d" reads it (leading blanks skipped, optional
// sign), but one that does not fit an int is no number at all.
bool parse_port(const char *value, int *port)
{
	char *end;
	errno = 0;
	long v = strtol(value, &end, 10);
	if (end == value || errno == ERANGE || v < INT_MIN || v > INT_MAX)
		return false;
	*port = (int)v;
	return true;
}

template <typename Flag> void set_switch(const char *text, const char *key, const char *expected, Flag *flag)
{
	const char *value = find_key(text, key);
	if (value)
		*flag = value_starts(value, expected);
}

} // namespace

void parse_boot_flags(const char *text, BootFlags *flags)
{
	set_switch(text, "gdb=", "on", &flags->gdb_enable);
	set_switch(text, "gdbserver=", "on", &flags->gdbserver_enable);
	if (flags->gdbserver_enable)
		flags->gdb_enable = 1;
	if (const char *value = find_key(text, "ethact="))
		flags->ethport = value_starts(value, "TSEC1") ? '1' : '0';
	if (const char *value = find_key(text, "gdbport="))
		parse_port(value, &flags->gdbport);
	set_switch(text, "shell=", "on", &flags->shell_enable);
	set_switch(text, "memchk=", "on", &flags->memchk_enable);
	set_switch(text, "diagnostics=", "rescue", &flags->rescue_enable);
	set_switch(text, "diagnostics=", "diags", &flags->standalone_diags);
}

bool read_boot_flags(BootFlags *flags)
{
	std::vector<char> window(ENV_WINDOW + 1, 0);
	if (api_flash_read((uint8_t *)window.data(), uboot_env_fd, ENV_WINDOW_OFFSET, ENV_WINDOW) != 0)
		return false;
	// The variables end in zero bytes; as blanks they make one searchable text.
	for (uint32_t i = 0; i < ENV_WINDOW; i++)
		if (window[i] == '\0')
			window[i] = ' ';
	parse_boot_flags(window.data(), flags);
	return true;
}


void parse_uboot_env()
{
	ignore_result(read_boot_flags(&boot));
}

const BootFlags &boot_flags()
{
	return boot;
}

#include "launch/launch.h"

#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include "i2c/i2c.h"
#include "image/record.h"
#include "launch/bootflags.h"
#include "launch/services.h"

// The launcher's own ELF header, placed by the linker: what a program must
// match to run on this board.
extern "C" const unsigned char __ehdr_start[] __attribute__((visibility("hidden")));

namespace {

constexpr const char *INSTALL_SCRIPT = "/tmp/home/bin/install.sh";
constexpr const char *ENV_SETUP = "/tmp/home/bin/env-setup";
constexpr const char *GDB = "/tmp/gdb";

char stringbuff[256];

void load_env_setup()
{
	File env(fopen(ENV_SETUP, "r"));
	if (!env)
		return;
	char name[512], value[512];
	for (;;) {
		memset(name, 0, sizeof name);
		memset(value, 0, sizeof value);
		if (fscanf(env.get(), "%511s %511s", name, value) < 1)
			break;
		setenv(name, value, 1);
	}
}

bool exists(const char *path)
{
	struct stat st;
	return stat(path, &st) == 0;
}

// Whether the file at `path` is a program for this board: an ELF executable
// of the launcher's own class, byte order and machine.  The shell would run
// anything else it is given (an archive left where the debugger belongs) as
// a script.
bool runs_here(const char *path)
{
	File f = open_regular(path);
	uint8_t head[20]; // e_ident, e_type, e_machine
	if (!f || fread(head, 1, sizeof head, f.get()) != sizeof head)
		return false;
	bool big_endian = head[EI_DATA] == ELFDATA2MSB;
	uint16_t type = big_endian ? load_be16(head + 16) : (uint16_t)(head[17] << 8 | head[16]);
	return memcmp(head, ELFMAG, SELFMAG) == 0 && head[EI_CLASS] == __ehdr_start[EI_CLASS] &&
	       head[EI_DATA] == __ehdr_start[EI_DATA] && memcmp(head + 18, __ehdr_start + 18, 2) == 0 &&
	       (type == ET_EXEC || type == ET_DYN);
}

[[noreturn]] void start_backtrace()
{
	fflush(stdout);
	fflush(stderr);
	execlp("/bin/backtrace", "/bin/backtrace", (char *)nullptr);
	fputs("Failed to start Application OS.\n", stderr);
	board_reset();
}

// The application under a debugger or checker, as a child: the board is
// rebooted when it ends, whatever it ended with.
[[noreturn]] void run_and_reset(const char *command)
{
	ignore_result(run_command(command));
	board_reset();
}

[[noreturn]] void start_application()
{
	const BootFlags &boot = boot_flags();
	if (boot.gdbserver_enable && boot.memchk_enable) {
		snprintf(stringbuff, sizeof stringbuff,
			 "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n", boot.gdbport);
		run_and_reset(stringbuff);
	}
	if (boot.gdbserver_enable) {
		snprintf(stringbuff, sizeof stringbuff, "/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n", boot.gdbport);
		run_and_reset(stringbuff);
	}
	if (boot.gdb_enable) {
		if (runs_here(GDB)) {
			puts("*** Launching under GDB ***");
			run_and_reset("/tmp/gdb /tmp/home/bin/mp.elf.strip");
		}
		puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
		start_backtrace();
	}
	if (boot.memchk_enable)
		run_and_reset("LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
	start_backtrace();
}

} // namespace

void launch_image(bool diagnostics)
{
	sleep(1);
	snprintf(stringbuff, sizeof stringbuff, "cd /tmp \ntar mxzf %s \nrm %s\n", ARCHIVE_PATH, ARCHIVE_PATH);
	if (run_command(stringbuff) < 0) {
		fputs("Failed to gunzip Application OS.\n", stderr);
		board_reset();
	}
	ignore_result(api_i2c_close());
	// The commands' results are not looked at: a diagnostics archive without
	// its program, or an install script that fails, shows at the start.
	if (diagnostics) {
		puts("install diags image");
		ignore_result(run_command("mkdir -p /tmp/home/bin"));
		ignore_result(run_command("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip"));
	}
	if (exists(INSTALL_SCRIPT)) {
		puts("Running AOS install script");
		ignore_result(run_command(INSTALL_SCRIPT));
		if (exists(ENV_SETUP))
			load_env_setup();
	}
	if (boot_flags().shell_enable) {
		puts("Dropping into shell");
		ignore_result(run_command("/bin/sh\n"));
		puts("Dropping out of shell");
	}
	start_application();
}

// The launcher: started once by the root filesystem after the kernel is up.
// Arguments are accepted and ignored; it never returns.
#include <cstdio>

#include "flash/flash.h"
#include "i2c/i2c.h"
#include "launch/bootflags.h"
#include "launch/extract.h"
#include "launch/services.h"
#include "mgmt/mgmt.h"
#include "rescue/rescue.h"

namespace {

// The slot to boot: 1 or 2, whatever else the VPD says.
int which_image()
{
	return api_get_image() == 2 ? 2 : 1;
}

} // namespace

int main()
{
	// Nothing of the start-up is checked here: a missing device shows later
	// as slot 1, as missing image files or as failing flash operations.
	ignore_result(sig_init());
	ignore_result(api_i2c_init());
	ignore_result(api_flash_init());
	parse_uboot_env();
	ignore_result(run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user"));
	const BootFlags &boot = boot_flags();
	if (boot.rescue_enable)
		ignore_result(run_rescue_mode());
	if (boot.standalone_diags)
		ignore_result(run_standalone_diags());
	int slot = which_image();
	if (boot.gdbserver_enable)
		ignore_result(mgmt_port_setup(1));
	printf("Booting image '%d'\n", slot);
	ignore_result(extract_image(slot));
	int other = other_slot(slot);
	printf("Booting image '%d'\n", other);
	tried_alt_image = 1;
	ignore_result(extract_image(other));
	board_reset();
}

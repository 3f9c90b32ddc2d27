#include "rescue/rescue.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "image/image.h"
#include "launch/extract.h"
#include "launch/services.h"
#include "rescue/console.h"
#include "rescue/download.h"

namespace {

void print_menu()
{
	puts("Please select one of the following options:");
	printf("\t%c) Configure networking and tftp download an image\n", 'T');
	printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
	printf("\t%c) Reboot\n", 'R');
	printf("\t%c) Exit\n", 'E');
}

// Prompts until a key that names an operation is typed.  U is not one: it
// has no operation, so it gets the same answer as any other unknown key.
int read_option()
{
	for (;;) {
		printf("\nOption? : ");
		fflush(stdout);
		int key = uartGetC();
		printf("%c\n", key);
		if (sig_quit_raised) {
			sig_quit_raised = 0;
			continue;
		}
		if (key == 0)
			continue;
		key = toupper(key);
		if (strchr("TXHRDE", key))
			return key;
		printf("unknown option \"%c\". Please try again\n", key);
	}
}

// What cannot be read shows as version 0.0.0.0.
void print_version(const char *format, uint32_t type, int slot)
{
	uint8_t header[BASIC_HEADER_LEN];
	ignore_result(read_flash_image_header(type, header, slot));
	uint32_t id = decode_fixed_header(header).id;
	printf(format, (int)(id >> 24), (int)(id >> 16 & 0xFF), (int)(id >> 8 & 0xFF), (int)(id & 0xFF));
}

} // namespace

int run_rescue_mode()
{
	puts("Entering Rescue Mode.");
	for (;;) {
		print_menu();
		switch (read_option()) {
		// The downloads say themselves how they went.
		case 'T':
			ignore_result(run_tftp_rescue());
			break;
		case 'X':
			ignore_result(run_xmodem_rescue());
			break;
		case 'R':
			sleep(1);
			board_reset();
		case 'E':
			return 1;
		case 'D':
			ignore_result(run_standalone_diags());
			break;
		case 'H':
			ignore_result(run_image_display());
			break;
		}
		if (sig_quit_raised)
			sig_quit_raised = 0;
	}
}

int run_image_display()
{
	puts("Installed images versions: ");
	print_version("\tBoot image  : %d.%d.%d.%d\n", TYPE_UBOOT, 0);
	print_version("\tRFS image   : %d.%d.%d.%d\n", TYPE_RFS, 0);
	print_version("\tKernel image: %d.%d.%d.%d\n", TYPE_KERNEL, 0);
	print_version("\tDFT image   : %d.%d.%d.%d\n", TYPE_DFT, 0);
	print_version("\tOS image 1  : %d.%d.%d.%d\n", TYPE_APPLICATION, 1);
	print_version("\tOS image 2  : %d.%d.%d.%d\n", TYPE_APPLICATION, 2);
	return 0;
}

int run_standalone_diags()
{
	printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
	fflush(stdout);
	int key = uartGetC();
	putchar('\n');
	if (key != 0 && toupper(key) == 'Y') {
		// Each step's failure shows in the next one, or in a boot that finds
		// no slot files.
		puts("unmount filesystem");
		ignore_result(run_command("/bin/umount /user &> /dev/null"));
		puts("\nErasing filesystem for clean install");
		ignore_result(run_command("flash_eraseall /dev/mtd-user-char"));
		puts("Mounting...");
		ignore_result(run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null"));
		puts("creating default filesystem");
		ignore_result(make_images_dir());
	}
	puts("Booting diags image...");
	fflush(stdout);
	ignore_result(extract_image_from_flash());
	return 1;
}

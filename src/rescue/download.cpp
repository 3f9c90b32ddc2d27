#include "rescue/download.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "image/image.h"
#include "launch/services.h"
#include "mgmt/mgmt.h"
#include "rescue/console.h"
#include "xmodem/xmodem.h"

namespace {

constexpr int FILENAME_SIZE = 128;
constexpr int TFTP_ATTEMPTS = 3;

bool downloaded()
{
	struct stat st;
	return lstat(DOWNLOAD_PATH, &st) == 0 && S_ISREG(st.st_mode);
}

// A client whose transfer fails may leave what an earlier download put
// there (busybox tftp does): only what arrives in this attempt may ever be
// installed.
void forget_download()
{
	if (unlink(DOWNLOAD_PATH) != 0 && errno == EISDIR)
		rmdir(DOWNLOAD_PATH);
}

// Characters that mean nothing to the shell inside a word.
bool plain_char(unsigned char c)
{
	return isalnum(c) || strchr("._-/+:@~,", c) != nullptr;
}

// The file name as one shell word that stands for exactly that name: names
// of plain characters as they are, any other name single-quoted.  A leading
// '~' would be expanded to a home directory, so it is quoted too.
std::string shell_word(const char *name)
{
	bool plain = name[0] != '~';
	for (const char *p = name; *p && plain; p++)
		plain = plain_char((unsigned char)*p);
	if (plain)
		return name;

	std::string word = "'";
	for (const char *p = name; *p; p++) {
		if (*p == '\'')
			word += "'\\''";
		else
			word += *p;
	}
	word += "'";
	return word;
}

// 1 when a usable name was typed; 0 when the operator quit.
int ask_filename(char *filename)
{
	for (;;) {
		fputs("Image Filename: ", stdout);
		fflush(stdout);
		get_user_input(filename, FILENAME_SIZE);
		if (strlen(filename) >= 2)
			return 1;
		if (strcmp(filename, "q") == 0)
			return 0;
		if (sig_quit_raised)
			return 0;
		puts("Invalid filename. Try again please");
	}
}

// Up to three tries of the TFTP client; 1 when /tmp/image arrived.
int tftp_fetch(const char *filename, struct in_addr server)
{
	char address[INET_ADDRSTRLEN];
	snprintf(address, sizeof(address), "%s", inet_ntoa(server));
	std::string command = "tftp -g -r " + shell_word(filename) + " -l " + DOWNLOAD_PATH + " " + address + "\n";

	for (int attempt = 1; attempt <= TFTP_ATTEMPTS; attempt++) {
		if (sig_quit_raised)
			return 0;
		printf("Installing image %s from TFTP server %s\n", filename, address);
		forget_download();
		ignore_result(run_command(command.c_str())); // judged by the file alone
		if (downloaded())
			return 1;
		printf("Attempt %d/3 of tftp timed out\n", attempt);
		fflush(stdout);
		sleep(3);
	}
	if (downloaded())
		return 1;
	puts("Tftp download failed. Aborting");
	return 0;
}

} // namespace

int run_tftp_rescue()
{
	char port = '1';
	uint8_t use_dhcp = 0;
	struct in_addr address = {0}, netmask = {0}, gateway = {0}, server = {0};
	char filename[FILENAME_SIZE] = "";

	puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
	if (!mgmt_port_params(&port, &use_dhcp, &address, &netmask, &gateway, 0))
		return 0;
	if (!get_ip_addr("Server addr:", &server, 1, 1))
		return 0;
	if (!ask_filename(filename))
		return 0;
	if (sig_quit_raised)
		return 0;

	// Port '1' is never link-tested: there is no failure to look at.
	ignore_result(mgmt_port_configure(use_dhcp, '1', address, netmask, gateway));
	if (!tftp_fetch(filename, server))
		return 0;
	return processNorvikImage(DOWNLOAD_PATH, 0, 0);
}

int run_xmodem_rescue()
{
	puts("Running xmodem rescue.....");
	fflush(stdout);
	int fd = init_serial();
	// A line that cannot be opened cannot carry a transfer: back to the menu.
	if (fd < 0)
		return 0;
	forget_download();
	std::string command = std::string("/usr/bin/rx ") + DOWNLOAD_PATH;
	ignore_result(run_command(command.c_str())); // judged by the file alone
	// The operator's Enter is all it waits for.
	ignore_result(reset_serial(fd));
	close(fd);
	if (!downloaded())
		return 0;
	return processNorvikImage(DOWNLOAD_PATH, 0, 0);
}

// Drives the management port and the download rescues from a terminal, one
// operation per word, so that system tests can answer their questions key
// by key, check the console byte for byte and the command lines in the
// board's trace.  Standard input and output are left to the modules; this
// program's result lines go to the file named by -r (standard error
// without it).
//
//   mgmtdrv [-r RESULTS] OP ARGS... [OP ARGS...]
//     verify ADDR                     verify_ip_address
//     ask PROMPT REQUIRED VALIDATE INITIAL
//                                     get_ip_addr into a variable holding
//                                     INITIAL (dotted)
//     params OFFER                    mgmt_port_params
//     configure DHCP PORT ADDR MASK GW
//                                     mgmt_port_configure (addresses dotted)
//     setup OFFER                     mgmt_port_setup
//     link PORT                       mgmt_link_status
//     flash-init | i2c-init           api_flash_init / api_i2c_init
//     tftp | xmodem                   run_tftp_rescue / run_xmodem_rescue
//
// SIGINT is handled by the launcher's own handler (sig_init): installed without
// SA_RESTART, it only sets sig_quit_raised.
#include <arpa/inet.h>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/flash.h"
#include "i2c/i2c.h"
#include "launch/services.h"
#include "mgmt/mgmt.h"
#include "rescue/console.h"
#include "rescue/download.h"

namespace {

FILE *results = stderr;

__attribute__((format(printf, 1, 2))) void result(const char *format, ...)
{
	va_list args;
	fflush(stdout);
	va_start(args, format);
	vfprintf(results, format, args);
	va_end(args);
	fputc('\n', results);
	fflush(results);
}

struct in_addr address(const char *dotted)
{
	struct in_addr a = {0};
	if (!inet_aton(dotted, &a)) {
		fprintf(stderr, "mgmtdrv: bad address %s\n", dotted);
		exit(2);
	}
	return a;
}

// inet_ntoa's buffer is shared: one call per printf.
const char *dotted(struct in_addr a, char *buf)
{
	snprintf(buf, INET_ADDRSTRLEN, "%s", inet_ntoa(a));
	return buf;
}

void need(int argc, int i, int n)
{
	if (i + n >= argc) {
		fprintf(stderr, "mgmtdrv: missing arguments\n");
		exit(2);
	}
}

void op_params(int offer)
{
	char port = '1';
	uint8_t use_dhcp = 0;
	struct in_addr a = {0}, m = {0}, g = {0};
	char b1[INET_ADDRSTRLEN], b2[INET_ADDRSTRLEN], b3[INET_ADDRSTRLEN];
	int r = mgmt_port_params(&port, &use_dhcp, &a, &m, &g, offer);
	result("params %d port=%c dhcp=%d %s %s %s", r, port, use_dhcp, dotted(a, b1), dotted(m, b2),
	       dotted(g, b3));
}

int run(int argc, char **argv, int i)
{
	const char *op = argv[i];
	if (strcmp(op, "verify") == 0) {
		need(argc, i, 1);
		result("verify %d", verify_ip_address(address(argv[i + 1]).s_addr));
		return i + 2;
	}
	if (strcmp(op, "ask") == 0) {
		need(argc, i, 4);
		struct in_addr a = address(argv[i + 4]);
		char buf[INET_ADDRSTRLEN];
		int r = get_ip_addr(argv[i + 1], &a, atoi(argv[i + 2]), atoi(argv[i + 3]));
		result("ask %d %s", r, dotted(a, buf));
		return i + 5;
	}
	if (strcmp(op, "params") == 0) {
		need(argc, i, 1);
		op_params(atoi(argv[i + 1]));
		return i + 2;
	}
	if (strcmp(op, "configure") == 0) {
		need(argc, i, 5);
		result("configure %d", mgmt_port_configure((uint8_t)atoi(argv[i + 1]), argv[i + 2][0],
							    address(argv[i + 3]), address(argv[i + 4]),
							    address(argv[i + 5])));
		return i + 6;
	}
	if (strcmp(op, "setup") == 0) {
		need(argc, i, 1);
		result("setup %d", mgmt_port_setup(atoi(argv[i + 1])));
		return i + 2;
	}
	if (strcmp(op, "link") == 0) {
		need(argc, i, 1);
		result("link %d", mgmt_link_status(argv[i + 1][0]));
		return i + 2;
	}
	if (strcmp(op, "flash-init") == 0) {
		api_flash_init();
		return i + 1;
	}
	if (strcmp(op, "i2c-init") == 0) {
		api_i2c_init();
		return i + 1;
	}
	if (strcmp(op, "tftp") == 0) {
		result("tftp %d", run_tftp_rescue());
		return i + 1;
	}
	if (strcmp(op, "xmodem") == 0) {
		result("xmodem %d", run_xmodem_rescue());
		return i + 1;
	}
	fprintf(stderr, "mgmtdrv: unknown operation %s\n", op);
	exit(2);
}

} // namespace

int main(int argc, char **argv)
{
	int i = 1;
	if (argc > 2 && strcmp(argv[1], "-r") == 0) {
		results = fopen(argv[2], "a");
		if (!results) {
			perror(argv[2]);
			return 2;
		}
		i = 3;
	}
	sig_init();
	while (i < argc)
		i = run(argc, argv, i);
	return 0;
}

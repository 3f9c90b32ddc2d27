#include "launch/services.h"

#include <cstdlib>
#include <sys/wait.h>

int run_command(const char *line)
{
	fflush(stdout);
	fflush(stderr);
	return system(line);
}

bool command_succeeded(int status)
{
	return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

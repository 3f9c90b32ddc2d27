#include "launch/services.h"

#include <cstdlib>

int run_command(const char *line)
{
	fflush(stdout);
	fflush(stderr);
	return system(line);
}

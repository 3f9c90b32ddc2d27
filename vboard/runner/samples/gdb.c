/* Sample debugger: a program for the board, as a real debugger is, that
 * names the program it was given and runs it. */
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	printf("GDB");
	for (int i = 1; i < argc; i++)
		printf(" %s", argv[i]);
	printf("\n");
	fflush(stdout);
	if (argc < 2)
		return 0;
	execv(argv[1], argv + 1);
	perror(argv[1]);
	return 127;
}

// Board services: the few ways of touching the board's fixed paths, the
// console and its commands that every module needs done the same way.
#pragma once

#include <cstdio>
#include <memory>

struct FileCloser {
	void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Runs a shell command line once whatever was printed before it has reached
// the console; the result of system().
int run_command(const char *line);
// Whether a result of run_command says the command ran and exited with 0.
bool command_succeeded(int status);

// Board services: the few ways of touching the board's fixed paths, the
// console and its commands that every module needs done the same way.
#pragma once

#include <cstdio>
#include <memory>

struct FileCloser {
	void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The regular file at `path`, opened for reading; null with errno set when
// it cannot be opened.  A link, FIFO, device or folder at the path counts
// as a file that cannot be opened: the open never follows a link there and
// never waits for a writer.
File open_regular(const char *path);

// Clears `path` for a regular file of its own: a link, FIFO, device, empty
// folder or a file that shares its data with another name is removed, so
// that what is written there goes nowhere else.  A regular file with no
// other name stays.  False, with errno set, when the path cannot be
// cleared (a folder that is not empty, a parent that is no folder).
bool clear_for_regular(const char *path);

// `path` as an empty regular file of its own, opened for writing; never
// written through a link or into anything else that is there (see
// clear_for_regular).  Null with errno set when it cannot be made.
File create_regular(const char *path);

// Runs a shell command line once whatever was printed before it has reached
// the console; the result of system().
int run_command(const char *line);
// Whether a result of run_command says the command ran and exited with 0.
bool command_succeeded(int status);

// One answer line from standard input into `buf`, at most size - 1
// characters; the rest of a longer line is read and dropped, so that it can
// never answer the next question.  Null when nothing could be read.
char *read_answer(char *buf, int size);

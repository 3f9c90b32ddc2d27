// Board services: the few ways of touching the board's fixed paths, its
// memory, the console and its commands, and of ending a run, that every
// module needs done the same way.  The bottom of the launcher: it calls no
// other module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// The user filesystem's folder of application slot files.
constexpr const char *IMAGES_DIR = "/user/images";
// Where a downloaded package, or the recovery image on its way to a slot,
// is kept.
constexpr const char *DOWNLOAD_PATH = "/tmp/image";
// The application archive that the launch unpacks.
constexpr const char *ARCHIVE_PATH = "/tmp/quartzimage.tar.gz";

// The file of application slot `slot`: "/user/images/image1" for 1.
std::string slot_path(int slot);
// 2 for slot 1, 1 for any other.
int other_slot(int slot);
// Makes sure the slot files' folder is there, by the board's own mkdir; the
// result of run_command.
[[nodiscard]] int make_images_dir();

// A result that is deliberately not looked at: the reason stands beside
// each use.
template <typename T> void ignore_result(const T &) {}

// Set to 1 by the SIGINT handler and by nothing else; the rescue console
// tests it after its reads.  A single byte, only ever stored whole.
extern volatile unsigned char sig_quit_raised;

// Installs the SIGINT handler that sets sig_quit_raised, without automatic
// restart of interrupted reads; the result of sigaction.
int sig_init();

// Reboots the board; never returns.
[[noreturn]] void board_reset();

// Whoever needs to know that a file was written completely closes it
// with fclose itself.
struct FileCloser {
	void operator()(FILE *f) const { ignore_result(fclose(f)); }
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

struct BufferRelease {
	size_t mapped = 0; // bytes mapped for the block alone; 0: from the heap
	void operator()(uint8_t *p) const;
};
// A zero-filled block of memory of its own, released with it.
using Buffer = std::unique_ptr<uint8_t[], BufferRelease>;

// `length` bytes (at least one), null when the memory cannot be had.  A
// block of megabytes has all its pages put in place at once, in huge pages
// where the kernel has them: a record of tens of megabytes read into pages
// that are faulted in one by one as the read reaches them spends most of
// its time in those faults.
Buffer allocate_buffer(size_t length);

// Runs a shell command line once whatever was printed before it has reached
// the console; the result of system().  The one way the launcher runs a
// command.
[[nodiscard]] int run_command(const char *line);
// Whether a result of run_command says the command ran and exited with 0.
bool command_succeeded(int status);

// One answer line from standard input into `buf`, at most size - 1
// characters; the rest of a longer line is read and dropped, so that it can
// never answer the next question.  Null when nothing could be read.
char *read_answer(char *buf, int size);

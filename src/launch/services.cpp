#include "launch/services.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

volatile unsigned char sig_quit_raised;

namespace {

// Buffers of at least this size are mapped on their own, aligned so that
// the kernel can back them with huge pages; smaller ones come from the heap.
constexpr size_t HUGE_PAGE = 2u << 20;

void sig_handler(int)
{
	sig_quit_raised = 1;
}

size_t round_up(size_t n, size_t unit)
{
	return (n + unit - 1) / unit * unit;
}

// A private mapping of `size` bytes (a multiple of the page size) starting
// at a multiple of `align`; the slack around it is given back at once.
uint8_t *map_aligned(size_t size, size_t align)
{
	size_t span = size + align;
	void *m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (m == MAP_FAILED)
		return nullptr;
	uintptr_t start = (uintptr_t)m;
	uintptr_t aligned = round_up(start, align);
	// Slack that cannot be given back only stays mapped, untouched.
	if (aligned > start)
		ignore_result(munmap(m, aligned - start));
	size_t tail = start + span - (aligned + size);
	if (tail > 0)
		ignore_result(munmap((void *)(aligned + size), tail));
	return (uint8_t *)aligned;
}

// Puts every page of the block in place now, in one call, instead of one
// fault per page as the bytes are first written.  Only advice: where the
// kernel does not take it, the pages come as they are touched.
void populate(uint8_t *p, size_t size)
{
	ignore_result(madvise(p, size, MADV_HUGEPAGE));
#ifdef MADV_POPULATE_WRITE
	ignore_result(madvise(p, size, MADV_POPULATE_WRITE));
#endif
}

// The descriptor goes back to blocking mode, and into a stream.  Null, with
// the descriptor closed and errno set, on failure.
File stream_of(int fd, const char *mode)
{
	int flags = fcntl(fd, F_GETFL);
	FILE *f = flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ? nullptr : fdopen(fd, mode);
	if (!f) {
		int saved = errno;
		close(fd);
		errno = saved;
	}
	return File(f);
}

// 0 when `fd` is a regular file, else the errno that says why not.
int regular_or_why(int fd, bool sole_name)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return errno;
	if (S_ISDIR(st.st_mode))
		return EISDIR;
	if (!S_ISREG(st.st_mode) || (sole_name && st.st_nlink != 1))
		return EINVAL;
	return 0;
}

File refuse(int fd, int why)
{
	close(fd);
	errno = why;
	return File();
}

} // namespace

std::string slot_path(int slot)
{
	return std::string(IMAGES_DIR) + "/image" + std::to_string(slot);
}

int other_slot(int slot)
{
	return slot == 1 ? 2 : 1;
}

int make_images_dir()
{
	return run_command((std::string("mkdir ") + IMAGES_DIR + " &> /dev/null").c_str());
}

int sig_init()
{
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = sig_handler;
	sigemptyset(&sa.sa_mask);
	// No SA_RESTART: a console read cut short by Ctrl-C must fail, so that
	// the waiting code can look at the flag.
	sa.sa_flags = 0;
	return sigaction(SIGINT, &sa, nullptr);
}

void board_reset()
{
	sleep(1);
	if (run_command("reboot") < 0)
		fputs("System reboot failed, please power-cycle.\n", stderr);
	exit(0);
}

void BufferRelease::operator()(uint8_t *p) const
{
	if (mapped > 0)
		ignore_result(munmap(p, mapped));
	else
		free(p);
}

Buffer allocate_buffer(size_t length)
{
	if (length < HUGE_PAGE)
		return Buffer((uint8_t *)calloc(length ? length : 1, 1));
	size_t page = (size_t)sysconf(_SC_PAGESIZE);
	if (length > SIZE_MAX - HUGE_PAGE - page)
		return Buffer();
	size_t size = round_up(length, page);
	uint8_t *p = map_aligned(size, HUGE_PAGE);
	if (!p)
		return Buffer();
	populate(p, size);
	return Buffer(p, BufferRelease{size});
}

File open_regular(const char *path)
{
	int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return File();
	if (int why = regular_or_why(fd, false))
		return refuse(fd, why);
	return stream_of(fd, "rb");
}

bool clear_for_regular(const char *path)
{
	struct stat st;
	if (lstat(path, &st) != 0)
		return errno == ENOENT;
	if (S_ISREG(st.st_mode) && st.st_nlink == 1)
		return true;
	if (S_ISDIR(st.st_mode))
		return rmdir(path) == 0;
	return unlink(path) == 0;
}

File create_regular(const char *path)
{
	if (!clear_for_regular(path))
		return File();
	// Truncated only once it is known to be ours alone.
	int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
	if (fd < 0)
		return File();
	if (int why = regular_or_why(fd, true))
		return refuse(fd, why);
	if (ftruncate(fd, 0) != 0)
		return refuse(fd, errno);
	return stream_of(fd, "wb");
}

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

char *read_answer(char *buf, int size)
{
	if (!fgets(buf, size, stdin))
		return nullptr;
	if (!strchr(buf, '\n')) {
		int c;
		do
			c = getchar();
		while (c != '\n' && c != EOF);
	}
	return buf;
}

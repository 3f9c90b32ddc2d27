// The package installer on arbitrary package contents, in a private root
// without device models: every flash write fails cleanly there, so the
// application records are what gets installed, into /user/images of the
// private root.  Whatever the package holds, a slot file is only ever
// written whole, as an intact application record of the package, and only
// into the slot asked for.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "image/image.h"
#include "image/record.h"
#include "sandbox.h"

namespace {

constexpr const char *IMAGES = "/user/images";

std::vector<uint8_t> read_file(const char *path, bool *exists)
{
	std::vector<uint8_t> bytes;
	*exists = false;
	FILE *f = fopen(path, "rb");
	if (!f)
		return bytes;
	*exists = true;
	uint8_t piece[4096];
	size_t n;
	while ((n = fread(piece, 1, sizeof piece, f)) > 0)
		bytes.insert(bytes.end(), piece, piece + n);
	fclose(f);
	return bytes;
}

void write_file(const char *path, const uint8_t *data, size_t size)
{
	FILE *f = fopen(path, "wb");
	if (!f || fwrite(data, 1, size, f) != size)
		abort();
	fclose(f);
}

// Slot 1 holds a copy of the package's first header (so that the "same
// version" path is reachable), slot 2 nothing.
void prepare_slots(const uint8_t *data, size_t size)
{
	unlink("/user/images/image1");
	unlink("/user/images/image2");
	mkdir(IMAGES, 0755);
	write_file("/user/images/image1", data, size < IMAGE_HEADER_READ ? size : IMAGE_HEADER_READ);
}

// A slot file the installer wrote must be exactly one intact application
// record, and the package must hold those very bytes.  (A record may be
// shorter than the bytes a walk reads ahead, so its header is decoded here
// from a padded copy.)
void check_written_slot(const std::vector<uint8_t> &slot, const uint8_t *data, size_t size)
{
	if (slot.size() < BASIC_HEADER_LEN || !record_intact(slot.data(), (uint32_t)slot.size()))
		abort();
	uint8_t head[IMAGE_HEADER_READ] = {};
	std::copy(slot.begin(), slot.begin() + (long)std::min(slot.size(), sizeof head), head);
	ImageHeader hdr = decode_header(head);
	if (header_type(hdr) != TYPE_APPLICATION)
		abort();
	bool length_known = !header_is_extended(hdr) || slot.size() >= IMAGE_HEADER_READ;
	if (length_known && (uint64_t)header_length(hdr) + hdr.len != slot.size())
		abort();
	for (uint64_t off = 0; off + slot.size() <= size; off++)
		if (std::equal(slot.begin(), slot.end(), data + off))
			return;
	abort();
}

// Set on the fuzzing thread while the installer runs: its waits for the
// EEPROM pass at once, as in the virtual board's fast time.  The fuzzer's
// own threads sleep for real.
thread_local bool virtual_time;

void real_sleep(time_t seconds, long nanoseconds)
{
	struct timespec t = {seconds, nanoseconds};
	while (nanosleep(&t, &t) != 0 && errno == EINTR)
		;
}

} // namespace

extern "C" int usleep(useconds_t us)
{
	if (!virtual_time)
		real_sleep(us / 1000000, (long)(us % 1000000) * 1000);
	return 0;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
	if (!virtual_time)
		real_sleep(seconds, 0);
	return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	enter_private_root();
	silence_stdout();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	prepare_slots(data, size);
	std::vector<uint8_t> before(data, data + (size < IMAGE_HEADER_READ ? size : IMAGE_HEADER_READ));

	int fd = memfd_create("package", 0);
	if (fd < 0 || write(fd, data, size) != (ssize_t)size)
		abort();
	char path[64];
	snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
	// A slot given up front: the installer never asks, and so never takes
	// the path that boots the downloaded application.
	uint32_t slot = 1 + (size & 1);
	virtual_time = true;
	int result = processNorvikImage(path, 1, slot);
	virtual_time = false;
	fflush(stdout);
	close(fd);

	bool has1, has2;
	std::vector<uint8_t> image1 = read_file("/user/images/image1", &has1);
	std::vector<uint8_t> image2 = read_file("/user/images/image2", &has2);
	bool wrote1 = !has1 || image1 != before;
	bool wrote2 = has2;
	if (result != 0 && result != 1)
		abort();
	if ((slot == 1 && wrote2) || (slot == 2 && wrote1))
		abort(); // the other slot was touched
	bool wrote = slot == 1 ? wrote1 : wrote2;
	if (wrote)
		check_written_slot(slot == 1 ? image1 : image2, data, size);
	// Without flash, only a slot file counts as an installed component.
	if (result == 1 && !wrote)
		abort();
	return 0;
}

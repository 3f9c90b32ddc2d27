// The package installer on arbitrary package contents, inside a virtual
// board: the flash partitions, the VPD and /user are the board's, through
// its device models.  Whatever the package holds:
// - a slot file is only ever written whole, as an intact application
//   record of the package, and only in the slot asked for;
// - a partition only ever changes to an intact record of its own type
//   from the package (the boot loader's to its payload), and the
//   environment partition never;
// - the result says whether anything was installed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files.h"
#include "flash/flash.h"
#include "i2c/i2c.h"
#include "image/image.h"
#include "image/record.h"
#include "sleeps.h"

namespace {

constexpr const char *IMAGES = "/user/images";

// A partition and the record type it takes; 0 for one the installer
// never writes.
struct Partition {
	int *fd;
	uint32_t type;
};

const Partition PARTITIONS[] = {
	{&uboot_fd, TYPE_UBOOT},   {&uboot_env_fd, 0}, {&device_tree_fd, TYPE_DFT},
	{&kernel_fd, TYPE_KERNEL}, {&rfs_fd, TYPE_RFS}, {&rescue_fd, TYPE_DIAGS},
};

// Slot 1 holds a copy of the package's first header (so that the "same
// version" path is reachable), slot 2 nothing.
void prepare_slots(const uint8_t *data, size_t size)
{
	unlink("/user/images/image1");
	unlink("/user/images/image2");
	mkdir(IMAGES, 0755);
	write_file("/user/images/image1", data, std::min<size_t>(size, IMAGE_HEADER_READ));
}

// The first `n` bytes of each partition: no record of the package reaches
// further.
std::vector<Bytes> partition_heads(size_t n)
{
	std::vector<Bytes> heads;
	for (const Partition &p : PARTITIONS) {
		Bytes head(n);
		if (n > 0 && api_flash_read(head.data(), *p.fd, 0, (uint32_t)n) != 0)
			abort();
		heads.push_back(head);
	}
	return heads;
}

// The intact records of the package, as the record walk finds them.
struct Found {
	uint32_t type;
	Bytes record;
	Bytes payload;
};

std::vector<Found> intact_records(const Bytes &package)
{
	std::vector<Found> found;
	uint64_t off = 0;
	for (;;) {
		WalkEntry e = walk_step(package.data() + off, package.size() - off);
		if (e.step != WalkStep::record)
			return found;
		const uint8_t *start = package.data() + off;
		if (record_intact(start, e.record_len))
			found.push_back({header_type(e.hdr), Bytes(start, start + e.record_len),
					 Bytes(start + e.header_len, start + e.record_len)});
		off += e.record_len;
	}
}

bool starts_with(const Bytes &bytes, const Bytes &prefix)
{
	return prefix.size() <= bytes.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// A partition that changed holds one of the package's intact records of
// its type from byte 0.
void check_partition(const Partition &p, const Bytes &before, const Bytes &after, const std::vector<Found> &records)
{
	if (before == after)
		return;
	for (const Found &r : records)
		if (p.type != 0 && r.type == p.type && starts_with(after, p.type == TYPE_UBOOT ? r.payload : r.record))
			return;
	abort();
}

bool any_installable(const std::vector<Found> &records)
{
	for (const Found &r : records)
		for (const Partition &p : PARTITIONS)
			if (r.type == TYPE_APPLICATION || (p.type != 0 && r.type == p.type))
				return true;
	return false;
}

// A slot file the installer wrote must be exactly one intact application
// record of the package.
void check_written_slot(const Bytes &slot, const std::vector<Found> &records)
{
	for (const Found &r : records)
		if (r.type == TYPE_APPLICATION && r.record == slot)
			return;
	abort();
}

} // namespace

// The installer's waits for the EEPROM pass at once, as in the virtual
// board's fast time.
void virtual_sleep(unsigned int) {}
void virtual_usleep(useconds_t) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// Outside a board there is no flash, and nothing here may reach the
	// PC's own /user.
	if (api_flash_init() != 0 || api_i2c_init() != 0) {
		fflush(stdout);
		fprintf(stderr, "fuzz_installer: no board devices (run it inside a virtual board)\n");
		exit(1);
	}
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Bytes package(data, data + size);
	prepare_slots(data, size);
	Bytes before(data, data + std::min<size_t>(size, IMAGE_HEADER_READ));
	std::vector<Bytes> heads = partition_heads(size);

	int fd = memfd_create("package", 0);
	if (fd < 0 || write(fd, data, size) != (ssize_t)size)
		abort();
	char path[64];
	snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
	// A slot given up front: the installer never asks, and so never takes
	// the path that boots the downloaded application.
	uint32_t slot = 1 + (size & 1);
	begin_virtual_time();
	int result = processNorvikImage(path, 1, slot);
	end_virtual_time();
	fflush(stdout);
	close(fd);

	if (result != 0 && result != 1)
		abort();
	std::vector<Found> records = intact_records(package);
	std::vector<Bytes> after = partition_heads(size);
	bool flash_changed = false;
	for (size_t i = 0; i < heads.size(); i++) {
		check_partition(PARTITIONS[i], heads[i], after[i], records);
		flash_changed = flash_changed || heads[i] != after[i];
	}
	Bytes image1, image2;
	bool has1 = read_file("/user/images/image1", &image1);
	bool has2 = read_file("/user/images/image2", &image2);
	bool wrote1 = !has1 || image1 != before;
	bool wrote2 = has2;
	if ((slot == 1 && wrote2) || (slot == 2 && wrote1))
		abort(); // the other slot was touched
	bool wrote = slot == 1 ? wrote1 : wrote2;
	if (wrote)
		check_written_slot(slot == 1 ? image1 : image2, records);
	// Nothing is said to be installed that could not be.  (A record the
	// same as the one in place is rewritten without a visible change.)
	if (result == 1 && !wrote && !flash_changed && !any_installable(records))
		abort();
	return 0;
}

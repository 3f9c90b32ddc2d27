// The package installer on arbitrary package contents, inside a virtual
// board: the flash partitions, the VPD and /user are the board's, through
// its device models.  Whatever the package holds, a slot file is only ever
// written whole, as an intact application record of the package, and only
// in the slot asked for; a partition only ever changes to an intact record
// of its own type (the boot loader's to its payload), the environment
// never; and nothing is said to be installed that could not be.
#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

#include "flash/flash.h"
#include "harness.h"
#include "i2c/i2c.h"
#include "image/image.h"
#include "image/record.h"

namespace {

// A partition and the record type it takes; 0 for one never written.
const std::pair<int *, uint32_t> PARTITIONS[] = {
	{&uboot_fd, TYPE_UBOOT},   {&uboot_env_fd, 0}, {&device_tree_fd, TYPE_DFT},
	{&kernel_fd, TYPE_KERNEL}, {&rfs_fd, TYPE_RFS}, {&rescue_fd, TYPE_DIAGS},
};

// The first `n` bytes of each partition: no record of the package reaches further.
std::vector<Bytes> partition_heads(size_t n)
{
	std::vector<Bytes> heads;
	for (const auto &p : PARTITIONS) {
		heads.emplace_back(n);
		if (n > 0 && api_flash_read(heads.back().data(), *p.first, 0, (uint32_t)n) != 0)
			abort();
	}
	return heads;
}

struct Found {
	uint32_t type;
	Bytes record, payload;
};

// The intact records of the package, as the record walk finds them.
std::vector<Found> intact_records(const Bytes &package)
{
	std::vector<Found> found;
	for (uint64_t off = 0;;) {
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

// Whether `bytes` starts with an intact record of type `type` of the
// package (its payload for the boot loader), or is one whole.
bool holds_record(const Bytes &bytes, uint32_t type, const std::vector<Found> &records, bool whole = false)
{
	return std::any_of(records.begin(), records.end(), [&](const Found &r) {
		const Bytes &want = type == TYPE_UBOOT ? r.payload : r.record;
		return type != 0 && r.type == type && want.size() <= bytes.size() &&
		       (!whole || want.size() == bytes.size()) && std::equal(want.begin(), want.end(), bytes.begin());
	});
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// Outside a board there is no flash, and nothing here may reach the PC's own /user.
	if (api_flash_init() != 0 || api_i2c_init() != 0) {
		fflush(stdout);
		fprintf(stderr, "fuzz_installer: no board devices (run it inside a virtual board)\n");
		exit(1);
	}
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// Slot 1 holds a copy of the package's first header (so that the "same
	// version" path is reachable), slot 2 nothing.
	Bytes package(data, data + size), image1, image2;
	Bytes before(data, data + std::min<size_t>(size, IMAGE_HEADER_READ));
	unlink("/user/images/image2");
	mkdir("/user/images", 0755);
	write_file("/user/images/image1", before.data(), before.size());
	std::vector<Bytes> heads = partition_heads(size);

	int fd = memfd_create("package", 0);
	if (fd < 0 || write(fd, data, size) != (ssize_t)size)
		abort();
	char path[64];
	snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
	// A slot given up front: the installer never asks, and so never boots
	// the downloaded application.  Its waits for the EEPROM pass at once.
	uint32_t slot = 1 + (size & 1);
	on_sleep = [](unsigned int) {};
	on_usleep = [](useconds_t) {};
	int result = processNorvikImage(path, 1, slot);
	on_sleep = nullptr;
	on_usleep = nullptr;
	fflush(stdout);
	close(fd);

	if (result != 0 && result != 1)
		abort();
	std::vector<Found> records = intact_records(package);
	std::vector<Bytes> after = partition_heads(size);
	bool flash_changed = false;
	for (size_t i = 0; i < heads.size(); i++) {
		bool changed = heads[i] != after[i];
		if (changed && !holds_record(after[i], PARTITIONS[i].second, records))
			abort();
		flash_changed = flash_changed || changed;
	}
	bool wrote1 = !read_file("/user/images/image1", &image1) || image1 != before;
	bool wrote2 = read_file("/user/images/image2", &image2);
	if ((slot == 1 && wrote2) || (slot == 2 && wrote1))
		abort(); // the other slot was touched
	bool wrote = slot == 1 ? wrote1 : wrote2;
	if (wrote && !holds_record(slot == 1 ? image1 : image2, TYPE_APPLICATION, records, true))
		abort(); // not one whole application record of the package
	bool installable = std::any_of(records.begin(), records.end(), [](const Found &r) {
		return r.type == TYPE_APPLICATION || std::any_of(std::begin(PARTITIONS), std::end(PARTITIONS),
								 [&](const auto &p) { return r.type != 0 && p.second == r.type; });
	});
	if (result == 1 && !wrote && !flash_changed && !installable)
		abort(); // said to be installed, with nothing there to install
	return 0;
}

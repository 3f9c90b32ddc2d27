// The package installer on arbitrary package contents, in a virtual board (its
// flash, VPD and /user, through the device models).  Whatever the package
// holds, a slot file is only ever written whole, as an intact application record
// of the package, and only in the slot asked for; a partition only ever changes
// to an intact record of its own type (the boot loader's to its payload), the
// environment never; and nothing is said to be installed that could not be.
#include <sys/stat.h>

#include "flash/flash.h"
#include "harness.h"
#include "i2c/i2c.h"
#include "image/image.h"

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
		must(n == 0 || api_flash_read(heads.back().data(), *p.first, 0, (uint32_t)n) == 0);
	}
	return heads;
}

// Whether `bytes` starts with an intact record of type `type` of the
// package (its payload for the boot loader), or is one whole.
bool holds_record(const Bytes &bytes, uint32_t type, const Bytes &package, bool whole = false)
{
	for (const Step &s : walk_all(package)) {
		const uint8_t *want = package.data() + s.off + (type == TYPE_UBOOT ? s.e.header_len : 0);
		size_t n = package.data() + s.off + s.e.record_len - want;
		if (type != 0 && intact(package, s) && header_type(s.e.hdr) == type && n <= bytes.size() &&
		    (!whole || n == bytes.size()) && std::equal(want, want + n, bytes.begin()))
			return true;
	}
	return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	on_sleep = [](unsigned int) {}; // the installer's waits for the EEPROM pass at once
	on_usleep = [](useconds_t) {};
	// Outside a board there is no flash, and nothing here may reach the PC's own /user.
	if (api_flash_init() == 0 && api_i2c_init() == 0)
		return 0;
	fprintf(stderr, "fuzz_installer: no board devices (run it inside a virtual board)\n");
	exit(1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// Slot 1 holds a copy of the package's first header (so that the "same
	// version" path is reachable), slot 2 nothing.
	Bytes package(data, data + size), before(data, data + std::min<size_t>(size, IMAGE_HEADER_READ));
	unlink("/user/images/image2");
	mkdir("/user/images", 0755);
	write_file("/user/images/image1", before.data(), before.size());
	std::vector<Bytes> heads = partition_heads(size);
	int fd = memfd_of(data, size);
	// A slot given up front: the installer never asks, and so never boots the application.
	uint32_t slot = 1 + (size & 1);
	int result = processNorvikImage(("/proc/self/fd/" + std::to_string(fd)).c_str(), 1, slot);
	fflush(stdout);
	close(fd);
	must(result == 0 || result == 1);

	std::vector<Bytes> after = partition_heads(size);
	bool changed = false, installable = false;
	for (size_t i = 0; i < heads.size(); i++) {
		must(heads[i] == after[i] || holds_record(after[i], PARTITIONS[i].second, package));
		changed |= heads[i] != after[i];
	}
	Bytes image[3];
	bool wrote[3] = {false, !read_file("/user/images/image1", &image[1]) || image[1] != before,
			 read_file("/user/images/image2", &image[2])};
	must(!wrote[3 - slot] && (!wrote[slot] || holds_record(image[slot], TYPE_APPLICATION, package, true)));
	for (const Step &s : walk_all(package)) // an intact record for a slot or a partition
		for (const auto &p : PARTITIONS)
			installable |= intact(package, s) && header_type(s.e.hdr) == (p.second ? p.second : TYPE_APPLICATION);
	must(result == 0 || wrote[slot] || changed || installable); // installed, with nothing to install
	return 0;
}

#include "image/image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>

#include "flash/flash.h"
#include "i2c/i2c.h"
#include "image/crc.h"
#include "launch/launch.h"
#include "launch/services.h"

namespace {

constexpr uint32_t INSTALLED_HEADER_LEN = 16;
// The slot file is written in pieces of this size, with progress after each.
constexpr uint32_t SLOT_PIECE = 0x10000;

// Where the installer puts a component that lives in a partition and what it
// says about it; how big it may be is the record library's (install_limit),
// shared with the host tool.
struct FlashTarget {
	uint32_t type;
	int *fd;
	const char *name;  // in the messages about the record itself
	const char *label;
	const char *bad_crc;
	const char *too_big;
	const char *failed;
};

const FlashTarget flash_targets[] = {
	{TYPE_UBOOT, &uboot_fd, "UBOOT", "Installing Boot Loader: ",
	 "Bad crc for UBOOT: 0x%08x, voiding download\n", "UBOOT image is too big for flash (%d > %d)\n",
	 "Uboot image update failed"},
	{TYPE_KERNEL, &kernel_fd, "KERNEL", "Installing Kernel: ",
	 "Bad crc for KERNEL: 0x%08x, voiding download\n", "KERNEL image is too big for flash (%d > %d)\n",
	 "kernel image update failed"},
	{TYPE_RFS, &rfs_fd, "RFS", "Installing Root Filesystem: ",
	 "Bad crc for RFS: 0x%08x, voiding download\n", "RFS image is too big for flash (%d > %d)\n",
	 "RFS image update failed"},
	{TYPE_DFT, &device_tree_fd, "DFT", "Installing Device Tree: ",
	 "Bad crc for DFT: 0x%08x, voiding download\n", "DFT image is too big for flash (%d > %d)\n",
	 "DFT image update failed"},
	{TYPE_DIAGS, &rescue_fd, "DIAGNOSTICS IMAGE", "Installing Diagnostics: ",
	 "Bad crc for DIAGNOSTICS IMAGE: 0x%08x, voiding download\n",
	 "DIAGS image is too big for flash (%d > %d)\n", "DIAGS image update failed"},
};

const char APPLICATION_NAME[] = "APPLICATION";
const char APPLICATION_LABEL[] = "Installing Application: ";
const char APPLICATION_BAD_CRC[] = "Bad crc for APPLICATION: 0x%08x, voiding download\n";

const FlashTarget *flash_target(uint32_t type)
{
	for (const FlashTarget &t : flash_targets)
		if (t.type == type)
			return &t;
	return nullptr;
}

// One package being installed.
struct Package {
	File stream;
	uint64_t size = 0;
	uint8_t installed = 0;
	uint32_t slot = 0;
	uint8_t check_version = 0;
};

// The record at the current position of the walk.
struct Record {
	uint64_t start;
	uint8_t raw[IMAGE_HEADER_READ];
	WalkEntry walk; // its header, header length, record length and state
	uint32_t type;
	Buffer data;
	uint32_t have; // bytes of the record actually in `data`
};

enum class Step { next, stop_failed, stop_done };

// The checksum over what the package really holds of a record that cannot
// be used as it stands: from its byte 4 up to its end or the package's end,
// whichever comes first, read in pieces so nothing of its length is trusted.
uint32_t present_span_crc(Package *pkg, const Record &rec)
{
	uint64_t end = rec.start + (uint64_t)rec.walk.header_len + rec.walk.hdr.len;
	if (end > pkg->size)
		end = pkg->size;
	uint32_t reg = 0xFFFFFFFF;
	if (end <= rec.start + 4 || fseeko(pkg->stream.get(), (off_t)(rec.start + 4), SEEK_SET) != 0)
		return reg;
	uint8_t piece[4096];
	uint64_t left = end - rec.start - 4;
	while (left > 0) {
		size_t want = left < sizeof piece ? (size_t)left : sizeof piece;
		size_t got = fread(piece, 1, want, pkg->stream.get());
		reg = gen_crc(piece, (uint32_t)got, reg);
		if (got != want)
			break;
		left -= got;
	}
	return reg;
}

uint32_t record_checksum(Package *pkg, const Record &rec)
{
	if (!rec.data || rec.have < rec.walk.record_len)
		return present_span_crc(pkg, rec);
	return record_crc(rec.data.get(), rec.walk.record_len);
}

// A header too short for its own fixed words is refused as such: no
// checksum of it would say anything.
bool record_good(Package *pkg, const Record &rec, const char *name, const char *bad_crc)
{
	if (rec.walk.state == RecordState::bad_header_length) {
		printf("Bad header length for %s: %u, voiding download\n", name, rec.walk.header_len);
		return false;
	}
	uint32_t computed = record_checksum(pkg, rec);
	if (rec.data && rec.have == rec.walk.record_len && computed == rec.walk.hdr.crc)
		return true;
	printf(bad_crc, computed);
	return false;
}

bool same_as_installed(const Package &pkg, const Record &rec)
{
	return pkg.check_version && verifyMatchingHeaders(rec.raw, (int)pkg.slot) == 1;
}

Step install_flash_record(Package *pkg, const Record &rec, const FlashTarget &t)
{
	fputs(t.label, stdout);
	fflush(stdout);
	if (!record_good(pkg, rec, t.name, t.bad_crc))
		return Step::stop_failed;
	const InstallLimit &limit = *install_limit(t.type);
	uint32_t size = install_checked_size(limit, rec.walk.hdr);
	if (size > limit.limit) {
		printf(t.too_big, (int)size, (int)limit.limit);
		return Step::stop_failed;
	}
	if (same_as_installed(*pkg, rec)) {
		puts("Image has same version as existing image. Skipping update...");
		return Step::next;
	}
	const uint8_t *bytes = rec.data.get() + (limit.payload_only ? rec.walk.header_len : 0);
	if (api_flash_write(bytes, *t.fd, 0, size, 1) < 0) {
		puts(t.failed);
		return Step::stop_failed;
	}
	if (t.type == TYPE_DIAGS)
		puts("done");
	pkg->installed = 1;
	return Step::next;
}

// Asked once per package: a chosen slot holds for the records after it.
void ask_slot(Package *pkg)
{
	printf("Install image as image 1 or 2 (hit return to just boot image): ");
	fflush(stdout);
	char answer[32];
	if (read_answer(answer, sizeof answer) && (answer[0] == '1' || answer[0] == '2'))
		pkg->slot = (uint32_t)(answer[0] - '0');
	// An end of input here must not answer every later question too.
	clearerr(stdin);
}

// The payload goes to the archive that the launch unpacks; the rest of the
// package is never looked at.
Step boot_downloaded(Package *pkg, Record *rec)
{
	puts("Booting downloaded image");
	File tar(fopen(ARCHIVE_PATH, "wb"));
	if (!tar) {
		printf("Image unpack failed (err %d)\n", errno);
		return Step::stop_failed;
	}
	const uint8_t *payload = rec->data.get() + rec->walk.header_len;
	uint32_t len = rec->walk.hdr.len;
	if (fwrite(payload, 1, len, tar.get()) != len || fflush(tar.get()) != 0) {
		printf("Image unpack failed (err %d)\n", errno);
		return Step::stop_failed;
	}
	puts("Image ready to boot...");
	tar.reset();
	pkg->stream.reset();
	rec->data.reset();
	launch_image(false);
}

bool write_slot_file(FILE *out, const Record &rec)
{
	uint32_t length = rec.walk.record_len;
	uint32_t written = 0;
	while (written < length) {
		uint32_t piece = length - written < SLOT_PIECE ? length - written : SLOT_PIECE;
		if (fwrite(rec.data.get() + written, 1, piece, out) != piece || fflush(out) != 0)
			return false;
		written += piece;
		// 64 bits: written x 100 passes 32 bits once a record is past 42 MB.
		printf("\b\b\b\b%3.3d%c", (int)((uint64_t)written * 100 / length), '%');
		// A serial console shows nothing of a line until it is flushed.
		fflush(stdout);
	}
	return true;
}

Step install_into_slot(Package *pkg, const Record &rec)
{
	int slot = (int)pkg->slot;
	printf("Installing image as image%d: ", slot);
	if (same_as_installed(*pkg, rec)) {
		printf("Image%d has same version as existing image. Skipping update...\n", slot);
		return Step::next;
	}
	struct stat st;
	// A folder that cannot be made shows when the slot file cannot be created.
	if (stat(IMAGES_DIR, &st) != 0)
		ignore_result(mkdir(IMAGES_DIR, 0755));
	// Never through a link or into anything but a file of this slot's own:
	// the other slot's image must survive this one's install.
	File out = create_regular(slot_path(slot).c_str());
	int err = errno;
	printf("    ");
	fflush(stdout);
	if (!out) {
		printf("Image%d update failed (err %d)\n", slot, err);
		return Step::stop_failed;
	}
	if (!write_slot_file(out.get(), rec)) {
		printf("Image%d update failed (err %d)\n", slot, errno);
		return Step::stop_failed;
	}
	printf("\b\b\b\b100%c\n", '%');
	if (fclose(out.release()) != 0) {
		printf("Image%d update failed (err %d)\n", slot, errno);
		return Step::stop_failed;
	}
	printf("\nImage%d updated succeeded\n", slot);
	pkg->installed = 1;
	// The VPD module reports its own failures.
	ignore_result(api_set_image(slot & 0xFF));
	return Step::next;
}

Step install_application(Package *pkg, Record *rec)
{
	fputs(APPLICATION_LABEL, stdout);
	fflush(stdout);
	if (!record_good(pkg, *rec, APPLICATION_NAME, APPLICATION_BAD_CRC))
		return Step::stop_failed;
	if (pkg->slot == 0)
		ask_slot(pkg);
	if (pkg->slot == 0)
		return boot_downloaded(pkg, rec);
	return install_into_slot(pkg, *rec);
}

bool known_type(uint32_t type)
{
	return type == TYPE_APPLICATION || flash_target(type) != nullptr;
}

// Reads the whole record into memory.  Only a record that fits the package
// is read; any other is left without data and fails its checksum.
bool load_record(Package *pkg, Record *rec)
{
	if (rec->walk.step != WalkStep::record)
		return true;
	uint32_t length = rec->walk.record_len;
	rec->data = allocate_buffer(length);
	if (!rec->data) {
		printf("Failed to allocate buffer for image (%d)\n", (int)length);
		return false;
	}
	if (fseeko(pkg->stream.get(), (off_t)rec->start, SEEK_SET) == 0)
		rec->have = (uint32_t)fread(rec->data.get(), 1, length, pkg->stream.get());
	return true;
}

Step process_record(Package *pkg, Record *rec)
{
	display_header(&rec->walk.hdr, 0);
	rec->type = header_type(rec->walk.hdr);
	if (!known_type(rec->type))
		// Nothing after a record whose end cannot be found can be trusted to
		// start where a record starts: that is where the package ends.
		return rec->walk.step == WalkStep::record ? Step::next : Step::stop_done;
	if (!load_record(pkg, rec))
		return Step::stop_failed;
	if (rec->type == TYPE_APPLICATION)
		return install_application(pkg, rec);
	return install_flash_record(pkg, *rec, *flash_target(rec->type));
}

// The walk's step at the record's start; false where the package ends:
// nothing or less than a header left, or a header that cannot be read.
bool read_header(Package *pkg, Record *rec)
{
	uint64_t remaining = pkg->size - rec->start;
	memset(rec->raw, 0, sizeof rec->raw);
	if (remaining >= IMAGE_HEADER_READ &&
	    (fseeko(pkg->stream.get(), (off_t)rec->start, SEEK_SET) != 0 ||
	     fread(rec->raw, 1, sizeof rec->raw, pkg->stream.get()) != sizeof rec->raw))
		return false;
	rec->walk = walk_step(rec->raw, remaining);
	return rec->walk.step != WalkStep::end && rec->walk.step != WalkStep::tail;
}

} // namespace

void display_header(const ImageHeader *hdr, int verbose)
{
	if (!verbose)
		return;
	printf("  crc: 0x%08x\n", hdr->crc);
	printf("  len: 0x%08x\n", hdr->len);
	printf("magic: 0x%08x\n", hdr->magic);
	printf("   id: 0x%08x\n", hdr->id);
}

int read_flash_image_header(uint32_t type, uint8_t *buffer, int slot)
{
	if (!buffer)
		return 0;
	memset(buffer, 0, INSTALLED_HEADER_LEN);
	if (type == TYPE_APPLICATION) {
		File f = open_regular(slot_path(slot).c_str());
		if (!f)
			return 0;
		// A slot file shorter than a header leaves the rest of it zero.
		ignore_result(fread(buffer, 1, INSTALLED_HEADER_LEN, f.get()));
		return 1;
	}
	const FlashTarget *t = flash_target(type);
	if (!t) {
		printf("Unknown image type 0x%x \n", type);
		return 0;
	}
	uint32_t offset = type == TYPE_UBOOT ? UBOOT_HEADER_COPY_OFFSET : 0;
	// A read that fails leaves the header zero.
	ignore_result(api_flash_read(buffer, *t->fd, offset, INSTALLED_HEADER_LEN));
	return 1;
}

int verifyMatchingHeaders(const uint8_t *raw, int slot)
{
	uint32_t type = header_type(decode_fixed_header(raw));
	uint8_t installed[INSTALLED_HEADER_LEN];
	if (!read_flash_image_header(type, installed, slot))
		return 0;
	// The boot loader's own copy of its header carries no meaningful crc.
	uint32_t from = type == TYPE_UBOOT ? 4 : 0;
	return memcmp(installed + from, raw + from, INSTALLED_HEADER_LEN - from) == 0;
}

int processNorvikImage(const char *path, uint8_t check_version, uint32_t slot)
{
	Package pkg;
	pkg.stream.reset(fopen(path, "r"));
	pkg.slot = slot;
	pkg.check_version = check_version;
	puts("\nExtracting images ... Do *NOT* power cycle the switch.");
	struct stat st;
	// A package that cannot be opened or measured is as good as empty.
	if (pkg.stream && fstat(fileno(pkg.stream.get()), &st) == 0 && st.st_size > 0)
		pkg.size = (uint64_t)st.st_size;
	uint64_t start = 0;
	for (;;) {
		Record rec;
		rec.start = start;
		rec.have = 0;
		if (!read_header(&pkg, &rec))
			break;
		Step step = process_record(&pkg, &rec);
		if (step == Step::stop_failed)
			return 0;
		if (step == Step::stop_done)
			break;
		// Only a usable record goes on: it ends inside the package.
		start += rec.walk.record_len;
	}
	puts("File processed");
	return pkg.installed;
}

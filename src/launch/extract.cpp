#include "launch/extract.h"

#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "flash/flash.h"
#include "i2c/i2c.h"
#include "image/crc.h"
#include "launch/bootflags.h"
#include "launch/launch.h"
#include "launch/services.h"

unsigned char tried_alt_image;

namespace {

constexpr const char *GDB_GZ = "/tmp/gdb.gz";
constexpr int BOOTED_FROM_RESCUE = 4;
// The debugger is copied through a buffer of this size, never whole.
constexpr size_t COPY_CHUNK = 64 * 1024;

bool bootable_type(uint32_t type)
{
	return type == TYPE_APPLICATION || type == TYPE_DIAGS;
}

void shell_step()
{
	if (boot_flags().shell_enable)
		ignore_result(run_command("/bin/sh\n"));
}

[[noreturn]] void rescue_fallback()
{
	// It returns only when the rescue partition holds no usable image.
	ignore_result(extract_image_from_flash());
	shell_step();
	board_reset();
}

uint64_t file_size(FILE *f)
{
	struct stat st;
	if (fstat(fileno(f), &st) != 0 || st.st_size < 0)
		return 0;
	return (uint64_t)st.st_size;
}

// The record checksum: bytes 4 to the end; a record shorter than 4 bytes
// has no span and fails.
int check_record(const uint8_t *record, uint32_t length, uint32_t crc)
{
	if (length < 4)
		return 1;
	return CheckCrc(record + 4, length - 4, crc);
}

// Reads the whole record found by the walk.  A record that runs past the
// end of its file cannot be good: it fails without being read.
Buffer read_record(FILE *f, const ImageHeader &hdr, uint64_t remaining, bool *intact)
{
	*intact = false;
	if (record_state(hdr, remaining) != RecordState::usable)
		return Buffer();
	uint32_t length = record_length(hdr);
	Buffer buf = allocate_buffer(length);
	if (buf && fread(buf.get(), 1, length, f) == length)
		*intact = check_record(buf.get(), length, hdr.crc) == 0;
	return buf;
}

// The payload of a checked record into the archive file; false when it did
// not all reach the file.
bool write_payload(FILE *out, const uint8_t *record, const ImageHeader &hdr)
{
	return fwrite(record + header_length(hdr), 1, hdr.len, out) == hdr.len;
}

[[noreturn]] void payload_not_written()
{
	fputs("Failed to write application image output file.\n", stderr);
	shell_step();
	board_reset();
}

// Copies what the file holds of `length` bytes from the current position.
void copy_bytes(FILE *from, FILE *to, uint32_t length)
{
	std::vector<uint8_t> chunk(COPY_CHUNK);
	while (length > 0) {
		size_t want = length < COPY_CHUNK ? length : COPY_CHUNK;
		size_t got = fread(chunk.data(), 1, want, from);
		if (got == 0)
			return;
		// A debugger cut short shows when it is decompressed.
		ignore_result(fwrite(chunk.data(), 1, got, to));
		length -= (uint32_t)got;
	}
}

// The whole record into the slot file by way of /tmp/image; false when the
// slot does not hold it now.
bool copy_recovery(const uint8_t *record, uint32_t length, char digit)
{
	File img(fopen(DOWNLOAD_PATH, "wb"));
	if (!img) {
		fputs("Failed to open image file.\n", stderr);
		board_reset();
	}
	bool written = fwrite(record, 1, length, img.get()) == length;
	if (fclose(img.release()) != 0 || !written)
		return false;
	// A folder that is there already is no failure: the copy tells.
	ignore_result(make_images_dir());
	std::string path = slot_path(digit - '0');
	// cp would write through a link or into whatever else stands there.
	if (!clear_for_regular(path.c_str()))
		return false;
	char command[64];
	snprintf(command, sizeof command, "cp %s %s\n", DOWNLOAD_PATH, path.c_str());
	return command_succeeded(run_command(command));
}

void boot_recovery_only()
{
	printf("\nBooting recovery image. You will need to download and install an image before rebooting\n");
	ignore_result(api_set_booted_image(BOOTED_FROM_RESCUE));
}

// The recovery image may be installed into a slot before it boots.  A slot
// that did not get it is never selected: the rescue partition is what boots.
void ask_recovery_install(const uint8_t *record, uint32_t length)
{
	printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
	fflush(stdout);
	char answer[8];
	if (!read_answer(answer, sizeof answer))
		return;
	if (answer[0] != '1' && answer[0] != '2') {
		boot_recovery_only();
		return;
	}
	int n = answer[0] - '0';
	printf("\nInstalling recovery image as image%c...\n", answer[0]);
	if (!copy_recovery(record, length, answer[0])) {
		fprintf(stderr, "Failed to copy recovery image to image%c.\n", answer[0]);
		boot_recovery_only();
		return;
	}
	printf("Setting boot image to %d\n", n);
	// The VPD module reports its own failures.
	ignore_result(api_set_image(n));
	ignore_result(api_set_booted_image(n));
}

} // namespace

int CheckCrc(const uint8_t *data, uint32_t length, uint32_t expected)
{
	return gen_crc(data, length, 0xFFFFFFFF) == expected ? 0 : 1;
}

int parse_image(FILE *stream, ImageHeader *header)
{
	uint64_t size = file_size(stream);
	uint64_t offset = 0;
	for (;;) {
		uint8_t head[IMAGE_HEADER_READ];
		if (fseeko(stream, (off_t)offset, SEEK_SET) != 0 ||
		    fread(head, 1, sizeof head, stream) != sizeof head)
			return 0;
		WalkEntry e = walk_step(head, size > offset ? size - offset : 0);
		*header = e.hdr;
		if (e.step == WalkStep::tail || e.step == WalkStep::end)
			return 0;
		bool wanted = bootable_type(header_type(e.hdr));
		// A record cut short by the end of the file is still the one the
		// boot wants; its check will fail.  Any other unusable header leaves
		// no way to the records behind it.
		if (wanted && (e.step == WalkStep::record || e.state == RecordState::truncated)) {
			fseeko(stream, (off_t)offset, SEEK_SET);
			return 1;
		}
		if (e.step != WalkStep::record)
			return 0;
		offset += e.record_len;
	}
}

int extract_image(int slot)
{
	if (slot != 1 && slot != 2)
		return 0;
	File image = open_regular(slot_path(slot).c_str());
	// The slot whose file is read: the booted image and the debugger's slot
	// follow it.  The messages keep naming the selected slot and the other
	// one, as the second attempt that follows them does.
	int used = slot;
	if (!image) {
		used = other_slot(slot);
		fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", slot, used);
		image = open_regular(slot_path(used).c_str());
		if (!image) {
			fprintf(stderr, "Failed to open Application image %d. Trying rescue image\n", used);
			rescue_fallback();
		}
	}
	File out(fopen(ARCHIVE_PATH, "wb"));
	if (!out) {
		fputs("Failed to open application image output file.\n", stderr);
		image.reset();
		shell_step();
		board_reset();
	}

	ImageHeader hdr{};
	bool found = parse_image(image.get(), &hdr) == 1;
	uint64_t offset = found ? (uint64_t)ftello(image.get()) : 0;
	bool intact = false;
	Buffer record;
	if (found) {
		record = read_record(image.get(), hdr, file_size(image.get()) - offset, &intact);
		// A record too large for memory leaves nothing to check.
		found = record || record_state(hdr, file_size(image.get()) - offset) != RecordState::usable;
	}
	if (!found) {
		image.reset();
		out.reset();
		if (tried_alt_image) {
			fputs("No valid application image found. Trying rescue image\n", stderr);
			rescue_fallback();
		}
		fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", hdr.magic, TYPE_DIAGS);
		fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot, other_slot(slot));
		return 0;
	}
	if (!intact) {
		record.reset();
		image.reset();
		out.reset();
		if (tried_alt_image) {
			fputs("Both image1 and image2 failed.\n", stderr);
			shell_step();
			board_reset();
		}
		fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
		return 0;
	}
	bool written = write_payload(out.get(), record.get(), hdr);
	record.reset();
	image.reset();
	written = fclose(out.release()) == 0 && written;
	if (!written)
		payload_not_written();

	ignore_result(api_set_booted_image(used));
	// Without the debugger the launch says so and starts plainly.
	if (boot_flags().gdb_enable && !boot_flags().gdbserver_enable)
		ignore_result(extract_gdb(used));
	launch_image(header_type(hdr) == TYPE_DIAGS);
}

int extract_image_from_flash()
{
	File out(fopen(ARCHIVE_PATH, "wb"));
	if (!out) {
		fputs("Failed to open AppOS tarfile.\n", stderr);
		board_reset();
	}
	// A read that fails leaves zeros: an erased or unreadable partition
	// holds no image.
	uint8_t head[IMAGE_HEADER_READ] = {};
	ignore_result(api_flash_read(head, rescue_fd, 0, sizeof head));
	ImageHeader hdr = decode_header(head);
	uint32_t type = header_type(hdr);
	uint32_t partition = 0;
	if (!mtd_get_size(rescue_fd, &partition))
		partition = 0;
	RecordState state = record_state(hdr, partition);
	uint32_t length = record_length(hdr);
	// An unusable header, or a record too large for memory, is no image;
	// a record longer than the partition cannot pass its check.
	Buffer record = !bootable_type(type) || state == RecordState::bad_header_length ||
				       state == RecordState::length_wraps
			       ? Buffer()
			       : allocate_buffer(state == RecordState::usable ? length : 1);
	if (!record) {
		fputs("Image not found... \n", stderr);
		return 0;
	}
	bool intact = false;
	if (state == RecordState::usable) {
		// A read that fails leaves the buffer zero: the check fails.
		ignore_result(api_flash_read(record.get(), rescue_fd, 0, length));
		intact = check_record(record.get(), length, hdr.crc) == 0;
	}
	if (!intact) {
		fputs("Image CRC failed. Quitting\n", stderr);
		return 0;
	}
	bool written = write_payload(out.get(), record.get(), hdr);
	written = fclose(out.release()) == 0 && written;
	if (!written)
		payload_not_written();

	if (type == TYPE_APPLICATION) {
		ask_recovery_install(record.get(), length);
	} else {
		puts("Launching diagnostics image");
		ignore_result(api_set_booted_image(BOOTED_FROM_RESCUE));
	}
	record.reset();
	launch_image(type == TYPE_DIAGS);
}

int extract_gdb(int slot)
{
	if (slot != 1 && slot != 2)
		return 0;
	int gdb_slot = other_slot(slot);
	printf("Extracting GDB from image slot %d\n", gdb_slot);
	File image = open_regular(slot_path(gdb_slot).c_str());
	if (!image) {
		fprintf(stderr, "Failed to open GDB image (from slot %d)\n", gdb_slot);
		return 0;
	}
	File out(fopen(GDB_GZ, "wb"));
	if (!out) {
		fputs("Failed to open GDB output file.\n", stderr);
		return 0;
	}
	uint8_t head[IMAGE_HEADER_READ] = {};
	if (fread(head, 1, sizeof head, image.get()) != sizeof head)
		memset(head, 0, sizeof head);
	ImageHeader hdr = decode_header(head);
	uint32_t start = header_length(hdr);
	if (!header_is_extended(hdr))
		puts("V2 header found");
	if (!bootable_type(header_type(hdr))) {
		fprintf(stderr, "Image has invalid header 0x%x\n", hdr.magic);
		return 0;
	}
	printf("Found GDB image %d of length = %u.\n", gdb_slot, hdr.len);
	if (fseek(image.get(), start, SEEK_SET) == 0)
		copy_bytes(image.get(), out.get(), hdr.len);
	image.reset();
	out.reset();
	puts("decompressing GDB....");
	// A debugger that does not come out of this is found missing at the start.
	ignore_result(run_command("gunzip /tmp/gdb.gz"));
	ignore_result(run_command("chmod +x /tmp/gdb"));
	return 1;
}

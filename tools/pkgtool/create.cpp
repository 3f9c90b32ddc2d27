#include "create.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "folder.h"
#include "image/crc.h"
#include "image/record.h"
#include "pkgfile.h"

namespace {

struct RecordArg {
	uint32_t type;
	uint32_t id;
	const char *file;
};

struct Options {
	uint32_t hdr_len = 0; // 0: basic headers
	bool overwrite_copy = false;
};

// An input checked and held open until its record is written: the bytes
// packed are those of the file whose size was checked, or of the folder
// whose entries were.
struct Input {
	Fd f;
	uint64_t size = 0;
	bool folder = false;
};

// The boot loader's header copy: 16 bytes at payload byte 240.
constexpr uint32_t COPY_END = UBOOT_HEADER_COPY_OFFSET + BASIC_HEADER_LEN;

bool parse_decimal(const char *text, unsigned long max, unsigned long *value)
{
	if (*text < '0' || *text > '9')
		return false;
	char *end;
	errno = 0;
	unsigned long v = strtoul(text, &end, 10);
	if (errno != 0 || *end != '\0' || v > max)
		return false;
	*value = v;
	return true;
}

// TYPE=FILE[@A.B.C.D]; the version is split at the last '@' so that file
// names may hold one.
int parse_record_arg(char *arg, RecordArg *rec)
{
	char *eq = strchr(arg, '=');
	if (!eq)
		return fail("expected TYPE=FILE[@A.B.C.D]", arg);
	*eq = '\0';
	rec->type = type_from_name(arg);
	if (!rec->type)
		return fail("unknown record type (app, uboot, kernel, rfs, dft, diags)", arg);
	rec->file = eq + 1;
	rec->id = 0;
	char *at = strrchr(eq + 1, '@');
	if (at) {
		*at = '\0';
		if (!parse_version(at + 1, &rec->id))
			return fail("bad version (expected A.B.C.D, each 0 to 255)", at + 1);
	}
	if (*rec->file == '\0')
		return fail("no file named", arg);
	return PKG_OK;
}

int parse_extended(const char *arg, uint32_t *hdr_len)
{
	if (strcmp(arg, "--extended") == 0) {
		*hdr_len = MIN_EXTENDED_HEADER_LEN;
		return PKG_OK;
	}
	unsigned long v;
	if (!parse_decimal(arg + strlen("--extended="), 0xFFFF, &v) || v < MIN_EXTENDED_HEADER_LEN)
		return fail("header length must be 20 to 65535", arg);
	*hdr_len = (uint32_t)v;
	return PKG_OK;
}

int parse_args(int argc, char **argv, Options &opt, std::vector<RecordArg> &records)
{
	for (int i = 0; i < argc; i++) {
		int rc = PKG_OK;
		if (strncmp(argv[i], "--extended", 10) == 0 && (argv[i][10] == '\0' || argv[i][10] == '='))
			rc = parse_extended(argv[i], &opt.hdr_len);
		else if (strcmp(argv[i], "--overwrite-copy") == 0)
			opt.overwrite_copy = true;
		else if (argv[i][0] == '-')
			rc = fail("unknown option", argv[i]);
		else {
			records.emplace_back();
			rc = parse_record_arg(argv[i], &records.back());
		}
		if (rc != PKG_OK)
			return rc;
	}
	return PKG_OK;
}

uint32_t header_len_of(const Options &opt)
{
	return opt.hdr_len ? opt.hdr_len : BASIC_HEADER_LEN;
}

// Bytes 240-255 may take the copy when they hold nothing (erased or
// zeroed) or an earlier copy, which names the boot loader as its type.
bool copy_area_reserved(const uint8_t *area)
{
	bool zeros = true, ones = true;
	for (uint32_t i = 0; i < BASIC_HEADER_LEN; i++) {
		zeros = zeros && area[i] == 0x00;
		ones = ones && area[i] == 0xFF;
	}
	uint32_t type = load_be32(area + 8) & ~EXTENDED_HEADER_FLAG;
	return zeros || ones || type == TYPE_UBOOT;
}

// Refuses, unless told to overwrite, bytes 240-255 that are not reserved.
int check_copy_area(const uint8_t *area, const Options &opt, const char *file)
{
	if (opt.overwrite_copy || copy_area_reserved(area))
		return PKG_OK;
	return fail("bytes 240 to 255 of the boot-loader payload hold data, not a header copy "
		    "(--overwrite-copy writes the copy over them)",
		    file);
}

// The bytes the header copy would go over, read ahead so that a refusal
// comes before the output is begun.
int check_uboot_input(const RecordArg &rec, const Options &opt, Input &in)
{
	if (in.size < COPY_END)
		return fail("boot-loader payload too short to hold its header copy at byte 240 "
			    "(needs at least 256 bytes)",
			    rec.file);
	uint8_t area[BASIC_HEADER_LEN];
	ssize_t r = read_at(in.f.fd, area, sizeof area, UBOOT_HEADER_COPY_OFFSET);
	if (r < 0)
		return fail_errno(rec.file);
	if (r != (ssize_t)sizeof area)
		return fail("shrank while being read", rec.file);
	return check_copy_area(area, opt, rec.file);
}

// A folder becomes the archive of an application or diagnostics record;
// the other records hold images built elsewhere.
int check_folder_input(const RecordArg &rec, Input &in, const struct stat *out_dir)
{
	in.folder = true;
	if (rec.type != TYPE_APPLICATION && rec.type != TYPE_DIAGS)
		return fail("a folder is packed only as app or diags (an archive unpacked in /tmp)", rec.file);
	return folder_check(in.f.fd, rec.file, out_dir);
}

// Opens an input and refuses what would make a record the board cannot
// use; its size is judged before a byte of it is read.
int check_input(const RecordArg &rec, const Options &opt, bool last, const struct stat *out_dir, Input &in)
{
	if (open_folder(rec.file, in.f))
		return check_folder_input(rec, in, out_dir);
	if (errno != ENOTDIR)
		return fail_errno(rec.file);
	int rc = open_regular(rec.file, in.f, &in.size);
	if (rc != PKG_OK)
		return rc;
	uint32_t header_len = header_len_of(opt);
	if (in.size > UINT32_MAX - header_len) {
		char what[96];
		snprintf(what, sizeof what, "too large for one record (at most %u bytes with a %u-byte header)",
			 UINT32_MAX - header_len, header_len);
		return fail(what, rec.file);
	}
	// The board reads 20 bytes at the start of every record: a basic header
	// with fewer than 4 payload bytes at the very end never yields them, and
	// the record would not be seen at all.
	if (last && header_len == BASIC_HEADER_LEN && in.size < IMAGE_HEADER_READ - BASIC_HEADER_LEN)
		return fail("the last record needs at least 4 payload bytes, or the board never sees it "
			    "(use --extended, or put it earlier)",
			    rec.file);
	if (rec.type == TYPE_UBOOT)
		return check_uboot_input(rec, opt, in);
	return PKG_OK;
}

// The boot loader is installed as its bare payload, so it carries a copy of
// its header words at byte 240 for the board to identify it by.  Its crc
// word cannot be the record's own checksum (the copy is inside the span);
// the board never compares it, and it is left 0.
int stamp_uboot_copy(uint8_t *payload, const ImageHeader &hdr, const Options &opt, const char *file)
{
	uint8_t *copy = payload + UBOOT_HEADER_COPY_OFFSET;
	// Checked again: the file may have changed since it was checked.
	int rc = check_copy_area(copy, opt, file);
	if (rc != PKG_OK)
		return rc;
	store_be32(copy, 0);
	store_be32(copy + 4, hdr.len);
	store_be32(copy + 8, hdr.magic);
	store_be32(copy + 12, hdr.id);
	return PKG_OK;
}

// The output as it grows: its file, its length so far, and one buffer for
// every payload piece.
struct Output {
	PendingFile file;
	uint64_t length = 0;
	std::vector<uint8_t> chunk;
};

bool append(Output &out, const uint8_t *p, size_t n)
{
	if (!write_all(out.file.fd, p, n))
		return false;
	out.length += n;
	return true;
}

// Streams the payload into the output piece by piece, continuing the
// record's checksum register in *crc.
int copy_payload(Output &out, const RecordArg &rec, Input &in, const ImageHeader &hdr, const Options &opt,
		 uint32_t *crc)
{
	for (uint64_t pos = 0; pos < hdr.len;) {
		size_t n = hdr.len - pos < IO_CHUNK ? (size_t)(hdr.len - pos) : IO_CHUNK;
		ssize_t r = read_at(in.f.fd, out.chunk.data(), n, pos);
		if (r < 0)
			return fail_errno(rec.file);
		if ((size_t)r != n)
			return fail("shrank while being read", rec.file);
		// A boot loader holds at least 256 bytes, so the copy lies whole
		// in the first piece.
		if (rec.type == TYPE_UBOOT && pos == 0) {
			int rc = stamp_uboot_copy(out.chunk.data(), hdr, opt, rec.file);
			if (rc != PKG_OK)
				return rc;
		}
		*crc = gen_crc(out.chunk.data(), (uint32_t)n, *crc);
		if (!append(out, out.chunk.data(), n))
			return fail_errno(out.file.path.c_str());
		pos += n;
	}
	uint8_t more;
	ssize_t r = read_at(in.f.fd, &more, 1, hdr.len);
	if (r < 0)
		return fail_errno(rec.file);
	if (r > 0)
		return fail("grew while being read", rec.file);
	return PKG_OK;
}

// The archive of a folder, streamed: its length is known only at its end.
int stream_folder(Output &out, const RecordArg &rec, Input &in, const Options &opt, ImageHeader *hdr,
		  uint32_t *crc)
{
	uint64_t max = UINT32_MAX - header_len_of(opt);
	uint64_t len = 0;
	int rc = folder_archive(in.f.fd, rec.file, [&](const uint8_t *p, size_t n) {
		if (n > max - len)
			return fail("archive too large for one record", rec.file);
		*crc = gen_crc(p, (uint32_t)n, *crc);
		len += n;
		return append(out, p, n) ? PKG_OK : fail_errno(out.file.path.c_str());
	});
	hdr->len = (uint32_t)len;
	return rc;
}

// Writes the finished header over the bytes reserved for it at `start`;
// its checksum joins the header's span to the payload's.
int put_header(Output &out, uint64_t start, const ImageHeader &hdr, uint32_t payload_crc)
{
	std::vector<uint8_t> header(header_length(hdr), 0);
	encode_header(hdr, header.data());
	uint32_t head = gen_crc(header.data() + 4, (uint32_t)header.size() - 4, 0xFFFFFFFF);
	store_be32(header.data(), crc_join(head, payload_crc, hdr.len));
	ssize_t w = pwrite(out.file.fd, header.data(), header.size(), (off_t)start);
	if (w != (ssize_t)header.size()) {
		if (w >= 0)
			errno = EIO;
		return fail_errno(out.file.path.c_str());
	}
	return PKG_OK;
}

// Reserves the header, streams the payload behind it, then writes the
// header, whose checksum (and, for a folder, length) is known only once
// the payload is.
int write_record(Output &out, const RecordArg &rec, Input &in, const Options &opt)
{
	ImageHeader hdr{};
	hdr.len = (uint32_t)in.size;
	hdr.magic = rec.type | (opt.hdr_len ? EXTENDED_HEADER_FLAG : 0);
	hdr.id = rec.id;
	hdr.hdr_len = (uint16_t)opt.hdr_len;

	uint64_t start = out.length;
	std::vector<uint8_t> reserved(header_len_of(opt), 0);
	if (!append(out, reserved.data(), reserved.size()))
		return fail_errno(out.file.path.c_str());
	uint32_t crc = 0xFFFFFFFF;
	int rc = in.folder ? stream_folder(out, rec, in, opt, &hdr, &crc) : copy_payload(out, rec, in, hdr, opt, &crc);
	if (rc != PKG_OK)
		return rc;
	return put_header(out, start, hdr, crc);
}

// The folder the output goes to, when it exists, so that a folder that
// holds it can be refused.
bool output_dir(const char *outname, struct stat *st)
{
	std::string dir = outname;
	size_t slash = dir.rfind('/');
	dir = slash == std::string::npos ? "." : dir.substr(0, slash + 1);
	return stat(dir.c_str(), st) == 0;
}

} // namespace

bool parse_version(const char *text, uint32_t *id)
{
	uint32_t v = 0;
	const char *p = text;
	for (int part = 0; part < 4; part++) {
		if (*p < '0' || *p > '9')
			return false;
		unsigned n = 0;
		int digits = 0;
		while (*p >= '0' && *p <= '9') {
			n = n * 10 + (unsigned)(*p++ - '0');
			if (++digits > 3 || n > 255)
				return false;
		}
		v = v << 8 | n;
		if (part < 3 && *p++ != '.')
			return false;
	}
	if (*p != '\0')
		return false;
	*id = v;
	return true;
}

int pkg_create(int argc, char **argv)
{
	const char *outname = argv[0];
	Options opt;
	std::vector<RecordArg> records;
	int rc = parse_args(argc - 1, argv + 1, opt, records);
	if (rc != PKG_OK)
		return rc;
	if (records.empty())
		return fail("no records given (TYPE=FILE[@A.B.C.D] ...)", outname);

	struct stat out_dir;
	const struct stat *out_dir_known = output_dir(outname, &out_dir) ? &out_dir : nullptr;
	std::vector<Input> inputs(records.size());
	for (size_t i = 0; i < records.size(); i++) {
		rc = check_input(records[i], opt, i + 1 == records.size(), out_dir_known, inputs[i]);
		if (rc != PKG_OK)
			return rc;
	}

	Output out;
	out.chunk.resize(IO_CHUNK);
	if (!open_pending(out.file, outname))
		return fail_errno(outname);
	for (size_t i = 0; i < records.size(); i++) {
		rc = write_record(out, records[i], inputs[i], opt);
		if (rc != PKG_OK)
			return rc;
	}
	if (!commit_pending(out.file))
		return fail_errno(outname);
	return PKG_OK;
}

#include "pkgtool.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "image/crc.h"
#include "image/record.h"

namespace {

// Records are checksummed in pieces of this size, so a package of any size
// is checked in bounded memory.
constexpr size_t CHUNK = 1 << 20;

struct Fd {
	int fd = -1;
	Fd() = default;
	explicit Fd(int f) : fd(f) {}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	~Fd()
	{
		if (fd >= 0)
			close(fd);
	}
};

// A temporary output that becomes `path` only when commit() succeeds; on
// every other path it is removed, so nothing half-written is left behind.
struct PendingFile {
	std::string path;
	std::string tmp;
	int fd = -1;

	~PendingFile()
	{
		if (fd >= 0)
			close(fd);
		if (!tmp.empty())
			unlink(tmp.c_str());
	}
};

int fail(const char *what, const char *name)
{
	fprintf(stderr, "pkgtool: %s: %s\n", name, what);
	return PKG_ERROR;
}

int fail_errno(const char *name)
{
	return fail(strerror(errno), name);
}

bool open_pending(PendingFile &f, const std::string &path)
{
	f.path = path;
	std::string tmpl = path + ".XXXXXX";
	std::vector<char> name(tmpl.begin(), tmpl.end());
	name.push_back('\0');
	f.fd = mkstemp(name.data());
	if (f.fd < 0)
		return false;
	f.tmp = name.data();
	fchmod(f.fd, 0644);
	return true;
}

bool commit_pending(PendingFile &f)
{
	int fd = f.fd;
	f.fd = -1;
	if (close(fd) != 0)
		return false;
	if (rename(f.tmp.c_str(), f.path.c_str()) != 0)
		return false;
	f.tmp.clear();
	return true;
}

bool write_all(int fd, const uint8_t *p, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		p += w;
		n -= (size_t)w;
	}
	return true;
}

// Reads up to n bytes at off; returns the count (short only at the end of
// the file) or -1.
ssize_t read_at(int fd, uint8_t *p, size_t n, uint64_t off)
{
	size_t got = 0;
	while (got < n) {
		ssize_t r = pread(fd, p + got, n - got, (off_t)(off + got));
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			return -1;
		if (r == 0)
			break;
		got += (size_t)r;
	}
	return (ssize_t)got;
}

bool read_file(const char *path, std::vector<uint8_t> &data)
{
	Fd f(open(path, O_RDONLY));
	if (f.fd < 0)
		return false;
	struct stat st;
	if (fstat(f.fd, &st) != 0)
		return false;
	if (!S_ISREG(st.st_mode)) {
		errno = EINVAL;
		return false;
	}
	data.resize((size_t)st.st_size);
	ssize_t r = read_at(f.fd, data.data(), data.size(), 0);
	if (r < 0)
		return false;
	data.resize((size_t)r);
	return true;
}

// --- create ---------------------------------------------------------------

struct RecordArg {
	uint32_t type;
	uint32_t id;
	const char *file;
};

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

// The boot loader is installed as its bare payload, so it carries a copy of
// its header words at byte 240 for the board to identify it by.  Its crc
// word cannot be the record's own checksum (the copy is inside the span);
// the board never compares it, and it is left 0.
void stamp_uboot_copy(std::vector<uint8_t> &payload, const ImageHeader &hdr)
{
	uint8_t *copy = payload.data() + UBOOT_HEADER_COPY_OFFSET;
	store_be32(copy, 0);
	store_be32(copy + 4, hdr.len);
	store_be32(copy + 8, hdr.magic);
	store_be32(copy + 12, hdr.id);
}

int write_record(int out, const RecordArg &rec, uint32_t hdr_len, const char *outname)
{
	std::vector<uint8_t> payload;
	if (!read_file(rec.file, payload))
		return fail_errno(rec.file);
	uint32_t header_len = hdr_len ? hdr_len : BASIC_HEADER_LEN;
	if (payload.size() > UINT32_MAX - header_len)
		return fail("too large for one record", rec.file);

	ImageHeader hdr{};
	hdr.len = (uint32_t)payload.size();
	hdr.magic = rec.type | (hdr_len ? EXTENDED_HEADER_FLAG : 0);
	hdr.id = rec.id;
	hdr.hdr_len = (uint16_t)hdr_len;

	if (rec.type == TYPE_UBOOT) {
		if (payload.size() < UBOOT_HEADER_COPY_OFFSET + BASIC_HEADER_LEN)
			return fail("boot-loader payload too short to hold its header copy at byte 240 "
				    "(needs at least 256 bytes)",
				    rec.file);
		stamp_uboot_copy(payload, hdr);
	}

	std::vector<uint8_t> header(header_len, 0);
	encode_header(hdr, header.data());
	uint32_t crc = gen_crc(header.data() + 4, header_len - 4, 0xFFFFFFFF);
	crc = gen_crc(payload.data(), hdr.len, crc);
	store_be32(header.data(), crc);

	if (!write_all(out, header.data(), header.size()) ||
	    !write_all(out, payload.data(), payload.size()))
		return fail_errno(outname);
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

// --- reading packages -----------------------------------------------------

struct Scanned {
	unsigned index;   // 1-based
	uint64_t offset;
	WalkEntry walk;
	uint32_t computed; // valid when walk.step is record
	bool intact;
	uint64_t remaining;
};

struct Package {
	int fd;
	uint64_t size;
	std::vector<uint8_t> chunk;
};

// Spans at least this long are checksummed from a mapping, in two halves on
// two cores: a big root filesystem or application is then checked about as
// fast as it can be read.
constexpr uint32_t PARALLEL_SPAN = 8u << 20;

// The register after A then B, from the registers of A and of B each
// started at 0xFFFFFFFF: zlib joins its own (complemented) form.
uint32_t crc_join(uint32_t crc_a, uint32_t crc_b, uint32_t len_b)
{
	return ~(uint32_t)crc32_combine(~crc_a, ~crc_b, len_b);
}

bool checksum_mapped(int fd, uint64_t start, uint32_t len, uint32_t *crc)
{
	uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
	uint64_t base = start & ~(page - 1);
	size_t map_len = (size_t)(start - base + len);
	void *map = mmap(nullptr, map_len, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, (off_t)base);
	if (map == MAP_FAILED)
		return false;
	const uint8_t *p = (const uint8_t *)map + (start - base);
	uint32_t half = len / 2;
	uint32_t crc_b = 0;
	std::thread second([&] { crc_b = gen_crc(p + half, len - half, 0xFFFFFFFF); });
	uint32_t crc_a = gen_crc(p, half, 0xFFFFFFFF);
	second.join();
	munmap(map, map_len);
	*crc = crc_join(crc_a, crc_b, len - half);
	return true;
}

// Checksum of a record's span, read back from the package piece by piece.
bool checksum_record(Package &pkg, uint64_t offset, uint32_t record_len, uint32_t *crc)
{
	// The size was checked against the file when the walk started; a file
	// that shrinks while it is mapped would fault, so the mapping is only
	// used when the file still holds the whole record.
	struct stat st;
	if (record_len - 4 >= PARALLEL_SPAN && fstat(pkg.fd, &st) == 0 &&
	    (uint64_t)st.st_size >= offset + record_len &&
	    checksum_mapped(pkg.fd, offset + 4, record_len - 4, crc))
		return true;

	uint32_t reg = 0xFFFFFFFF;
	uint64_t pos = offset + 4;
	uint64_t left = record_len - 4;
	while (left > 0) {
		size_t n = left < CHUNK ? (size_t)left : CHUNK;
		ssize_t r = read_at(pkg.fd, pkg.chunk.data(), n, pos);
		if (r != (ssize_t)n) {
			if (r >= 0)
				errno = EIO; // the file shrank under us
			return false;
		}
		reg = gen_crc(pkg.chunk.data(), (uint32_t)n, reg);
		pos += n;
		left -= n;
	}
	*crc = reg;
	return true;
}

// Walks the package the way the board does and hands every step to `visit`,
// the final one (end, tail or an unusable header) included.  Returns false
// on an I/O error, with errno set.
bool scan_package(Package &pkg, const std::function<void(const Scanned &)> &visit)
{
	pkg.chunk.resize(pkg.size < CHUNK ? (size_t)pkg.size : CHUNK);
	uint64_t offset = 0;
	for (unsigned index = 1;; index++) {
		Scanned s{};
		s.index = index;
		s.offset = offset;
		s.remaining = pkg.size - offset;
		uint8_t head[IMAGE_HEADER_READ] = {};
		size_t want = s.remaining < IMAGE_HEADER_READ ? (size_t)s.remaining : IMAGE_HEADER_READ;
		if (read_at(pkg.fd, head, want, offset) != (ssize_t)want)
			return false;
		s.walk = walk_step(head, s.remaining);
		if (s.walk.step != WalkStep::record) {
			visit(s);
			return true;
		}
		if (!checksum_record(pkg, offset, s.walk.record_len, &s.computed))
			return false;
		s.intact = s.computed == s.walk.hdr.crc;
		visit(s);
		offset += s.walk.record_len;
	}
}

int open_package(const char *path, Fd &f, uint64_t *size)
{
	f.fd = open(path, O_RDONLY);
	if (f.fd < 0)
		return fail_errno(path);
	struct stat st;
	if (fstat(f.fd, &st) != 0)
		return fail_errno(path);
	if (!S_ISREG(st.st_mode))
		return fail("not a regular file", path);
	*size = (uint64_t)st.st_size;
	return PKG_OK;
}

// Opens the package at `path` and hands it to `use`; a package that cannot
// be opened ends the command here with its one-line error.
template <typename Use> int with_package(const char *path, Use use)
{
	Fd f;
	uint64_t size;
	int rc = open_package(path, f, &size);
	if (rc != PKG_OK)
		return rc;
	Package pkg{f.fd, size, {}};
	return use(pkg);
}

std::string version_text(uint32_t id)
{
	char buf[20];
	snprintf(buf, sizeof buf, "%u.%u.%u.%u", id >> 24, (id >> 16) & 0xFF, (id >> 8) & 0xFF, id & 0xFF);
	return buf;
}

std::string type_text(uint32_t type)
{
	const char *name = type_name(type);
	if (name)
		return name;
	char buf[16];
	snprintf(buf, sizeof buf, "0x%08x", type);
	return buf;
}

// What is wrong with the last step of a walk, or an empty string when the
// walk simply ended.
std::string ending_problem(const Scanned &s)
{
	char buf[160];
	switch (s.walk.step) {
	case WalkStep::end:
	case WalkStep::record:
		return "";
	case WalkStep::tail:
		snprintf(buf, sizeof buf, "%" PRIu64 " trailing bytes are not a record", s.remaining);
		return buf;
	case WalkStep::bad:
		snprintf(buf, sizeof buf, "unusable record header (%s): type %s, header length %u, "
			 "payload length %u, %" PRIu64 " bytes left",
			 record_state_text(s.walk.state), type_text(header_type(s.walk.hdr)).c_str(),
			 s.walk.header_len, s.walk.hdr.len, s.remaining);
		return buf;
	}
	return "";
}

void print_list_line(FILE *out, const Scanned &s)
{
	if (s.walk.step != WalkStep::record) {
		std::string problem = ending_problem(s);
		if (!problem.empty())
			fprintf(out, "%-3u 0x%08" PRIx64 "  %s\n", s.index, s.offset, problem.c_str());
		return;
	}
	char form[24];
	snprintf(form, sizeof form, "%s/%u", header_is_extended(s.walk.hdr) ? "extended" : "basic",
		 s.walk.header_len);
	fprintf(out, "%-3u 0x%08" PRIx64 "  %-10s  %-15s  %-14s  %10u  ", s.index, s.offset,
		type_text(header_type(s.walk.hdr)).c_str(), version_text(s.walk.hdr.id).c_str(), form,
		s.walk.hdr.len);
	if (s.intact)
		fprintf(out, "OK 0x%08x\n", s.walk.hdr.crc);
	else
		fprintf(out, "BAD stored 0x%08x computed 0x%08x\n", s.walk.hdr.crc, s.computed);
}

// Tally of a walk: the package is good when it holds at least one record
// and every step was an intact record or the plain end.
struct Tally {
	unsigned records = 0;
	unsigned bad = 0;
	bool clean_end = false;
	Scanned first_problem{};
	bool have_problem = false;

	void add(const Scanned &s)
	{
		if (s.walk.step == WalkStep::record) {
			records++;
			if (s.intact)
				return;
			bad++;
		} else if (s.walk.step == WalkStep::end) {
			clean_end = true;
			return;
		}
		if (!have_problem) {
			first_problem = s;
			have_problem = true;
		}
	}
	bool good() const { return records > 0 && bad == 0 && clean_end; }
};

int list_package(Package &pkg, const char *name, FILE *out)
{
	Tally tally;
	fprintf(out, "%-3s %-10s  %-10s  %-15s  %-14s  %10s  %s\n", "#", "offset", "type", "version",
		"header", "payload", "checksum");
	bool ok = scan_package(pkg, [&](const Scanned &s) {
		print_list_line(out, s);
		tally.add(s);
	});
	if (!ok)
		return fail_errno(name);
	if (tally.records == 0 && tally.clean_end)
		fprintf(out, "(no records)\n");
	return tally.good() ? PKG_OK : PKG_BAD;
}

bool make_dir(const char *dir)
{
	if (mkdir(dir, 0755) == 0 || errno == EEXIST) {
		struct stat st;
		if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
			return true;
		errno = ENOTDIR;
	}
	return false;
}

bool copy_range(Package &pkg, uint64_t offset, uint32_t len, int out)
{
	uint64_t left = len;
	while (left > 0) {
		size_t n = left < CHUNK ? (size_t)left : CHUNK;
		if (read_at(pkg.fd, pkg.chunk.data(), n, offset) != (ssize_t)n)
			return false;
		if (!write_all(out, pkg.chunk.data(), n))
			return false;
		offset += n;
		left -= n;
	}
	return true;
}

int extract_payload(Package &pkg, const Scanned &s, const std::string &dir, FILE *out)
{
	char name[48];
	snprintf(name, sizeof name, "%02u-%s.bin", s.index, type_text(header_type(s.walk.hdr)).c_str());
	std::string path = dir + "/" + name;
	PendingFile f;
	if (!open_pending(f, path))
		return fail_errno(path.c_str());
	if (!copy_range(pkg, s.offset + s.walk.header_len, s.walk.hdr.len, f.fd) || !commit_pending(f))
		return fail_errno(path.c_str());
	fprintf(out, "%s\n", path.c_str());
	return PKG_OK;
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
	uint32_t hdr_len = 0;
	std::vector<RecordArg> records;
	for (int i = 1; i < argc; i++) {
		int rc;
		if (strncmp(argv[i], "--extended", 10) == 0 && (argv[i][10] == '\0' || argv[i][10] == '='))
			rc = parse_extended(argv[i], &hdr_len);
		else if (argv[i][0] == '-')
			rc = fail("unknown option", argv[i]);
		else {
			records.emplace_back();
			rc = parse_record_arg(argv[i], &records.back());
		}
		if (rc != PKG_OK)
			return rc;
	}
	if (records.empty())
		return fail("no records given (TYPE=FILE[@A.B.C.D] ...)", outname);

	PendingFile f;
	if (!open_pending(f, outname))
		return fail_errno(outname);
	for (const RecordArg &rec : records) {
		int rc = write_record(f.fd, rec, hdr_len, outname);
		if (rc != PKG_OK)
			return rc;
	}
	if (!commit_pending(f))
		return fail_errno(outname);
	return PKG_OK;
}

namespace {

int verify_package(Package &pkg, const char *path, FILE *out)
{
	Tally tally;
	if (!scan_package(pkg, [&](const Scanned &s) { tally.add(s); }))
		return fail_errno(path);
	if (tally.good()) {
		fprintf(out, "%s: OK, %u record%s\n", path, tally.records, tally.records == 1 ? "" : "s");
		return PKG_OK;
	}
	const Scanned &p = tally.first_problem;
	if (!tally.have_problem)
		fprintf(out, "%s: BAD, no records\n", path);
	else if (p.walk.step == WalkStep::record)
		fprintf(out, "%s: BAD, record %u (%s) at 0x%08" PRIx64 ": checksum mismatch\n", path, p.index,
			type_text(header_type(p.walk.hdr)).c_str(), p.offset);
	else
		fprintf(out, "%s: BAD, at 0x%08" PRIx64 ": %s\n", path, p.offset, ending_problem(p).c_str());
	return PKG_BAD;
}

int extract_package(Package &pkg, const char *path, const char *dir, FILE *out)
{
	if (!make_dir(dir))
		return fail_errno(dir);
	Tally tally;
	int io = PKG_OK;
	bool ok = scan_package(pkg, [&](const Scanned &s) {
		tally.add(s);
		if (io != PKG_OK || s.walk.step != WalkStep::record)
			return;
		if (s.intact)
			io = extract_payload(pkg, s, dir, out);
		else
			fprintf(stderr, "pkgtool: %s: record %u (%s) at 0x%08" PRIx64 " fails its checksum, "
				"not extracted\n", path, s.index, type_text(header_type(s.walk.hdr)).c_str(),
				s.offset);
	});
	if (!ok)
		return fail_errno(path);
	if (io != PKG_OK)
		return io;
	if (tally.have_problem && tally.first_problem.walk.step != WalkStep::record)
		fprintf(stderr, "pkgtool: %s: at 0x%08" PRIx64 ": %s\n", path, tally.first_problem.offset,
			ending_problem(tally.first_problem).c_str());
	return tally.good() ? PKG_OK : PKG_BAD;
}

int checksum_file(Package &pkg, const char *path, FILE *out)
{
	std::vector<uint8_t> chunk(CHUNK);
	uint32_t reg = 0xFFFFFFFF;
	for (uint64_t off = 0; off < pkg.size;) {
		ssize_t r = read_at(pkg.fd, chunk.data(), chunk.size(), off);
		if (r < 0)
			return fail_errno(path);
		if (r == 0)
			break;
		reg = gen_crc(chunk.data(), (uint32_t)r, reg);
		off += (uint64_t)r;
	}
	fprintf(out, "0x%08x  %s\n", reg, path);
	return PKG_OK;
}

} // namespace

int pkg_list_fd(int fd, uint64_t size, FILE *out)
{
	Package pkg{fd, size, {}};
	return list_package(pkg, "package", out);
}

int pkg_list(const char *path, FILE *out)
{
	return with_package(path, [&](Package &pkg) { return list_package(pkg, path, out); });
}

int pkg_verify(const char *path, FILE *out)
{
	return with_package(path, [&](Package &pkg) { return verify_package(pkg, path, out); });
}

int pkg_extract(const char *path, const char *dir, FILE *out)
{
	return with_package(path, [&](Package &pkg) { return extract_package(pkg, path, dir, out); });
}

int pkg_crc(const char *path, FILE *out)
{
	return with_package(path, [&](Package &pkg) { return checksum_file(pkg, path, out); });
}

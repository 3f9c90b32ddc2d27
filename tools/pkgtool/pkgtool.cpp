#include "pkgtool.h"

#include <cerrno>
#include <cinttypes>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "image/crc.h"
#include "image/record.h"

namespace {

// Reads the window anew from off; false on an I/O error, with errno set.
bool refill_window(Package &pkg, uint64_t off)
{
	if (pkg.window.empty())
		pkg.window.resize(pkg.size < IO_CHUNK ? (size_t)pkg.size : IO_CHUNK);
	uint64_t left = pkg.size - off;
	size_t want = left < IO_CHUNK ? (size_t)left : IO_CHUNK;
	ssize_t r = read_at(pkg.fd, pkg.window.data(), want, off);
	pkg.window_off = off;
	pkg.window_len = r < 0 ? 0 : (size_t)r;
	return r >= 0;
}

} // namespace

const uint8_t *bytes_at(Package &pkg, uint64_t off, size_t n)
{
	static const uint8_t nothing = 0;
	if (n == 0)
		return &nothing;
	bool inside = off >= pkg.window_off && off - pkg.window_off + n <= pkg.window_len;
	if (!inside) {
		if (!refill_window(pkg, off))
			return nullptr;
		if (pkg.window_len < n) {
			errno = EIO;
			return nullptr;
		}
	}
	return pkg.window.data() + (off - pkg.window_off);
}

namespace {

// Spans at least this long are checksummed from a mapping, in two halves on
// two cores: a big root filesystem or application is then checked about as
// fast as it can be read.
constexpr uint32_t PARALLEL_SPAN = 8u << 20;

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

// Checksum of the `len` bytes at `pos`, read piece by piece.
bool checksum_span(Package &pkg, uint64_t pos, uint64_t len, uint32_t *crc)
{
	uint32_t reg = 0xFFFFFFFF;
	while (len > 0) {
		size_t n = len < IO_CHUNK ? (size_t)len : IO_CHUNK;
		const uint8_t *p = bytes_at(pkg, pos, n);
		if (!p)
			return false;
		reg = gen_crc(p, (uint32_t)n, reg);
		pos += n;
		len -= n;
	}
	*crc = reg;
	return true;
}

// Checksum of a record's span, bytes 4 to the end.
bool checksum_record(Package &pkg, uint64_t offset, uint32_t record_len, uint32_t *crc)
{
	uint32_t span = record_len - 4;
	// Packages of many tiny records spend their time here.
	if (span <= IO_CHUNK) {
		const uint8_t *p = bytes_at(pkg, offset + 4, span);
		if (!p)
			return false;
		*crc = gen_crc(p, span, 0xFFFFFFFF);
		return true;
	}
	// The size was checked against the file when the walk started; a file
	// that shrinks while it is mapped would fault, so the mapping is only
	// used when the file still holds the whole record.
	struct stat st;
	if (span >= PARALLEL_SPAN && fstat(pkg.fd, &st) == 0 && (uint64_t)st.st_size >= offset + record_len &&
	    checksum_mapped(pkg.fd, offset + 4, span, crc))
		return true;
	return checksum_span(pkg, offset + 4, span, crc);
}

} // namespace

bool scan_package(Package &pkg, const std::function<void(const Scanned &)> &visit)
{
	uint64_t offset = 0;
	for (uint64_t index = 1;; index++) {
		Scanned s{};
		s.index = index;
		s.offset = offset;
		s.remaining = pkg.size - offset;
		size_t want = s.remaining < IMAGE_HEADER_READ ? (size_t)s.remaining : IMAGE_HEADER_READ;
		const uint8_t *head = bytes_at(pkg, offset, want);
		if (!head)
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

int with_package(const char *path, const std::function<int(Package &)> &use)
{
	Fd f;
	uint64_t size;
	int rc = open_regular(path, f, &size);
	if (rc != PKG_OK)
		return rc;
	Package pkg(f.fd, size);
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

namespace {

void print_list_line(FILE *out, const Scanned &s)
{
	if (s.walk.step != WalkStep::record) {
		std::string problem = ending_problem(s);
		if (!problem.empty())
			fprintf(out, "%-3" PRIu64 " 0x%08" PRIx64 "  %s\n", s.index, s.offset, problem.c_str());
		return;
	}
	char form[24];
	snprintf(form, sizeof form, "%s/%u", header_is_extended(s.walk.hdr) ? "extended" : "basic",
		 s.walk.header_len);
	fprintf(out, "%-3" PRIu64 " 0x%08" PRIx64 "  %-10s  %-15s  %-14s  %10u  ", s.index, s.offset,
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
	uint64_t records = 0;
	uint64_t bad = 0;
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
		size_t n = left < IO_CHUNK ? (size_t)left : IO_CHUNK;
		const uint8_t *p = bytes_at(pkg, offset, n);
		if (!p || !write_all(out, p, n))
			return false;
		offset += n;
		left -= n;
	}
	return true;
}

int extract_payload(Package &pkg, const Scanned &s, const std::string &dir, FILE *out)
{
	char name[48];
	snprintf(name, sizeof name, "%02" PRIu64 "-%s.bin", s.index, type_text(header_type(s.walk.hdr)).c_str());
	std::string path = dir + "/" + name;
	PendingFile f;
	if (!open_pending(f, path))
		return fail_errno(path.c_str());
	if (!copy_range(pkg, s.offset + s.walk.header_len, s.walk.hdr.len, f.fd) || !commit_pending(f))
		return fail_errno(path.c_str());
	fprintf(out, "%s\n", path.c_str());
	return PKG_OK;
}

int verify_package(Package &pkg, const char *path, FILE *out)
{
	Tally tally;
	if (!scan_package(pkg, [&](const Scanned &s) { tally.add(s); }))
		return fail_errno(path);
	if (tally.good()) {
		fprintf(out, "%s: OK, %" PRIu64 " record%s\n", path, tally.records, tally.records == 1 ? "" : "s");
		return PKG_OK;
	}
	const Scanned &p = tally.first_problem;
	if (!tally.have_problem)
		fprintf(out, "%s: BAD, no records\n", path);
	else if (p.walk.step == WalkStep::record)
		fprintf(out, "%s: BAD, record %" PRIu64 " (%s) at 0x%08" PRIx64 ": checksum mismatch\n", path, p.index,
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
			fprintf(stderr, "pkgtool: %s: record %" PRIu64 " (%s) at 0x%08" PRIx64 " fails its checksum, "
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
	uint32_t reg;
	if (!checksum_span(pkg, 0, pkg.size, &reg))
		return fail_errno(path);
	fprintf(out, "0x%08x  %s\n", reg, path);
	return PKG_OK;
}

} // namespace

int pkg_list_fd(int fd, uint64_t size, FILE *out)
{
	Package pkg(fd, size);
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

#include "check.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "image/record.h"
#include "pkgtool.h"

namespace {

// What the launch runs, by the path it unpacks to under /tmp.
const char APP_PROGRAM[] = "home/bin/mp.elf.strip";
const char DIAGS_PROGRAM[] = "mpdiag.elf.strip";
const char INSTALL_SCRIPT[] = "home/bin/install.sh";

constexpr uint32_t UBOOT_COPY_END = UBOOT_HEADER_COPY_OFFSET + BASIC_HEADER_LEN;

struct Finding {
	uint64_t index;
	uint64_t offset;
	std::string type; // empty where the walk found no record
	std::string problem;
};

struct Checker {
	explicit Checker(Package &p) : pkg(p) {}
	Package &pkg;
	std::vector<Finding> findings;
	uint64_t records = 0;
	uint64_t first_app = 0; // index of the first application record
	int io_rc = PKG_OK;     // a read that failed; reported once, exit 2

	void add(const Scanned &s, const std::string &type, const std::string &problem)
	{
		findings.push_back({s.index, s.offset, type, problem});
	}
};

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
	char buf[256];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof buf, fmt, ap);
	va_end(ap);
	return buf;
}

// A name from an archive as printable text: control bytes (a terminal's
// escape sequences), bytes that are not ASCII and the backslash as \xNN.
std::string printable(const std::string &name)
{
	std::string out;
	for (unsigned char c : name) {
		if (c < 0x20 || c >= 0x7F || c == '\\')
			out += format("\\x%02x", c);
		else
			out += (char)c;
	}
	return out;
}

// The payload of one record, fed to libarchive piece by piece.
struct PayloadSource {
	int fd;
	uint64_t pos;
	uint64_t end;
	std::vector<uint8_t> buf = std::vector<uint8_t>(1 << 16);
	int error = 0; // errno of a failed read
};

la_ssize_t read_payload(struct archive *, void *ctx, const void **out)
{
	PayloadSource &src = *static_cast<PayloadSource *>(ctx);
	size_t n = src.end - src.pos < src.buf.size() ? (size_t)(src.end - src.pos) : src.buf.size();
	ssize_t r = read_at(src.fd, src.buf.data(), n, src.pos);
	if (r < 0 || (size_t)r != n) {
		src.error = r < 0 ? errno : EIO;
		return -1;
	}
	src.pos += n;
	*out = src.buf.data();
	return (la_ssize_t)n;
}

using ReaderPtr = std::unique_ptr<struct archive, decltype(&archive_read_free)>;

// A reader of a gzip-compressed payload, with the formats asked for;
// *opened is false when the payload would not even start (see the reader's
// error, or src.error for a failed read).
ReaderPtr open_payload(PayloadSource &src, bool tar, bool *opened)
{
	ReaderPtr a(archive_read_new(), archive_read_free);
	*opened = false;
	if (!a)
		return a;
	archive_read_support_filter_gzip(a.get());
	if (tar)
		archive_read_support_format_tar(a.get());
	else
		archive_read_support_format_raw(a.get());
	*opened = archive_read_open(a.get(), &src, nullptr, read_payload, nullptr) == ARCHIVE_OK;
	return a;
}

std::string reader_error(struct archive *a)
{
	const char *why = a ? archive_error_string(a) : nullptr;
	return why ? why : "damaged";
}

// Where a member lands, taken apart lexically; false when it climbs above
// /tmp.  Absolute paths are judged before.
bool resolve(const std::string &path, std::string *resolved)
{
	std::vector<std::string> parts;
	size_t start = 0;
	while (start <= path.size()) {
		size_t slash = path.find('/', start);
		if (slash == std::string::npos)
			slash = path.size();
		std::string part = path.substr(start, slash - start);
		start = slash + 1;
		if (part.empty() || part == ".")
			continue;
		if (part != "..")
			parts.push_back(part);
		else if (parts.empty())
			return false;
		else
			parts.pop_back();
	}
	resolved->clear();
	for (const std::string &p : parts)
		*resolved += (resolved->empty() ? "" : "/") + p;
	return true;
}

struct Member {
	bool present = false;
	bool file = false; // a file, a hard link or a symbolic link: something to run
	mode_t mode = 0;
};

// What one archive holds, as far as the launch cares.
struct ArchiveScan {
	std::map<std::string, Member> wanted{{APP_PROGRAM, {}}, {DIAGS_PROGRAM, {}}, {INSTALL_SCRIPT, {}}};
	std::set<std::string> outward_links; // symbolic links that lead out of /tmp
	std::vector<std::string> problems;
};

// The outward link that `path`, or a folder on its way, is; empty if none.
std::string outward_prefix(const ArchiveScan &scan, const std::string &path, bool whole)
{
	for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
		if (scan.outward_links.count(path.substr(0, slash)))
			return path.substr(0, slash);
	return whole && scan.outward_links.count(path) ? path : "";
}

// A member's path, or a hard link's target: false (with the problem noted)
// when the board would write it somewhere other than under /tmp.
bool judge_path(ArchiveScan &scan, const char *what, const std::string &raw, std::string *resolved)
{
	std::string problem;
	if (!raw.empty() && raw[0] == '/')
		problem = " is an absolute path";
	else if (!resolve(raw, resolved))
		problem = " leaves /tmp";
	else if (std::string via = outward_prefix(scan, *resolved, false); !via.empty())
		problem = " is unpacked through the symbolic link " + printable(via) + ", which leads out of /tmp";
	if (!problem.empty())
		scan.problems.push_back(std::string(what) + printable(raw) + problem);
	return problem.empty();
}

// A link whose target is absolute, climbs above /tmp or goes through such a
// link: members unpacked through it would land outside /tmp.
void note_link(ArchiveScan &scan, const std::string &link, const std::string &target)
{
	size_t slash = link.rfind('/');
	std::string from = slash == std::string::npos ? "" : link.substr(0, slash + 1);
	std::string resolved;
	if (target.empty() || target[0] == '/' || !resolve(from + target, &resolved) ||
	    !outward_prefix(scan, resolved, true).empty())
		scan.outward_links.insert(link);
}

void examine_member(ArchiveScan &scan, struct archive_entry *e)
{
	const char *name = archive_entry_pathname(e);
	std::string path;
	if (!judge_path(scan, "member ", name ? name : "", &path))
		return;
	const char *hardlink = archive_entry_hardlink(e);
	std::string target;
	if (hardlink && !judge_path(scan, "hard link target ", hardlink, &target))
		return;
	const char *symlink = archive_entry_symlink(e);
	if (archive_entry_filetype(e) == AE_IFLNK && symlink)
		note_link(scan, path, symlink);
	auto wanted = scan.wanted.find(path);
	if (wanted == scan.wanted.end())
		return;
	mode_t type = archive_entry_filetype(e);
	wanted->second.present = true;
	wanted->second.file = hardlink || type == AE_IFREG || type == AE_IFLNK;
	// Whether a link's target may be run is the target's business.
	wanted->second.mode = type == AE_IFLNK ? 0777 : archive_entry_perm(e);
}

// Reads the whole archive as the board's tar would; an empty string when
// it reads to its end, else why not.
std::string scan_archive(PayloadSource &src, ArchiveScan &scan)
{
	bool opened;
	ReaderPtr a = open_payload(src, true, &opened);
	if (!opened)
		return reader_error(a.get());
	struct archive_entry *e;
	int r;
	while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
		if (archive_filter_code(a.get(), 0) != ARCHIVE_FILTER_GZIP)
			return "not gzip-compressed";
		examine_member(scan, e);
		if (archive_read_data_skip(a.get()) != ARCHIVE_OK)
			break;
	}
	if (r == ARCHIVE_EOF)
		return archive_filter_code(a.get(), 0) == ARCHIVE_FILTER_GZIP ? "" : "not gzip-compressed";
	return reader_error(a.get());
}

// A debugger image: the gzip-compressed program itself, not an archive.
// It is installed like an application, for the launch to take from the
// slot not booted.
bool compressed_program(PayloadSource &src)
{
	bool opened;
	ReaderPtr a = open_payload(src, false, &opened);
	struct archive_entry *e;
	if (!opened || archive_read_next_header(a.get(), &e) != ARCHIVE_OK ||
	    archive_filter_code(a.get(), 0) != ARCHIVE_FILTER_GZIP)
		return false;
	uint8_t magic[4];
	size_t got = 0;
	while (got < sizeof magic) {
		la_ssize_t n = archive_read_data(a.get(), magic + got, sizeof magic - got);
		if (n <= 0)
			return false;
		got += (size_t)n;
	}
	return memcmp(magic, "\x7f" "ELF", 4) == 0;
}

PayloadSource payload_of(const Checker &c, const Scanned &s)
{
	uint64_t start = s.offset + s.walk.header_len;
	return PayloadSource{c.pkg.fd, start, start + s.walk.hdr.len};
}

void need_program(std::vector<std::string> &problems, const ArchiveScan &scan, const char *path)
{
	const Member &m = scan.wanted.at(path);
	if (!m.present || !m.file)
		problems.push_back(std::string("lacks ") + path);
	else if ((m.mode & 0111) == 0)
		problems.push_back(std::string(path) + " is not executable");
}

// The archive of an application or diagnostics record, as the launch will
// unpack and start it.
void check_archive(Checker &c, const Scanned &s, uint32_t type)
{
	ArchiveScan scan;
	PayloadSource src = payload_of(c, s);
	std::string unreadable = scan_archive(src, scan);
	if (!unreadable.empty() && !src.error) {
		PayloadSource again = payload_of(c, s);
		if (!compressed_program(again))
			c.add(s, type_text(type), "payload is not a readable gzip-compressed tar archive (" + unreadable + ")");
		src.error = again.error;
	}
	if (src.error) {
		errno = src.error;
		c.io_rc = PKG_ERROR;
		return;
	}
	if (!unreadable.empty())
		return;
	need_program(scan.problems, scan, type == TYPE_DIAGS ? DIAGS_PROGRAM : APP_PROGRAM);
	const Member &script = scan.wanted.at(INSTALL_SCRIPT);
	if (script.present && script.file && (script.mode & 0111) == 0)
		scan.problems.push_back(std::string(INSTALL_SCRIPT) + " is not executable: the launch runs it directly");
	for (const std::string &p : scan.problems)
		c.add(s, type_text(type), p);
}

// The board identifies an installed boot loader by the copy of its header
// words at payload byte 240 (the crc word is never compared).
void check_uboot_copy(Checker &c, const Scanned &s)
{
	const ImageHeader &hdr = s.walk.hdr;
	if (hdr.len < UBOOT_COPY_END) {
		c.add(s, "uboot", "payload shorter than 256 bytes: no room for its header copy at byte 240");
		return;
	}
	uint8_t copy[BASIC_HEADER_LEN];
	ssize_t r = read_at(c.pkg.fd, copy, sizeof copy, s.offset + s.walk.header_len + UBOOT_HEADER_COPY_OFFSET);
	if (r != (ssize_t)sizeof copy) {
		if (r >= 0)
			errno = EIO;
		c.io_rc = PKG_ERROR;
		return;
	}
	uint32_t len = load_be32(copy + 4), magic = load_be32(copy + 8), id = load_be32(copy + 12);
	if (len != hdr.len || magic != hdr.magic || id != hdr.id)
		c.add(s, "uboot", format("header copy at byte 240 does not match the record (it holds length %u, "
					 "magic 0x%08x, version %s)",
					 len, magic, version_text(id).c_str()));
}

void check_size(Checker &c, const Scanned &s, uint32_t type)
{
	const InstallLimit *limit = install_limit(type);
	if (!limit)
		return;
	uint32_t size = install_checked_size(*limit, s.walk.hdr);
	if (size > limit->limit)
		c.add(s, type_text(type), format("too big for its partition: %s %u > %u",
						 limit->payload_only ? "payload length" : "record length", size,
						 limit->limit));
}

void check_step(Checker &c, const Scanned &s)
{
	if (s.walk.step != WalkStep::record) {
		std::string problem = ending_problem(s);
		if (!problem.empty())
			c.add(s, "", problem);
		else if (c.records == 0)
			c.add(s, "", "no records");
		return;
	}
	c.records++;
	uint32_t type = header_type(s.walk.hdr);
	if (!s.intact) {
		c.add(s, type_text(type), format("checksum mismatch (stored 0x%08x, computed 0x%08x)", s.walk.hdr.crc,
						 s.computed));
		return;
	}
	if (!type_name(type)) {
		c.add(s, type_text(type), "unknown record type: the installer passes over it");
		return;
	}
	check_size(c, s, type);
	if (type == TYPE_APPLICATION && c.first_app)
		c.add(s, "app", format("a second application record: the installer asks for one slot per package, "
				       "so it replaces record %" PRIu64 " there",
				       c.first_app));
	if (type == TYPE_APPLICATION && !c.first_app)
		c.first_app = s.index;
	if (type == TYPE_UBOOT)
		check_uboot_copy(c, s);
	if (type == TYPE_APPLICATION || type == TYPE_DIAGS)
		check_archive(c, s, type);
}

std::string json_string(const std::string &text)
{
	std::string out = "\"";
	for (char ch : printable(text)) {
		if (ch == '"' || ch == '\\')
			out += '\\';
		out += ch;
	}
	return out + "\"";
}

void print_json(const Checker &c, const char *path, FILE *out)
{
	fprintf(out, "{\"package\": %s, \"records\": %" PRIu64 ", \"ok\": %s, \"findings\": [",
		json_string(path).c_str(), c.records, c.findings.empty() ? "true" : "false");
	const char *sep = "";
	for (const Finding &f : c.findings) {
		fprintf(out, "%s{\"record\": %" PRIu64 ", \"offset\": %" PRIu64 ", \"type\": %s, \"problem\": %s}", sep,
			f.index, f.offset, f.type.empty() ? "null" : json_string(f.type).c_str(),
			json_string(f.problem).c_str());
		sep = ", ";
	}
	fputs("]}\n", out);
}

void print_text(const Checker &c, const char *path, FILE *out)
{
	if (c.findings.empty())
		fprintf(out, "%s: OK, %" PRIu64 " record%s\n", path, c.records, c.records == 1 ? "" : "s");
	for (const Finding &f : c.findings) {
		if (f.type.empty())
			fprintf(out, "%s: at 0x%08" PRIx64 ": %s\n", path, f.offset, f.problem.c_str());
		else
			fprintf(out, "%s: record %" PRIu64 " (%s) at 0x%08" PRIx64 ": %s\n", path, f.index,
				f.type.c_str(), f.offset, f.problem.c_str());
	}
}

int check_package(Package &pkg, const char *path, bool json, FILE *out)
{
	Checker c(pkg);
	bool ok = scan_package(pkg, [&](const Scanned &s) {
		if (c.io_rc == PKG_OK)
			check_step(c, s);
	});
	if (!ok || c.io_rc != PKG_OK)
		return fail_errno(path);
	if (json)
		print_json(c, path, out);
	else
		print_text(c, path, out);
	return c.findings.empty() ? PKG_OK : PKG_BAD;
}

} // namespace

int pkg_check(const char *path, bool json, FILE *out)
{
	return with_package(path, [&](Package &pkg) { return check_package(pkg, path, json, out); });
}

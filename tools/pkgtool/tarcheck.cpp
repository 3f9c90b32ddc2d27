#include "tarcheck.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sys/types.h>

#include "pkgfile.h"

namespace {

// What the launch runs, by the path it unpacks to under /tmp.
const char APP_PROGRAM[] = "home/bin/mp.elf.strip";
const char DIAGS_PROGRAM[] = "mpdiag.elf.strip";
const char INSTALL_SCRIPT[] = "home/bin/install.sh";

// The length of the UTF-8 sequence for one printable character at s[i]
// (which is not ASCII), or 0: invalid or overlong sequences, surrogates and
// the C1 controls, which some terminals obey, are not passed on.
size_t printable_utf8(const std::string &s, size_t i)
{
	unsigned char c = (unsigned char)s[i];
	size_t n = c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
	if (n == 0 || i + n > s.size())
		return 0;
	uint32_t cp = c & (0x7F >> n);
	for (size_t k = 1; k < n; k++) {
		unsigned char b = (unsigned char)s[i + k];
		if ((b & 0xC0) != 0x80)
			return 0;
		cp = cp << 6 | (b & 0x3F);
	}
	static const uint32_t smallest[] = {0, 0, 0xA0, 0x800, 0x10000};
	if (cp < smallest[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
		return 0;
	return n;
}

} // namespace

std::string printable(const std::string &name)
{
	std::string out;
	for (size_t i = 0; i < name.size();) {
		unsigned char c = (unsigned char)name[i];
		size_t n = c >= 0x80 ? printable_utf8(name, i) : c >= 0x20 && c != 0x7F && c != '\\' ? 1 : 0;
		if (n == 0) {
			char esc[8];
			snprintf(esc, sizeof esc, "\\x%02x", c);
			out += esc;
			n = 1;
		} else {
			out.append(name, i, n);
		}
		i += n;
	}
	return out;
}

namespace {

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
	// libarchive's messages may quote names from the archive.
	const char *why = a ? archive_error_string(a) : nullptr;
	return why ? printable(why) : "damaged";
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

void need_program(std::vector<std::string> &problems, const ArchiveScan &scan, const char *path)
{
	const Member &m = scan.wanted.at(path);
	if (!m.present || !m.file)
		problems.push_back(std::string("lacks ") + path);
	else if ((m.mode & 0111) == 0)
		problems.push_back(std::string(path) + " is not executable");
}

} // namespace

int check_app_archive(int fd, uint64_t start, uint64_t len, bool diags, std::vector<std::string> *problems)
{
	ArchiveScan scan;
	PayloadSource src{fd, start, start + len};
	std::string unreadable = scan_archive(src, scan);
	if (src.error)
		return src.error;
	if (!unreadable.empty()) {
		PayloadSource again{fd, start, start + len};
		if (!compressed_program(again))
			problems->push_back("payload is not a readable gzip-compressed tar archive (" + unreadable + ")");
		return again.error;
	}
	need_program(scan.problems, scan, diags ? DIAGS_PROGRAM : APP_PROGRAM);
	const Member &script = scan.wanted.at(INSTALL_SCRIPT);
	if (script.present && script.file && (script.mode & 0111) == 0)
		scan.problems.push_back(std::string(INSTALL_SCRIPT) + " is not executable: the launch runs it directly");
	problems->insert(problems->end(), scan.problems.begin(), scan.problems.end());
	return 0;
}

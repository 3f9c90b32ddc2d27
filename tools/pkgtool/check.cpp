#include "check.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <string>
#include <vector>

#include "image/record.h"
#include "pkgtool.h"
#include "tarcheck.h"

namespace {

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

// The archive of an application or diagnostics record, as the launch will
// unpack and start it.
void check_archive(Checker &c, const Scanned &s, uint32_t type)
{
	std::vector<std::string> problems;
	int error = check_app_archive(c.pkg.fd, s.offset + s.walk.header_len, s.walk.hdr.len, type == TYPE_DIAGS,
				      &problems);
	if (error) {
		errno = error;
		c.io_rc = PKG_ERROR;
		return;
	}
	for (const std::string &p : problems)
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

// JSON text of a string that is printable() already.
std::string json_string(const std::string &text)
{
	std::string out = "\"";
	for (char c : text) {
		if (c == '"' || c == '\\')
			out += '\\';
		out += c;
	}
	return out + "\"";
}

void print_json(const Checker &c, const char *path, FILE *out)
{
	fprintf(out, "{\"package\": %s, \"records\": %" PRIu64 ", \"ok\": %s, \"findings\": [",
		json_string(printable(path)).c_str(), c.records, c.findings.empty() ? "true" : "false");
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

#include "conf.h"

#include "sys.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <vector>

namespace vb {

const char *const part_names[NPARTS] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};

namespace {

constexpr uint32_t default_sizes[NPARTS] = {524288, 131072, 262144, 4194304, 16777216, 12582912};

char *trim(char *s)
{
	while (*s == ' ' || *s == '\t')
		s++;
	char *e = s + strlen(s);
	while (e > s && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r' || e[-1] == '\n'))
		*--e = '\0';
	return s;
}

// Decimal, or hexadecimal with 0x; nothing else (no octal surprises).
bool parse_number(const char *s, uint64_t max, uint64_t *out)
{
	int base = 10;
	if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
		base = 16;
		s += 2;
	}
	if (!*s)
		return false;
	uint64_t v = 0;
	for (; *s; s++) {
		int d;
		if (*s >= '0' && *s <= '9')
			d = *s - '0';
		else if (base == 16 && *s >= 'a' && *s <= 'f')
			d = *s - 'a' + 10;
		else if (base == 16 && *s >= 'A' && *s <= 'F')
			d = *s - 'A' + 10;
		else
			return false;
		if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
			return false;
		v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
	}
	*out = v;
	return true;
}

// Calls item for each comma-separated, trimmed element; false if one is
// empty or item refuses it.
template <typename F> bool each_item(char *list, F item)
{
	char *save = nullptr;
	int n = 0;
	for (char *t = strtok_r(list, ",", &save); t; t = strtok_r(nullptr, ",", &save)) {
		t = trim(t);
		if (!*t || !item(t))
			return false;
		n++;
	}
	return n > 0;
}

bool set_missing(Conf *c, char *value)
{
	c->nmissing = 0;
	return each_item(value, [c](char *node) {
		if (node[0] != '/' || strlen(node) >= MAX_NODE || c->nmissing == MAX_MISSING)
			return false;
		strcpy(c->missing[c->nmissing++], node);
		return true;
	});
}

bool set_nak(Conf *c, char *value)
{
	memset(c->i2c_nak, 0, sizeof c->i2c_nak);
	return each_item(value, [c](char *addr) {
		uint64_t a;
		if (!parse_number(addr, 0x7f, &a))
			return false;
		c->i2c_nak[a] = true;
		return true;
	});
}

bool set_count(uint64_t *field, const char *value)
{
	uint64_t v;
	if (!parse_number(value, UINT64_MAX, &v) || v == 0)
		return false;
	*field = v;
	return true;
}

int part_index(const char *name)
{
	for (int i = 0; i < NPARTS; i++)
		if (strcmp(name, part_names[i]) == 0)
			return i;
	return -1;
}

enum Verdict { OK, BAD_KEY, BAD_VALUE };

Verdict apply(Conf *c, const char *key, char *value)
{
	uint64_t v;
	if (strcmp(key, "time") == 0) {
		if (strcmp(value, "fast") != 0 && strcmp(value, "real") != 0)
			return BAD_VALUE;
		c->real_time = strcmp(value, "real") == 0;
		return OK;
	}
	if (strcmp(key, "erase_size") == 0) {
		if (!parse_number(value, UINT32_MAX, &v))
			return BAD_VALUE;
		c->erase_size = static_cast<uint32_t>(v);
		return OK;
	}
	if (strncmp(key, "size.", 5) == 0) {
		int i = part_index(key + 5);
		if (i < 0)
			return BAD_KEY;
		if (!parse_number(value, UINT32_MAX, &v))
			return BAD_VALUE;
		c->part_size[i] = static_cast<uint32_t>(v);
		return OK;
	}
	if (strcmp(key, "fault.missing") == 0)
		return set_missing(c, value) ? OK : BAD_VALUE;
	if (strcmp(key, "fault.i2c_nak") == 0)
		return set_nak(c, value) ? OK : BAD_VALUE;
	if (strcmp(key, "fault.cpld_ready") == 0) {
		if (strcmp(value, "never") == 0) {
			c->cpld_ready = CPLD_NEVER;
			return OK;
		}
		if (!parse_number(value, INT32_MAX, &v))
			return BAD_VALUE;
		c->cpld_ready = static_cast<int>(v);
		return OK;
	}
	if (strcmp(key, "fault.mtd_probe") == 0) {
		if (strcmp(value, "fail") != 0)
			return BAD_VALUE;
		c->mtd_probe_fail = true;
		return OK;
	}
	if (strcmp(key, "fault.mtd_erase_fail_at") == 0)
		return set_count(&c->erase_fail_at, value) ? OK : BAD_VALUE;
	if (strcmp(key, "fault.mtd_write_fail_at") == 0)
		return set_count(&c->write_fail_at, value) ? OK : BAD_VALUE;
	if (strcmp(key, "fault.power_cut_after_writes") == 0)
		return set_count(&c->power_cut_after, value) ? OK : BAD_VALUE;
	return BAD_KEY;
}

bool read_file(const char *path, std::vector<char> *text, bool *absent)
{
	*absent = false;
	int fd = sys::open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		*absent = errno == ENOENT;
		return false;
	}
	char buf[4096];
	ssize_t n;
	while ((n = sys::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
		if (n > 0)
			text->insert(text->end(), buf, buf + n);
	sys::close(fd);
	text->push_back('\0');
	return n == 0;
}

} // namespace

void conf_defaults(Conf *c)
{
	memset(c, 0, sizeof *c);
	c->erase_size = 65536;
	for (int i = 0; i < NPARTS; i++)
		c->part_size[i] = default_sizes[i];
}

bool conf_load(const char *path, Conf *c, char *err, size_t errlen)
{
	conf_defaults(c);
	std::vector<char> text;
	bool absent;
	if (!read_file(path, &text, &absent)) {
		if (absent)
			return true;
		snprintf(err, errlen, "%s: cannot read: %s", path, strerror(errno));
		return false;
	}
	int lineno = 0;
	char *p = text.data();
	while (p && *p) {
		lineno++;
		char *line = p;
		p = strchr(p, '\n');
		if (p)
			*p++ = '\0';
		if (char *hash = strchr(line, '#'))
			*hash = '\0';
		line = trim(line);
		if (!*line)
			continue;
		char *eq = strchr(line, '=');
		if (!eq) {
			snprintf(err, errlen, "%s:%d: expected \"key = value\", got \"%s\"", path, lineno, line);
			return false;
		}
		*eq = '\0';
		char *key = trim(line);
		char *value = trim(eq + 1);
		char shown[256];
		snprintf(shown, sizeof shown, "%s", value);
		switch (apply(c, key, value)) {
		case OK:
			break;
		case BAD_KEY:
			snprintf(err, errlen, "%s:%d: unknown key \"%s\"", path, lineno, key);
			return false;
		case BAD_VALUE:
			snprintf(err, errlen, "%s:%d: bad value \"%s\" for key \"%s\"", path, lineno, shown, key);
			return false;
		}
	}
	return true;
}

bool conf_is_missing(const Conf *c, const char *path)
{
	for (int i = 0; i < c->nmissing; i++)
		if (strcmp(c->missing[i], path) == 0)
			return true;
	return false;
}

} // namespace vb

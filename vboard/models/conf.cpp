#include "conf.h"

#include "sys.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

// board.conf is a few hundred bytes: anything much longer is not one, and
// must not cost every process of the board its memory.
constexpr size_t MAX_CONF = 64 * 1024;

enum Read { READ_OK, READ_ABSENT, READ_FAILED };

// The file's bytes, NUL-terminated. Never blocks on a FIFO or a device: only
// a regular file is read.
Read read_file(const char *path, std::vector<char> *text, char *err, size_t errlen)
{
	int fd = sys::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
	if (fd < 0) {
		if (errno == ENOENT)
			return READ_ABSENT;
		snprintf(err, errlen, "%s: cannot read: %s", path, strerror(errno));
		return READ_FAILED;
	}
	const char *why = nullptr;
	struct stat st;
	if (sys::fstat(fd, &st) != 0)
		why = strerror(errno);
	else if (!S_ISREG(st.st_mode))
		why = "not a regular file";
	char buf[4096];
	ssize_t n = 0;
	while (!why && ((n = sys::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))) {
		if (n > 0 && text->size() + static_cast<size_t>(n) > MAX_CONF)
			why = "longer than 64 KiB";
		else if (n > 0)
			text->insert(text->end(), buf, buf + n);
	}
	if (!why && n < 0)
		why = strerror(errno);
	sys::close(fd);
	if (why) {
		snprintf(err, errlen, "%s: cannot read: %s", path, why);
		return READ_FAILED;
	}
	text->push_back('\0');
	return READ_OK;
}

// One setting; where names it in the message ("FILE:LINE" or "--set ITEM").
bool apply_setting(Conf *c, const char *key, char *value, const char *where, char *err, size_t errlen)
{
	// apply() may cut the value up: keep it whole for the message.
	char shown[256];
	snprintf(shown, sizeof shown, "%s", value);
	switch (apply(c, key, value)) {
	case OK:
		return true;
	case BAD_KEY:
		snprintf(err, errlen, "%s: unknown key \"%s\"", where, key);
		return false;
	case BAD_VALUE:
		break;
	}
	snprintf(err, errlen, "%s: bad value \"%s\" for key \"%s\"", where, shown, key);
	return false;
}

// Splits "key = value" at its first '=' and trims both sides.
bool split_setting(char *text, char **key, char **value)
{
	char *eq = strchr(text, '=');
	if (!eq)
		return false;
	*eq = '\0';
	*key = trim(text);
	*value = trim(eq + 1);
	return true;
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
	switch (read_file(path, &text, err, errlen)) {
	case READ_ABSENT:
		return true;
	case READ_FAILED:
		return false;
	case READ_OK:
		break;
	}
	char *end = text.data() + text.size() - 1;
	int lineno = 0;
	char *next = text.data();
	while (next < end) {
		char *line = next;
		char *nl = static_cast<char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
		char *stop = nl ? nl : end;
		next = stop + 1;
		lineno++;
		char where[4200];
		snprintf(where, sizeof where, "%s:%d", path, lineno);
		// A NUL would silently end the line, and with it what follows.
		if (memchr(line, '\0', static_cast<size_t>(stop - line))) {
			snprintf(err, errlen, "%s: NUL byte in the line", where);
			return false;
		}
		*stop = '\0';
		if (char *hash = strchr(line, '#'))
			*hash = '\0';
		char *setting = trim(line);
		char *key, *value;
		if (!*setting)
			continue;
		if (!split_setting(setting, &key, &value)) {
			snprintf(err, errlen, "%s: expected \"key = value\", got \"%s\"", where, setting);
			return false;
		}
		if (!apply_setting(c, key, value, where, err, errlen))
			return false;
	}
	return true;
}

bool conf_set(Conf *c, const char *item, char *err, size_t errlen)
{
	std::vector<char> text(item, item + strlen(item) + 1);
	char where[300];
	snprintf(where, sizeof where, "--set %s", item);
	// The setting goes into board.conf as given, where '#' would start a
	// comment and a line end another line: what was checked would not be
	// what the board reads.
	if (strpbrk(item, "#\n")) {
		snprintf(err, errlen, "%s: \"#\" and line ends cannot be written to board.conf", where);
		return false;
	}
	char *key, *value;
	if (!split_setting(text.data(), &key, &value)) {
		snprintf(err, errlen, "%s: expected KEY=VALUE", where);
		return false;
	}
	return apply_setting(c, key, value, where, err, errlen);
}

void conf_write(const Conf *c, FILE *out)
{
	fprintf(out, "time=%s\nerase_size=%" PRIu32 "\n", c->real_time ? "real" : "fast", c->erase_size);
	for (int i = 0; i < NPARTS; i++)
		fprintf(out, "size.%s=%" PRIu32 "\n", part_names[i], c->part_size[i]);
	for (int i = 0; i < c->nmissing; i++)
		fprintf(out, "%s%s", i ? "," : "fault.missing=", c->missing[i]);
	if (c->nmissing)
		fputc('\n', out);
	const char *sep = "fault.i2c_nak=";
	for (int a = 0; a < 128; a++)
		if (c->i2c_nak[a]) {
			fprintf(out, "%s0x%02x", sep, a);
			sep = ",";
		}
	if (*sep == ',')
		fputc('\n', out);
	if (c->cpld_ready == CPLD_NEVER)
		fprintf(out, "fault.cpld_ready=never\n");
	else if (c->cpld_ready)
		fprintf(out, "fault.cpld_ready=%d\n", c->cpld_ready);
	if (c->mtd_probe_fail)
		fprintf(out, "fault.mtd_probe=fail\n");
	const struct {
		const char *key;
		uint64_t value;
	} counts[] = {{"fault.mtd_erase_fail_at", c->erase_fail_at},
		      {"fault.mtd_write_fail_at", c->write_fail_at},
		      {"fault.power_cut_after_writes", c->power_cut_after}};
	for (const auto &n : counts)
		if (n.value)
			fprintf(out, "%s=%" PRIu64 "\n", n.key, n.value);
}

bool conf_is_missing(const Conf *c, const char *path)
{
	for (int i = 0; i < c->nmissing; i++)
		if (strcmp(c->missing[i], path) == 0)
			return true;
	return false;
}

} // namespace vb

#include "trace.h"

#include "sys.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace vb {

int trace_open(const char *dir)
{
	char path[4096];
	snprintf(path, sizeof path, "%s/trace.log", dir);
	return sys::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

void trace_append(int fd, uint64_t usec, const std::string &text)
{
	char stamp[32];
	int n = snprintf(stamp, sizeof stamp, "%" PRIu64 " ", usec);
	std::string line(stamp, static_cast<size_t>(n));
	line += text;
	line += '\n';
	sys::write_all(fd, line.data(), line.size());
}

std::string c_escape(const char *s)
{
	std::string out;
	for (; *s; s++) {
		unsigned char c = static_cast<unsigned char>(*s);
		switch (c) {
		case '\n':
			out += "\\n";
			break;
		case '\t':
			out += "\\t";
			break;
		case '\\':
			out += "\\\\";
			break;
		case '"':
			out += "\\\"";
			break;
		default:
			if (c < 0x20 || c >= 0x7f) {
				char hex[8];
				snprintf(hex, sizeof hex, "\\x%02x", c);
				out += hex;
			} else {
				out += static_cast<char>(c);
			}
		}
	}
	return out;
}

std::string trace_word(const char *s)
{
	bool plain = *s != '\0';
	for (const char *p = s; *p && plain; p++) {
		unsigned char c = static_cast<unsigned char>(*p);
		plain = c > 0x20 && c < 0x7f && c != '"' && c != '\\';
	}
	if (plain)
		return s;
	return "\"" + c_escape(s) + "\"";
}

} // namespace vb

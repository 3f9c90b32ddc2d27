// The management port's address questions on arbitrary keys, then Enter,
// Enter, "q" and Enter (which end any question, whatever state the keys
// left the line editor in).  The first byte picks the question: address
// (required, checked), netmask (optional, unchecked) or gateway (optional,
// checked).  The question must end; quitting leaves the address alone; an
// answer taken is a host address where it is checked; a required answer
// is never skipped; and no key is read past the line that ended it.
#include <arpa/inet.h>

#include "harness.h"
#include "mgmt/mgmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const struct { const char *prompt; int required, validate; } QUESTIONS[] = {
		{"IP addr    :", 1, 1}, {"Netmask    :", 0, 0}, {"Gateway    :", 0, 1}};
	if (size == 0)
		return 0;
	const auto &q = QUESTIONS[data[0] % 3];
	std::string keys = std::string((const char *)data + 1, size - 1) + "\r\rq\r";
	type_keys(keys);
	// Any write shows, and no checked answer can equal it (its first octet is 0).
	const in_addr_t untouched = htonl(0x00A5A5A5);
	in_addr address{untouched};
	int result = get_ip_addr(q.prompt, &address, q.required, q.validate);
	uint32_t first_octet = ntohl(address.s_addr) >> 24;
	bool taken = address.s_addr != untouched;
	must((result == 0 && !taken) || (result == 1 && (taken || !q.required)));
	must(!(taken && q.validate && (first_octet == 0 || first_octet > 239)) && read_to_a_line_end(keys));
	return 0;
}

// The management port's address questions on arbitrary keys: get_ip_addr
// reads its answers through the line editor from standard input, a file
// holding the keys, then Enter, Enter, "q" and Enter (which end any
// question, whatever state the keys left the editor in).  The first input
// byte picks the question: IP address or server (required, checked),
// netmask (optional, unchecked) or gateway (optional, checked).
//
// The question must end with the result, the address and the number of
// keys read that the answers typed call for: a line beginning with q
// quits, an empty optional answer keeps the address, an answer that does
// not parse or (when checked) is no host address asks again, any other
// sets the address.  A rejected answer never reaches the address.
#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "keys.h"
#include "mgmt/mgmt.h"

namespace {

struct Question {
	const char *prompt;
	int required;
	int validate;
};

constexpr Question QUESTIONS[] = {
	{"IP addr    :", 1, 1},
	{"Netmask    :", 0, 0},
	{"Gateway    :", 0, 1},
};

constexpr size_t ANSWER_SIZE = 128;
// What the caller's variable holds before the question: any write shows.
constexpr in_addr_t UNTOUCHED = 0xA5A5A5A5;

// A host address: neither 0.x.x.x nor 240.x.x.x and above.
bool host_address(in_addr a)
{
	uint32_t first_octet = ntohl(a.s_addr) >> 24;
	return first_octet != 0 && first_octet <= 239;
}

struct Outcome {
	int result;
	in_addr_t address;
	size_t keys_read;
};

// What the answers typed should give.
Outcome expected(const std::string &keys, const Question &q)
{
	size_t used = 0;
	for (;;) {
		bool ended;
		std::string line = next_line(keys, &used, ANSWER_SIZE, &ended);
		if (!ended)
			abort(); // the closing keys end every question
		if (line[0] == 'q' || line[0] == 'Q')
			return {0, UNTOUCHED, used};
		if (line.empty() && !q.required)
			return {1, UNTOUCHED, used};
		in_addr parsed;
		if (!inet_aton(line.c_str(), &parsed))
			continue;
		if (q.validate && !host_address(parsed))
			continue;
		return {1, parsed.s_addr, used};
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	keys_from_file();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	const Question &q = QUESTIONS[data[0] % (sizeof QUESTIONS / sizeof QUESTIONS[0])];
	std::string keys((const char *)data + 1, size - 1);
	keys += "\r\rq\r";
	type_keys(keys);

	in_addr address;
	address.s_addr = UNTOUCHED;
	int result = get_ip_addr(q.prompt, &address, q.required, q.validate);

	Outcome want = expected(keys, q);
	if (result != want.result || address.s_addr != want.address || keys_read() != want.keys_read)
		abort();
	return 0;
}

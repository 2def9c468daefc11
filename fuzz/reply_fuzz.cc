// The evaluation of a reply: arbitrary bytes, NUL bytes among them and
// lengths at and past the 4091 a reply holds, stored as the exchange
// stores what it reads, then searched for a marker as every exchange
// searches. The input is a marker length (first byte, 0 to 63), the
// marker, then the bytes the server sent.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/session.h"
#include "client/exchange.h"
#include "log/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 || size > 64 * 1024)
		return -1;
	size_t m = data[0] % 64;
	if (size < 1 + m)
		return -1;
	char marker[64];
	memcpy(marker, data + 1, m);
	marker[m] = '\0';
	const char *sent = reinterpret_cast<const char *>(data + 1 + m);
	size_t n = size - 1 - m;

	static login_config conf{};
	static login_session s = session_start(&conf);
	// A reply keeps at most REPLY_SIZE bytes and is ended after them.
	size_t have = n < REPLY_SIZE ? n : REPLY_SIZE;
	memcpy(s.reply, sent, have);
	s.reply[have] = '\0';

	// What the search must find: the marker up to its first NUL, in the
	// kept bytes up to their first NUL; an empty marker, nowhere.
	std::string_view text(s.reply, strlen(s.reply));
	bool expected =
		marker[0] != '\0' && text.find(std::string_view(marker, strlen(marker))) != std::string_view::npos;
	if (reply_has(s, marker) != expected)
		__builtin_trap();
	if (have < n && strlen(s.reply) > REPLY_SIZE)
		__builtin_trap();
	// The report of a reply: the whole text goes out as data.
	show_reply(s, MODE_DEBUG, "reply_fuzz");
	return 0;
}

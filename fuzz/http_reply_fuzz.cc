// The HTTP reply reader (the exchange's reply_fuzz is the marker search
// of the default exchanges): any bytes as what a server sent, read whole
// as at the close and, as they arrive, half of them. What must hold: the
// body keeps its cap, a cut body is the cap's size (unless the bytes
// are over REPLY_READ_MAX), a field holds no line
// end or NUL, and what a prefix reads is a prefix of what the whole reads.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/reply.h"

namespace {

void check(const http_reply &r, size_t cap, size_t size)
{
	bool within = size <= REPLY_READ_MAX;
	if (r.body.size() > cap || (r.cut && within && r.body.size() != cap) || (r.cut && r.complete))
		__builtin_trap();
	for (const http_header &h : r.headers)
		for (std::string_view s : {std::string_view(h.name), std::string_view(h.value)})
			for (char c : s)
				if (c == '\r' || c == '\n' || c == '\0')
					__builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > 2 * REPLY_READ_MAX)
		return -1;
	std::string_view bytes(reinterpret_cast<const char *>(data), size);
	constexpr size_t cap = 1024;
	http_reply whole = read_reply(bytes, true, cap);
	check(whole, cap, size);
	http_reply open = read_reply(bytes, false, cap);
	check(open, cap, size);
	check(read_reply(bytes, true), REPLY_BODY_MAX, size);
	http_reply half = read_reply(bytes.substr(0, size / 2), false, cap);
	check(half, cap, size / 2);
	if (!open.malformed && (half.malformed || !open.body.starts_with(half.body)))
		__builtin_trap();
	return 0;
}

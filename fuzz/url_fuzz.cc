// The URL reader and resolver: any bytes as a reference from a page,
// resolved against a fixed page URL, and read as an absolute URL. What
// must hold: an absolute URL resolves to itself whatever the base; the
// text of a result reads back as the same URL; the texts that go into a
// request have no blank, control character or line end.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/url.h"

namespace {

void check_request_texts(const url &u)
{
	for (const std::string &t : {url_target(u), url_host_header(u), url_referer(u), url_text(u)})
		for (unsigned char c : t)
			if (c <= 0x20 || c >= 0x7f)
				__builtin_trap();
	if (u.web && (u.host.empty() || u.port < 1 || u.port > 65535 || u.path.empty() || u.path[0] != '/'))
		__builtin_trap();
}

// A web URL's text reads back as itself.
void check_round_trip(const url &u)
{
	if (!u.web)
		return;
	check_request_texts(u);
	auto again = url_parse(url_text(u));
	if (!again || url_text(*again) != url_text(u))
		__builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > 4096)
		return -1;
	std::string_view text(reinterpret_cast<const char *>(data), size);
	static const url base = *url_parse("http://portal.example:2050/a/b/c;p?q");
	static const url base6 = *url_parse("https://[fe80::1%25eth0]/login/");

	auto absolute = url_parse(text);
	auto resolved = url_resolve(base, text);
	auto resolved6 = url_resolve(base6, text);
	if (absolute) {
		if (!resolved || !resolved6 || url_text(*resolved) != url_text(*absolute) ||
		    url_text(*resolved6) != url_text(*absolute))
			__builtin_trap();
		check_round_trip(*absolute);
	}
	if (resolved)
		check_round_trip(*resolved);
	if (resolved6)
		check_round_trip(*resolved6);
	// The RFC's own algorithm on the raw bytes: it takes any string.
	uri_reference T = resolve_reference(split_reference("http://a/b/c/d;p?q"), split_reference(text));
	(void)recompose(T);
	return 0;
}

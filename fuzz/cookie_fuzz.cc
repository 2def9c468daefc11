// The cookie reader and the jar of one login: lines of Set-Cookie values
// from replies to a few request URLs (the first byte picks each line's),
// then the Cookie header for each URL. What must hold: the jar keeps its
// bounds and counts its bytes right, and a Cookie header never holds a
// control character.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/cookies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 || size > 64 * 1024)
		return -1;
	static const url urls[] = {
		*url_parse("http://portal.example:2050/login/page"),
		*url_parse("https://login.portal.example/"),
		*url_parse("http://192.168.1.1/a/b/"),
		*url_parse("http://[::1]:8080/x"),
	};
	constexpr size_t n_urls = sizeof urls / sizeof *urls;
	std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
	size_t pick = data[0];
	cookie_jar jar;
	while (!text.empty()) {
		size_t nl = text.find('\n');
		std::string_view line = text.substr(0, nl);
		text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
		(void)parse_cookie_date(line);
		cookie_jar_store(jar, line, urls[pick++ % n_urls], 1700000000);
	}
	size_t bytes = 0;
	for (const cookie &c : jar.cookies) {
		if (c.name.empty() || c.name.size() + c.value.size() + c.domain.size() + c.path.size() > COOKIE_SIZE_MAX)
			__builtin_trap();
		bytes += c.name.size() + c.value.size() + c.domain.size() + c.path.size();
	}
	if (jar.cookies.size() > COOKIES_MAX || bytes != jar.size || jar.size > COOKIE_JAR_SIZE_MAX)
		__builtin_trap();
	for (const url &u : urls)
		for (unsigned char c : cookie_header(jar, u))
			if ((c < 0x20 && c != '\t') || c == 0x7f)
				__builtin_trap();
	return 0;
}

// The requests the form login composes, byte for byte.
#include "http/page_request.h"

#include <gtest/gtest.h>

namespace {

url parsed(const char *text)
{
	std::optional<url> u = url_parse(text);
	EXPECT_TRUE(u) << text;
	return u.value_or(url{});
}

TEST(PageRequest, ComposedAsABrowserWould)
{
	const std::string ua = std::string("User-Agent: ") + KAVRI_USER_AGENT + "\r\n";
	struct Case {
		page_request r;
		std::string text;
	} cases[] = {
		{{.post = false, .target = parsed("http://gw:2050/opennds_preauth/?fas=a%20b"), .referer = {}, .cookie = {},
		  .body = {}},
		 "GET /opennds_preauth/?fas=a%20b HTTP/1.0\r\nHost: gw:2050\r\n" + ua + "Accept: */*\r\n\r\n"},
		{{.post = false, .target = parsed("https://portal.example/login#top"), .referer = "https://portal.example/",
		  .cookie = "sid=1; lang=en", .body = {}},
		 "GET /login HTTP/1.0\r\nHost: portal.example\r\n" + ua +
		     "Accept: */*\r\nReferer: https://portal.example/\r\nCookie: sid=1; lang=en\r\n\r\n"},
		{{.post = true, .target = parsed("http://[::1]:8080/"), .referer = "http://[::1]:8080/login", .cookie = {},
		  .body = "user=joe&pw=a%26b"},
		 "POST / HTTP/1.0\r\nHost: [::1]:8080\r\n" + ua +
		     "Accept: */*\r\nReferer: http://[::1]:8080/login\r\n"
		     "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 17\r\n\r\nuser=joe&pw=a%26b"},
		{{.post = true, .target = parsed("https://gw.example:443/a?b"), .referer = {}, .cookie = {}, .body = {}},
		 "POST /a?b HTTP/1.0\r\nHost: gw.example\r\n" + ua +
		     "Accept: */*\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 0\r\n\r\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		EXPECT_EQ(compose_page_request(c.r), c.text);
	}
	EXPECT_EQ(std::string(KAVRI_USER_AGENT).rfind("kavri v", 0), 0u);
}

}  // namespace

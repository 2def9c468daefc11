// The captive-portal API's reply: one reply per row, the state read from
// it or the sentence that refuses it.
#include "http/captive_api.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

std::string reply(const std::string &type, const std::string &body, int status = 200)
{
	std::string r = "HTTP/1.1 " + std::to_string(status) + " X\r\n";
	if (!type.empty())
		r += "Content-Type: " + type + "\r\n";
	return r + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The state in one line, or "refused: " and the sentence.
std::string read(const std::string &bytes)
{
	captive_state s;
	std::string why;
	if (!read_captive_reply(read_reply(bytes, true), &s, &why))
		return "refused: " + why;
	std::string out = s.captive ? "captive" : "free";
	if (s.user_portal_url)
		out += " portal=" + *s.user_portal_url;
	if (s.venue_info_url)
		out += " venue=" + *s.venue_info_url;
	if (s.seconds_remaining)
		out += " s=" + std::to_string(*s.seconds_remaining);
	if (s.bytes_remaining)
		out += " b=" + std::to_string(*s.bytes_remaining);
	if (s.can_extend_session)
		out += " extend";
	return out;
}

const std::string T = "application/captive+json";

TEST(CaptiveApiReply, Table)
{
	struct Case {
		std::string bytes;
		std::string read;
	} cases[] = {
		// What openNDS answers before and after the login.
		{reply(T, R"({ "captive": true, "user-portal-url": "http://10.0.0.1:2050/opennds_preauth/?fas=x" })"),
		 "captive portal=http://10.0.0.1:2050/opennds_preauth/?fas=x"},
		{reply(T, R"({ "captive": false, "user-portal-url": "u", "venue-info-url": "v", "can-extend-session": false })"),
		 "free portal=u venue=v"},
		// RFC 8908's example of a session.
		{reply(T, R"({"captive": false, "user-portal-url": "https://example.org/portal.html",
		    "venue-info-url": "https://flight.example.com/entertainment",
		    "seconds-remaining": 326, "bytes-remaining": 65536, "can-extend-session": true})"),
		 "free portal=https://example.org/portal.html venue=https://flight.example.com/entertainment s=326 "
		 "b=65536 extend"},
		{reply("Application/Captive+JSON; charset=utf-8", R"({"captive":false})"), "free"},
		{reply("application/json", R"({"captive":true})"), "captive"},
		{reply(T, R"({"captive":false,"seconds-remaining":12.9})"), "free s=12"},
		{reply(T, R"({"captive":false,"seconds-remaining":0})"), "free s=0"},
		{reply(T, R"({"captive":false,"future-member":[1,{"a":null}]})"), "free"},

		{reply("text/html", "<html>log in</html>"),
		 "refused: the captive-portal API answered with text/html, not application/captive+json"},
		{reply("", R"({"captive":false})"), "refused: the captive-portal API's reply has no Content-Type"},
		{reply(T, R"({"captive":false})", 302), "refused: the captive-portal API answered with status 302"},
		{reply(T, R"({"user-portal-url":"u"})"), "refused: the captive-portal API's reply has no \"captive\""},
		{reply(T, R"({"captive":"false"})"), "refused: the captive-portal API's \"captive\" is not true or false"},
		{reply(T, R"({"captive":0})"), "refused: the captive-portal API's \"captive\" is not true or false"},
		{reply(T, R"([{"captive":false}])"), "refused: the captive-portal API's reply is not a JSON object"},
		{reply(T, R"("captive")"), "refused: the captive-portal API's reply is not a JSON object"},
		{reply(T, R"({"captive":false,"captive":true})"),
		 "refused: the captive-portal API's reply is not JSON: duplicate member name at byte 17"},
		{reply(T, R"({"captive":false,})"), "refused: the captive-portal API's reply is not JSON: member name "
		                                    "expected at byte 17"},
		{reply(T, ""), "refused: the captive-portal API's reply is not JSON: value expected at byte 0"},
		{reply(T, R"({"captive":false,"user-portal-url":7})"),
		 "refused: the captive-portal API's \"user-portal-url\" is not a string"},
		{reply(T, R"({"captive":false,"seconds-remaining":-1})"),
		 "refused: the captive-portal API's \"seconds-remaining\" is not a number of 0 or more"},
		{reply(T, R"({"captive":false,"seconds-remaining":"60"})"),
		 "refused: the captive-portal API's \"seconds-remaining\" is not a number of 0 or more"},
		{reply(T, R"({"captive":false,"bytes-remaining":1e300})"),
		 "refused: the captive-portal API's \"bytes-remaining\" is not a number of 0 or more"},
		{reply(T, R"({"captive":false,"can-extend-session":"yes"})"),
		 "refused: the captive-portal API's \"can-extend-session\" is not true or false"},
		// Past the reply reader's cap the body is cut, and no JSON is read.
		{reply(T, R"({"captive":false,"pad":")" + std::string(1024 * 1024, 'x') + "\"}"),
		 "refused: the captive-portal API's reply is longer than 65536 bytes"},
		{"<html>not HTTP</html>", "refused: the captive-portal API's reply is not HTTP"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.bytes.substr(0, 200));
		EXPECT_EQ(read(c.bytes), c.read);
	}
}

TEST(CaptiveApiRequest, Table)
{
	struct Case {
		const char *api;
		std::string request;
	} cases[] = {
		{"http://10.250.1.1:2050/", "GET / HTTP/1.0\r\nHost: 10.250.1.1:2050\r\n"},
		{"https://Portal.Example/api/v1?mac=x#frag", "GET /api/v1?mac=x HTTP/1.0\r\nHost: portal.example\r\n"},
		{"https://[fe80::1%25eth0]:8443/a", "GET /a HTTP/1.0\r\nHost: [fe80::1]:8443\r\n"},
	};
	for (const auto &c : cases) {
		std::optional<url> u = url_parse(c.api);
		ASSERT_TRUE(u) << c.api;
		EXPECT_EQ(compose_captive_api_request(*u), c.request + "User-Agent: kavri v1.3.3"
		                                                       "\r\nAccept: application/captive+json\r\n\r\n")
		    << c.api;
	}
}

}  // namespace

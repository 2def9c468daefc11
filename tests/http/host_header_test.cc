// The server in the Host and Referer headers: an IPv6 address in
// brackets, a name or an IPv4 address as it is; the rest of each request
// stays byte for byte the same.
#include <gtest/gtest.h>

#include <string>

#include "base/session.h"
#include "http/request.h"

namespace {

TEST(HostHeader, BracketsForIpv6Only)
{
	struct Case {
		const char *server;
		const char *host;
	} cases[] = {
		{"10.1.2.3", "10.1.2.3"},
		{"portal.example", "portal.example"},
		{"2001:db8::1", "[2001:db8::1]"},
		{"::1", "[::1]"},
		{"fe80::1%wlan0", "[fe80::1%wlan0]"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.server);
		login_config conf{};
		conf.server = c.server;
		conf.init_page = "/sd/init";
		conf.login_page = "/sd/login";
		conf.logout_page = "/sd/logout";
		const std::string h = c.host;
		char out[REQUEST_SIZE];

		ASSERT_GT(compose_probe_request(conf, out, sizeof out), 0);
		EXPECT_EQ(std::string(out),
		          "GET /sd/init HTTP/1.0\r\nReferer: http://" + h + "\r\nHost: " + h + "\r\nAccept: */*\r\n\r\n");
		ASSERT_GT(compose_logout_request(conf, out, sizeof out), 0);
		EXPECT_EQ(std::string(out), "GET /sd/logout HTTP/1.0\r\nReferer: http://" + h + "/sd/init\r\nHost: " + h +
		                                "\r\nAccept: */*\r\n\r\n");
		ASSERT_GT(compose_login_request(conf, "u=a&p=b", out, sizeof out), 0);
		EXPECT_EQ(std::string(out), "POST /sd/login HTTP/1.0\r\nHost: " + h +
		                                "\r\nUser-Agent: kavri v1.3.3\r\nAccept: */*\r\nReferer: http://" + h +
		                                "/sd/init\r\nContent-type: application/x-www-form-urlencoded\r\n"
		                                "Content-length: 8\r\n\r\nu=a&p=b\n\n");
	}
}

}  // namespace

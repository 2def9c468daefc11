// The server in the Host and Referer headers: an IPv6 address in
// brackets and without its zone, a name or an IPv4 address as it is; the
// Referer's scheme is the exchange's; the rest of each request stays byte
// for byte the same.
#include <gtest/gtest.h>

#include <string>

#include "base/session.h"
#include "http/request.h"

namespace {

TEST(HostHeader, BracketsForIpv6Only)
{
	struct Case {
		const char *server;
		int tls;
		const char *host;
		const char *scheme;  // of the Referer
	} cases[] = {
		{"10.1.2.3", 0, "10.1.2.3", "http"},
		{"portal.example", 0, "portal.example", "http"},
		{"2001:db8::1", 0, "[2001:db8::1]", "http"},
		{"::1", 0, "[::1]", "http"},
		{"fe80::1%wlan0", 0, "[fe80::1]", "http"},
		{"portal.example", 1, "portal.example", "https"},
		{"10.1.2.3", 1, "10.1.2.3", "https"},
		{"fe80::1%veth0", 1, "[fe80::1]", "https"},
		// A percent sign is part of a zone only in an IPv6 address.
		{"portal%2eexample", 0, "portal%2eexample", "http"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.server) + (c.tls ? " over TLS" : ""));
		login_config conf{};
		conf.server = c.server;
		conf.tls = c.tls;
		conf.init_page = "/sd/init";
		conf.login_page = "/sd/login";
		conf.logout_page = "/sd/logout";
		const std::string h = c.host, referer = std::string(c.scheme) + "://" + h;
		char out[REQUEST_SIZE];

		ASSERT_GT(compose_probe_request(conf, out, sizeof out), 0);
		EXPECT_EQ(std::string(out),
		          "GET /sd/init HTTP/1.0\r\nReferer: " + referer + "\r\nHost: " + h + "\r\nAccept: */*\r\n\r\n");
		ASSERT_GT(compose_logout_request(conf, out, sizeof out), 0);
		EXPECT_EQ(std::string(out), "GET /sd/logout HTTP/1.0\r\nReferer: " + referer + "/sd/init\r\nHost: " + h +
		                                "\r\nAccept: */*\r\n\r\n");
		ASSERT_GT(compose_login_request(conf, "u=a&p=b", out, sizeof out), 0);
		EXPECT_EQ(std::string(out), "POST /sd/login HTTP/1.0\r\nHost: " + h +
		                                "\r\nUser-Agent: kavri v1.3.3\r\nAccept: */*\r\nReferer: " + referer +
		                                "/sd/init\r\nContent-type: application/x-www-form-urlencoded\r\n"
		                                "Content-length: 8\r\n\r\nu=a&p=b\n\n");
	}
}

}  // namespace

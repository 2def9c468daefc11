// The fake portal the form-login tests stand on: its routes, what it
// records of a request, its replies and its tokens.

#include "fake_portal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "helpers.h"

namespace {

// Send `req` to address:port, read until the server closes.
std::string exchange(const std::string &address, int port, const std::string &req)
{
	unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	inet_pton(AF_INET, address.c_str(), &a.sin_addr);
	timeval tv{5, 0};
	setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
	if (connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
		return "";
	if (send(s.get(), req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()))
		return "";
	return read_all(s.get());
}

TEST(FakePortal, RoutesRecordsAndReplies)
{
	FakePortal p;
	ASSERT_TRUE(p.listening());
	p.route("GET", "/login", [](const PortalRequest &) {
		return html_page("<form></form>").set_cookie("sid=1; Path=/");
	});
	p.route("POST", "/login", [](const PortalRequest &r) {
		return r.field("user") == "joe smith" && r.cookie("sid") == "1" ? html_page("welcome")
		                                                                   : html_page("no", 403);
	});
	p.route("", "*", [](const PortalRequest &) { return redirect_to("/login"); });

	EXPECT_EQ(exchange("127.0.0.1", p.port(), "GET /login?x=1 HTTP/1.0\r\nHost: a\r\n\r\n"),
	          "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 13\r\n"
	          "Set-Cookie: sid=1; Path=/\r\n\r\n<form></form>");
	std::string body = "user=joe+smith&pw=%26";
	std::string got = exchange("127.0.0.1", p.port(),
	                           "POST /login HTTP/1.0\r\nCookie: a=b; sid=1\r\nContent-Length: " +
	                               std::to_string(body.size()) + "\r\n\r\n" + body);
	EXPECT_NE(got.find("200 OK"), std::string::npos) << got;
	got = exchange("127.0.0.1", p.port(), "HEAD /elsewhere HTTP/1.0\r\n\r\n");
	EXPECT_NE(got.find("302 Found\r\n"), std::string::npos) << got;
	EXPECT_NE(got.find("\r\nLocation: /login\r\n"), std::string::npos) << got;

	auto reqs = p.requests();
	ASSERT_EQ(reqs.size(), 3u);
	EXPECT_EQ(reqs[0].method, "GET");
	EXPECT_EQ(reqs[0].path, "/login");
	EXPECT_EQ(reqs[0].query, "x=1");
	EXPECT_EQ(reqs[0].header("host"), "a");
	EXPECT_EQ(reqs[0].field("x"), "1");
	EXPECT_EQ(reqs[1].body, body);
	EXPECT_EQ(reqs[1].field("pw"), "&");
	EXPECT_TRUE(reqs[1].has_cookie("a"));
	EXPECT_FALSE(reqs[1].has_cookie("b"));
	EXPECT_EQ(p.count("POST", "/login"), 1u);
	EXPECT_EQ(p.count("", "/login"), 2u);
}

TEST(FakePortal, NoRouteIs404AndTokensGoOnce)
{
	FakePortal p;
	ASSERT_TRUE(p.listening());
	EXPECT_EQ(exchange("127.0.0.1", p.port(), "GET / HTTP/1.0\r\n\r\n").substr(0, 22), "HTTP/1.0 404 Not Found");
	std::string t = p.issue_token();
	EXPECT_EQ(t.size(), 16u);
	EXPECT_NE(t, p.issue_token());
	EXPECT_TRUE(p.redeem_token(t));
	EXPECT_FALSE(p.redeem_token(t));
	EXPECT_FALSE(p.redeem_token("0000000000000000"));
}

TEST(FakePortal, SecondLoopbackAddressOnly)
{
	FakePortal two("127.0.0.2");
	ASSERT_TRUE(two.listening());
	EXPECT_EQ(two.url("/x"), "http://127.0.0.2:" + std::to_string(two.port()) + "/x");
	EXPECT_EQ(exchange("127.0.0.2", two.port(), "GET / HTTP/1.0\r\n\r\n").substr(0, 12), "HTTP/1.0 404");
	EXPECT_EQ(two.count(), 1u);
	FakePortal outside("10.0.0.1");
	EXPECT_FALSE(outside.listening());
}

}  // namespace

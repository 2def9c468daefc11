// The fake login server is what the client tests stand on: check that it
// answers, keeps state, records exact bytes and misbehaves as told.

#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>

namespace {

using Clock = std::chrono::steady_clock;

const std::string marker_in = "/sd/create_session_window";
const std::string marker_out = "Login again";
const std::string status_req = "GET /sd/init HTTP/1.0\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n";
const std::string logout_req = "GET /sd/logout HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

// As the client sends it: Content-length is the form's length + 1, and
// the body is the form and two line feeds.
std::string login_req()
{
	std::string form = "username=joe&password=a%26b&submitForm=Login";
	return "POST /sd/login HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-length: " + std::to_string(form.size() + 1) +
	       "\r\n\r\n" + form + "\n\n";
}

struct Reply {
	std::string bytes;
	int err = 0;              // errno of a failed send or read
	bool timed_out = false;   // nothing more within the time-out
	size_t first_chunk = 0;   // size of the first read
	long ms = 0;              // from sending to the end of the reply
};

unique_fd connect_to(int port)
{
	unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
		s.reset();
	return s;
}

// One exchange the way the client does it: send, then read until the
// server closes.
Reply exchange(int port, const std::string &req, int timeout_ms = 5000)
{
	Reply r;
	unique_fd s = connect_to(port);
	if (!s) {
		r.err = errno;
		return r;
	}
	auto start = Clock::now();
	if (send(s.get(), req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
		r.err = errno;
		return r;
	}
	char buf[65536];
	for (;;) {
		pollfd p{s.get(), POLLIN, 0};
		if (poll(&p, 1, timeout_ms) == 0) {
			r.timed_out = true;
			break;
		}
		ssize_t n = read(s.get(), buf, sizeof buf);
		if (n < 0)
			r.err = errno;
		if (n <= 0)
			break;
		if (r.bytes.empty())
			r.first_chunk = static_cast<size_t>(n);
		r.bytes.append(buf, static_cast<size_t>(n));
	}
	r.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
	return r;
}

bool has(const Reply &r, const std::string &s)
{
	return r.bytes.find(s) != std::string::npos;
}

// The body's length matches the Content-Length header.
bool well_formed(const Reply &r)
{
	size_t end = r.bytes.find("\r\n\r\n");
	size_t cl = r.bytes.find("Content-Length: ");
	if (r.bytes.rfind("HTTP/1.0 200 OK\r\n", 0) != 0 || end == std::string::npos || cl == std::string::npos)
		return false;
	return std::stoul(r.bytes.substr(cl + 16)) == r.bytes.size() - end - 4;
}

TEST(FakeServer, KeepsSessionStateAndRecordsExactBytes)
{
	FakeServer s;
	ASSERT_TRUE(s.listening());

	Reply r = exchange(s.port(), status_req);
	EXPECT_TRUE(well_formed(r)) << r.bytes;
	EXPECT_FALSE(has(r, marker_in));

	r = exchange(s.port(), login_req());
	EXPECT_TRUE(well_formed(r) && has(r, marker_in)) << r.bytes;
	EXPECT_TRUE(s.logged_in());

	r = exchange(s.port(), status_req);
	EXPECT_TRUE(well_formed(r) && has(r, marker_in)) << r.bytes;

	r = exchange(s.port(), logout_req);
	EXPECT_TRUE(well_formed(r) && has(r, marker_out) && !has(r, marker_in)) << r.bytes;
	EXPECT_FALSE(s.logged_in());

	s.set_accept_login(false);
	r = exchange(s.port(), login_req());
	EXPECT_TRUE(well_formed(r) && !has(r, marker_in)) << r.bytes;
	EXPECT_FALSE(s.logged_in());

	r = exchange(s.port(), "GET /elsewhere HTTP/1.0\n\n");
	EXPECT_EQ(r.bytes.rfind("HTTP/1.0 404", 0), 0u) << r.bytes;

	// The login's last line feed lies beyond Content-length: it is
	// recorded all the same.
	auto reqs = s.requests();
	ASSERT_EQ(reqs.size(), 6u);
	const Page pages[] = {Page::status, Page::login, Page::status, Page::logout, Page::login, Page::other};
	const std::string raws[] = {status_req, login_req(), status_req, logout_req, login_req(),
	                            "GET /elsewhere HTTP/1.0\n\n"};
	for (size_t i = 0; i < reqs.size(); i++) {
		EXPECT_EQ(reqs[i].page, pages[i]) << i;
		EXPECT_EQ(reqs[i].raw, raws[i]) << i;
	}
	EXPECT_EQ(s.count(Page::status), 2u);
	s.clear_requests();
	EXPECT_EQ(s.count(Page::status), 0u);
}

TEST(FakeServer, MisbehavesAsTold)
{
	struct Case {
		const char *name;
		Behaviour b;
		int delay_ms;
		std::function<bool(const Reply &)> ok;
	};
	auto marker_at = [](const Reply &r) { return r.bytes.find(marker_in); };
	const Case cases[] = {
		{"normal", Behaviour::normal, 0, [&](const Reply &r) { return well_formed(r) && marker_at(r) < 4091; }},
		{"close_at_once", Behaviour::close_at_once, 0,
		 [](const Reply &r) { return r.bytes.empty() && r.err == 0 && !r.timed_out; }},
		{"reset", Behaviour::reset, 0, [](const Reply &r) { return r.bytes.empty() && r.err == ECONNRESET; }},
		{"delay", Behaviour::delay, 300,
		 [&](const Reply &r) { return well_formed(r) && has(r, marker_in) && r.ms >= 300; }},
		{"oversize", Behaviour::oversize, 0,
		 [&](const Reply &r) { return well_formed(r) && marker_at(r) != std::string::npos && marker_at(r) > 4091; }},
		{"nul_before_marker", Behaviour::nul_before_marker, 0,
		 [&](const Reply &r) {
			 return well_formed(r) && r.bytes.find('\0') < marker_at(r) && marker_at(r) != std::string::npos;
		 }},
		{"split", Behaviour::split, 300,
		 [&](const Reply &r) {
			 return well_formed(r) && has(r, marker_in) && r.ms >= 300 &&
			        r.first_chunk == r.bytes.find("\r\n\r\n") + 4;
		 }},
		{"trickle", Behaviour::trickle, 3,
		 [&](const Reply &r) {
			 return well_formed(r) && has(r, marker_in) && r.ms >= static_cast<long>(r.bytes.size() - 1) * 3;
		 }},
		{"stream_1mib", Behaviour::stream_1mib, 0,
		 [&](const Reply &r) {
			 return well_formed(r) && r.bytes.size() > 1024 * 1024 && marker_at(r) > 1024 * 1024;
		 }},
		{"garbage", Behaviour::garbage, 0,
		 [&](const Reply &r) { return !r.bytes.empty() && !has(r, "HTTP/") && !has(r, marker_in); }},
	};
	for (const auto &c : cases) {
		FakeServer s;
		s.set_logged_in(true);
		s.set_behaviour(Page::status, c.b, c.delay_ms);
		Reply r = exchange(s.port(), status_req);
		EXPECT_TRUE(c.ok(r)) << c.name << ": err " << r.err << ", " << r.bytes.size() << " bytes in " << r.ms
		                     << " ms:\n"
		                     << r.bytes.substr(0, 300);
		EXPECT_TRUE(s.wait_for(Page::status, 1, 1000)) << c.name;
		auto reqs = s.requests();
		EXPECT_TRUE(reqs.size() == 1 && reqs[0].raw == status_req) << c.name;
	}
}

TEST(FakeServer, SilentHoldsWithoutBlockingOthersAndStopsPromptly)
{
	unique_fd held;
	auto stop_started = Clock::now();
	{
		FakeServer s;
		s.set_behaviour(Page::status, Behaviour::silent);
		held = connect_to(s.port());
		ASSERT_TRUE(held);
		ASSERT_EQ(send(held.get(), status_req.data(), status_req.size(), MSG_NOSIGNAL),
		          static_cast<ssize_t>(status_req.size()));
		ASSERT_TRUE(s.wait_for(Page::status, 1, 2000));

		Reply r = exchange(s.port(), login_req());
		EXPECT_TRUE(has(r, marker_in)) << r.bytes;

		pollfd p{held.get(), POLLIN, 0};
		EXPECT_EQ(poll(&p, 1, 300), 0) << "the held connection got an answer or was closed";
		stop_started = Clock::now();
	}
	EXPECT_LT(Clock::now() - stop_started, std::chrono::seconds(1));
	char c;
	EXPECT_EQ(read(held.get(), &c, 1), 0) << "closed without an answer once the server is gone";
}

TEST(FullBacklogListener, ConnectStaysPending)
{
	FullBacklogListener l;
	ASSERT_TRUE(l.ok());
	unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(l.port()));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	ASSERT_NE(connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
	ASSERT_EQ(errno, EINPROGRESS);
	pollfd p{s.get(), POLLOUT, 0};
	EXPECT_EQ(poll(&p, 1, 1500), 0);
}

}  // namespace

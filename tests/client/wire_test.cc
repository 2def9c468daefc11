// The bytes that reach the server, for a table of settings, and requests
// too long to send.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "capture.h"
#include "client/login.h"
#include "client/logout.h"
#include "client/probe.h"
#include "client_support.h"
#include "fake_server.h"

using namespace client_test;

namespace {

struct WireCase {
	const char *name;
	const char *server;  // loopback only
	const char *header;  // null: none
	const char *user;
	const char *pass;    // empty: grown until the login request is as long as fits
	const char *form;    // as sent; empty: computed for the grown password
};

void PrintTo(const WireCase &c, std::ostream *os)
{
	*os << c.name;
}

const WireCase wire_cases[] = {
	{"defaults", "127.0.0.1", nullptr, "joe", "secret", "username=joe&password=secret&submitForm=Login"},
	{"header", "127.0.0.1", "action=login", "joe", "secret",
	 "action=login&username=joe&password=secret&submitForm=Login"},
	{"empty_header", "127.0.0.1", "", "joe", "secret", "&username=joe&password=secret&submitForm=Login"},
	{"spaces_in_user", "127.0.0.1", nullptr, "joe q  smith", "secret",
	 "username=joe+q++smith&password=secret&submitForm=Login"},
	{"specials_in_password", "127.0.0.1", nullptr, "joe", "a&b=c%d+e %41",
	 "username=joe&password=a&b=c%d+e+%41&submitForm=Login"},
	{"server_by_name", "localhost", nullptr, "joe", "secret", "username=joe&password=secret&submitForm=Login"},
	{"longest_fitting_form", "127.0.0.1", nullptr, "joe", "", ""},
};

class Wire : public testing::TestWithParam<WireCase> {};

TEST_P(Wire, ServerReceivesExactlyTheThreeRequests)
{
	const WireCase &c = GetParam();
	FakeServer server;
	ASSERT_TRUE(server.listening());
	Session s = make_session(server.port());
	s.server = c.server;
	s.login_header = c.header;
	s.username = c.user;

	std::string pass = c.pass, form = c.form;
	if (pass.empty()) {
		// Grow the password until the login request is REQUEST_SIZE - 1 long.
		for (int round = 0; round < 4; round++) {
			form = "username=joe&password=" + pass + "&submitForm=Login";
			long off = static_cast<long>(REQUEST_SIZE - 1) -
			           static_cast<long>(login_bytes(s.login_page, s.server, s.init_page, form).size());
			pass.resize(static_cast<size_t>(static_cast<long>(pass.size()) + off), 'p');
		}
		form = "username=joe&password=" + pass + "&submitForm=Login";
		ASSERT_EQ(login_bytes(s.login_page, s.server, s.init_page, form).size(), REQUEST_SIZE - 1);
	}
	s.password = pass.c_str();

	StreamCapture cap;
	server.set_logged_in(true);
	int probe = http_pre_login(&s, 0);
	int login = http_internet_login(&s, 0);
	int logout = http_internet_logout(&s, 0);
	cap.stop();
	EXPECT_EQ(probe, 0);
	EXPECT_EQ(login, 0);
	EXPECT_EQ(logout, 0);
	EXPECT_EQ(cap.out() + cap.err(), "");

	auto got = server.requests();
	ASSERT_EQ(got.size(), 3u);
	EXPECT_EQ(got[0].page, Page::status);
	EXPECT_EQ(got[0].raw, probe_bytes("/sd/init", c.server));
	EXPECT_EQ(got[1].page, Page::login);
	EXPECT_EQ(got[1].raw, login_bytes("/sd/login", c.server, "/sd/init", form));
	EXPECT_EQ(got[2].page, Page::logout);
	EXPECT_EQ(got[2].raw, logout_bytes("/sd/logout", c.server, "/sd/init"));
}

INSTANTIATE_TEST_SUITE_P(Settings, Wire, testing::ValuesIn(wire_cases),
                         [](const testing::TestParamInfo<WireCase> &i) { return std::string(i.param.name); });

// The Content-length of the default form, spelled out: 45 characters, 46.
TEST(Wire, ContentLengthOfDefaultFormIs46)
{
	FakeServer server;
	ASSERT_TRUE(server.listening());
	Session s = make_session(server.port());
	ASSERT_EQ(http_internet_login(&s, 0), 0);
	auto got = server.requests();
	ASSERT_EQ(got.size(), 1u);
	EXPECT_NE(got[0].raw.find("\r\nContent-length: 46\r\n\r\nusername=joe&password=secret&submitForm=Login\n\n"),
	          std::string::npos)
		<< got[0].raw;
}

// A request one byte too long: one error line naming the page, nothing
// sent, the exchange failed; the debug view shows no request either.
TEST(Wire, TooLongRequestIsRefusedAndNothingSent)
{
	std::string long_text(REQUEST_SIZE, 'x');
	std::string long_page = "/" + long_text;
	struct Case {
		const char *name;
		int (*call)(login_session *, unsigned);
		void (*grow)(Session &, const char *);
		std::string named;  // the page the error line names
	} cases[] = {
		{"probe", http_pre_login, [](Session &s, const char *t) { s.init_page = t; },
		 long_page},
		{"login", http_internet_login, [](Session &s, const char *t) { s.password = t; },
		 "/sd/login"},
		{"logout", http_internet_logout, [](Session &s, const char *t) { s.logout_page = t; },
		 long_page},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		FakeServer server;
		ASSERT_TRUE(server.listening());
		Session s = make_session(server.port());
		c.grow(s, c.named == long_page ? long_page.c_str() : long_text.c_str());
		s.logged_in = 1;

		StreamCapture cap;
		int rc = c.call(&s, MODE_VERBOSE | MODE_DEBUG);
		cap.stop();
		EXPECT_EQ(rc, -1);
		EXPECT_EQ(s.logged_in, 0);
		EXPECT_EQ(messages(cap.err(), getpid()),
		          (std::vector<Msg>{{'E', "Request for " + c.named + " is too long, not sent."}}));
		for (const Msg &m : messages(cap.out(), getpid())) {
			EXPECT_NE(m.tag, '?') << m;
			EXPECT_NE(m.text.rfind("GET ", 0), 0u) << m;
			EXPECT_NE(m.text.rfind("POST ", 0), 0u) << m;
		}
		usleep(300 * 1000);  // a request sent would have been recorded by now
		EXPECT_TRUE(server.requests().empty());
	}
}

}  // namespace

// The request texts and the login form, without any socket.
#include "http/request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client_support.h"

using namespace client_test;

namespace {

struct FormCase {
	const char *name;
	const char *header;  // null: none
	const char *user;
	const char *pass;
	const char *footer;  // null: none
	const char *form;     // as composed
	const char *encoded;  // spaces turned into "+"
};

void PrintTo(const FormCase &c, std::ostream *os)
{
	*os << c.name;
}

const FormCase form_cases[] = {
	{"defaults", nullptr, "joe", "secret", "submitForm=Login", "username=joe&password=secret&submitForm=Login",
	 "username=joe&password=secret&submitForm=Login"},
	{"header", "action=1", "joe", "secret", "submitForm=Login",
	 "action=1&username=joe&password=secret&submitForm=Login",
	 "action=1&username=joe&password=secret&submitForm=Login"},
	{"empty_header", "", "joe", "secret", "submitForm=Login", "&username=joe&password=secret&submitForm=Login",
	 "&username=joe&password=secret&submitForm=Login"},
	{"no_footer", nullptr, "joe", "secret", nullptr, "username=joe&password=secret",
	 "username=joe&password=secret"},
	{"spaces", "a b", "joe q  smith", "p w", "submit Form=Log in",
	 "a b&username=joe q  smith&password=p w&submit Form=Log in",
	 "a+b&username=joe+q++smith&password=p+w&submit+Form=Log+in"},
	{"left_alone", nullptr, "j%20e", "&=%+\t\xc3\xa9", "submitForm=Login",
	 "username=j%20e&password=&=%+\t\xc3\xa9&submitForm=Login",
	 "username=j%20e&password=&=%+\t\xc3\xa9&submitForm=Login"},
};

class Form : public testing::TestWithParam<FormCase> {};

TEST_P(Form, ComposedInOrderAndOnlySpacesEncoded)
{
	const FormCase &c = GetParam();
	Session s = make_session(80);
	s.login_header = c.header;
	s.username = c.user;
	s.password = c.pass;
	s.login_footer = c.footer;

	size_t n = login_form_capacity(s);
	std::string form(n, '\x7f');
	int len = compose_login_form(s, form.data(), n);
	ASSERT_EQ(len, static_cast<int>(strlen(c.form)));
	EXPECT_STREQ(form.c_str(), c.form);

	std::string encoded(n, '\x7f');
	plus_for_spaces(form.c_str(), encoded.data());
	EXPECT_STREQ(encoded.c_str(), c.encoded);
}

INSTANTIATE_TEST_SUITE_P(Cases, Form, testing::ValuesIn(form_cases),
                         [](const testing::TestParamInfo<FormCase> &i) { return std::string(i.param.name); });

TEST(Form, CapacityIsTheFieldsPlus22)
{
	Session s = make_session(80);
	// joe, secret, username, password, submitForm=Login
	EXPECT_EQ(login_form_capacity(s), 3u + 6 + 8 + 8 + 16 + 22);
	s.login_header = "hdr";
	EXPECT_EQ(login_form_capacity(s), 3u + 3 + 6 + 8 + 8 + 16 + 22);
	s.login_footer = nullptr;
	EXPECT_EQ(login_form_capacity(s), 3u + 3 + 6 + 8 + 8 + 22);
}

// A text of exactly REQUEST_SIZE - 1 characters fits; one more does not,
// and then the buffer holds the empty text and nothing is written past it.
TEST(Request, LongestThatFitsAndOneMoreForEachKind)
{
	struct Kind {
		const char *name;
		std::string (*expected)(const Session &, const std::string &grown);
		int (*compose)(const Session &, const std::string &grown, char *, size_t);
		void (*grow)(Session &, const std::string &grown);
	} kinds[] = {
		{"probe", [](const Session &s, const std::string &) { return probe_bytes(s.init_page, s.server); },
		 [](const Session &s, const std::string &, char *o, size_t n) {
			 return compose_probe_request(s, o, n);
		 },
		 [](Session &s, const std::string &g) { s.init_page = g.c_str(); }},
		{"logout",
		 [](const Session &s, const std::string &) {
			 return logout_bytes(s.logout_page, s.server, s.init_page);
		 },
		 [](const Session &s, const std::string &, char *o, size_t n) {
			 return compose_logout_request(s, o, n);
		 },
		 [](Session &s, const std::string &g) { s.logout_page = g.c_str(); }},
		{"login",
		 [](const Session &s, const std::string &g) {
			 return login_bytes(s.login_page, s.server, s.init_page, g);
		 },
		 [](const Session &s, const std::string &g, char *o, size_t n) {
			 return compose_login_request(s, g.c_str(), o, n);
		 },
		 [](Session &, const std::string &) {}},
	};
	for (const Kind &k : kinds) {
		SCOPED_TRACE(k.name);
		Session s = make_session(80);
		// Grow one text until the request is exactly REQUEST_SIZE - 1 long.
		std::string grown = "/";
		for (int round = 0; round < 4; round++) {
			k.grow(s, grown);
			long off = static_cast<long>(REQUEST_SIZE - 1) - static_cast<long>(k.expected(s, grown).size());
			grown.resize(static_cast<size_t>(static_cast<long>(grown.size()) + off), 'x');
		}
		k.grow(s, grown);
		std::string want = k.expected(s, grown);
		ASSERT_EQ(want.size(), REQUEST_SIZE - 1);

		std::string buf(REQUEST_SIZE + 16, '#');
		EXPECT_EQ(k.compose(s, grown, buf.data(), REQUEST_SIZE), static_cast<int>(want.size()));
		EXPECT_EQ(std::string(buf.c_str()), want);

		grown += "x";
		k.grow(s, grown);
		buf.assign(REQUEST_SIZE + 16, '#');
		EXPECT_EQ(k.compose(s, grown, buf.data(), REQUEST_SIZE), -1);
		EXPECT_EQ(buf[0], '\0');
		EXPECT_EQ(buf.substr(REQUEST_SIZE), std::string(16, '#'));
	}
}

TEST(Request, ContentLengthIsFormLengthPlusOne)
{
	Session s = make_session(80);
	const char form[] = "username=joe&password=secret&submitForm=Login";  // 45 characters
	char buf[REQUEST_SIZE];
	ASSERT_GT(compose_login_request(s, form, buf, sizeof buf), 0);
	EXPECT_NE(strstr(buf, "\r\nContent-length: 46\r\n\r\nusername=joe&password=secret&submitForm=Login\n\n"), nullptr)
		<< buf;
}

}  // namespace

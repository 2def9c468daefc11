// The form login's decisions, one reply and one chain in, one step out.
#include "client/form_step.h"

#include <gtest/gtest.h>

#include "base/md5.h"
#include "client_support.h"

namespace {

url parsed(const std::string &text)
{
	std::optional<url> u = url_parse(text);
	EXPECT_TRUE(u) << text;
	return u.value_or(url{});
}

http_reply page(const std::string &head_and_body)
{
	return read_reply(head_and_body, true);
}

std::string html(const std::string &body)
{
	return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + body;
}

struct Case {
	const char *name;
	std::string reply;
	std::string page = "http://10.0.0.1/login";
	int redirects = 0, forms = 0;
	std::vector<std::string> seen = {};
	const char *portal_hosts = nullptr;
	const char *login_fields = nullptr;
	step_kind kind;
	std::string target = "";  // follow, submit: the request's URL
	bool post = false;
	std::string body = "";
	bool carries_user = false;
	std::string error = "";  // refuse
	const char *referer = nullptr;  // nullptr: the page's URL
};

TEST(FormStep, Decisions)
{
	const std::string login_form = "<form method=post action=/do><input name=username><input type=password "
	                               "name=password></form>";
	const Case cases[] = {
		{.name = "302 with a relative Location",
		 .reply = "HTTP/1.1 302 Found\r\nLocation: ../x?y\r\n\r\n",
		 .page = "http://10.0.0.1/a/b/c",
		 .kind = step_kind::follow,
		 .target = "http://10.0.0.1/a/x?y"},
		{.name = "307 to another host: a redirect goes anywhere",
		 .reply = "HTTP/1.0 307 Temporary Redirect\r\nLocation: https://portal.example:8443/p?fas=T\r\n\r\n",
		 .kind = step_kind::follow,
		 .target = "https://portal.example:8443/p?fas=T",
		 .referer = "http://10.0.0.1/"},
		{.name = "a 200 with a Location is no redirect",
		 .reply = "HTTP/1.0 200 OK\r\nLocation: /x\r\n\r\nhi",
		 .kind = step_kind::no_form},
		{.name = "a fifth redirect in a row is followed",
		 .reply = "HTTP/1.0 301 Moved\r\nLocation: /5\r\n\r\n",
		 .redirects = MAX_REDIRECTS - 1,
		 .kind = step_kind::follow,
		 .target = "http://10.0.0.1/5"},
		{.name = "a sixth is not",
		 .reply = "HTTP/1.0 301 Moved\r\nLocation: /6\r\n\r\n",
		 .redirects = MAX_REDIRECTS,
		 .kind = step_kind::refuse,
		 .error = "More than 5 redirects in a row, the next to http://10.0.0.1/6: stopped."},
		{.name = "a loop",
		 .reply = "HTTP/1.0 302 Found\r\nLocation: http://10.0.0.1/a\r\n\r\n",
		 .seen = {"http://10.0.0.1/a", "http://10.0.0.1/login"},
		 .kind = step_kind::refuse,
		 .error = "Redirect loop: http://10.0.0.1/a came before in this chain of redirects: stopped."},
		{.name = "another scheme",
		 .reply = "HTTP/1.0 302 Found\r\nLocation: ftp://10.0.0.1/x\r\n\r\n",
		 .kind = step_kind::refuse,
		 .error = "The redirect to ftp://10.0.0.1/x is not to http or https: stopped."},
		{.name = "meta refresh",
		 .reply = html("<meta http-equiv=refresh content=\"0; url=/logon?x=1\">"),
		 .kind = step_kind::follow,
		 .target = "http://10.0.0.1/logon?x=1"},
		{.name = "script redirect",
		 .reply = html("<script>window.location.href = \"http://10.0.0.1:1003/fgtauth?0a1b\";</script>"),
		 .kind = step_kind::follow,
		 .target = "http://10.0.0.1:1003/fgtauth?0a1b",
		 .referer = "http://10.0.0.1/"},
		{.name = "a GET form of hidden fields: the query replaced, nothing of the user's",
		 .reply = html("<form action='?old=1'><input type=hidden name=fas value='a b'>"
		               "<input type=hidden name=continue value=clicked></form><form><input name=terms></form>"),
		 .kind = step_kind::submit,
		 .target = "http://10.0.0.1/login?fas=a+b&continue=clicked"},
		{.name = "a POST form with the user's fields to SERV",
		 .reply = html(login_form),
		 .kind = step_kind::submit,
		 .target = "http://10.0.0.1/do",
		 .post = true,
		 .body = "username=joe&password=s%26cret",
		 .carries_user = true},
		{.name = "the first text input and the password input, without the keys' names",
		 .reply = html("<form method=post><input type=email name=mail><input name=other>"
		               "<input type=password name=pw></form>"),
		 .kind = step_kind::submit,
		 .target = "http://10.0.0.1/login",
		 .post = true,
		 .body = "mail=joe&other=&pw=s%26cret",
		 .carries_user = true},
		{.name = "LOGIN_FIELDS puts over a field and adds one, and makes the form the user's",
		 .reply = html("<form action=/t><input type=hidden name=accept value=no></form>"),
		 .login_fields = "accept=yes&voucher=V+1",
		 .kind = step_kind::submit,
		 .target = "http://10.0.0.1/t?accept=yes&voucher=V%2B1",
		 .carries_user = true},
		{.name = "the user's fields to a host outside PORTAL_HOSTS",
		 .reply = html("<form method=post action=http://evil.example/do><input type=password name=p></form>"),
		 .portal_hosts = "portal.example",
		 .kind = step_kind::refuse,
		 .error = "The login form would send the user's fields to evil.example, which is neither SERV nor in "
		          "PORTAL_HOSTS: nothing was sent to it."},
		{.name = "the user's fields to a host in PORTAL_HOSTS",
		 .reply = html("<form method=post action=https://a.portal.example/do><input type=password name=p></form>"),
		 .portal_hosts = "gw, .portal.example",
		 .kind = step_kind::submit,
		 .target = "https://a.portal.example/do",
		 .post = true,
		 .body = "p=s%26cret",
		 .carries_user = true,
		 .referer = "http://10.0.0.1/"},
		{.name = "a click-through goes anywhere",
		 .reply = html("<form method=post action=http://status.client/x><input type=hidden name=a value=1></form>"),
		 .kind = step_kind::submit,
		 .target = "http://status.client/x",
		 .post = true,
		 .body = "a=1",
		 .referer = "http://10.0.0.1/"},
		{.name = "https page, http form with the password",
		 .reply = html("<form method=post action=http://10.0.0.1/do><input type=password name=p></form>"),
		 .page = "https://10.0.0.1/login",
		 .kind = step_kind::refuse,
		 .error = "The login form on an https page would send the user's fields over http to 10.0.0.1: nothing was "
		          "sent."},
		{.name = "https page, http click-through",
		 .reply = html("<form action=http://10.0.0.1/go></form>"),
		 .page = "https://10.0.0.1/login",
		 .kind = step_kind::submit,
		 .target = "http://10.0.0.1/go?",
		 .referer = ""},
		{.name = "after MAX_FORMS forms a form is not submitted",
		 .reply = html(login_form),
		 .forms = MAX_FORMS,
		 .kind = step_kind::no_form},
		{.name = "a form wins over the page's script redirect",
		 .reply = html(login_form + "<script>location.replace('/elsewhere');</script>"),
		 .kind = step_kind::submit,
		 .target = "http://10.0.0.1/do",
		 .post = true,
		 .body = "username=joe&password=s%26cret",
		 .carries_user = true},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		client_test::Session conf = client_test::make_session(80);
		conf.server = "10.0.0.1";
		conf.password = "s&cret";
		conf.portal_hosts = c.portal_hosts;
		conf.login_fields = c.login_fields;
		form_chain chain;
		chain.redirects = c.redirects;
		chain.forms = c.forms;
		chain.seen = c.seen;
		form_step s = next_form_step(page(c.reply), parsed(c.page), chain, conf);
		EXPECT_EQ(s.kind, c.kind) << s.error;
		EXPECT_EQ(s.error, c.error);
		if (c.kind == step_kind::follow || c.kind == step_kind::submit) {
			EXPECT_EQ(url_text(s.request.target), c.target);
			EXPECT_EQ(s.request.post, c.post);
			EXPECT_EQ(s.request.body, c.body);
			EXPECT_EQ(s.request.referer, c.referer != nullptr ? std::string(c.referer) : c.page);
			EXPECT_EQ(s.carries_user, c.carries_user);
			EXPECT_EQ(s.shown.find("cret"), std::string::npos) << s.shown;
		}
	}
}

TEST(FormStep, LinesNeverShowThePassword)
{
	client_test::Session conf = client_test::make_session(80);
	conf.password = "p w&d";
	EXPECT_EQ(without_password("http://a/?pw=p+w%26d&x=p w&d", conf), "http://a/?pw=********&x=********");
	EXPECT_EQ(without_password("http://a/?pw=other", conf), "http://a/?pw=other");
}

// MikroTik's page: the password field carries md5hex(id || PASS || challenge).
TEST(FormStep, ChapChallengeHashesThePassword)
{
	client_test::Session conf = client_test::make_session(80);
	conf.server = "10.0.0.1";
	std::string body = "<form name=login method=post action=/login><input name=username>"
	                   "<input type=password name=password><input type=hidden name=dst value=''></form>"
	                   "<script>function doLogin() { document.sendin.password.value = hexMD5('\\371' + "
	                   "document.login.password.value + '\\357\\015\\242'); }</script>";
	form_step s = next_form_step(page(html(body)), parsed("http://10.0.0.1/login"), {}, conf);
	ASSERT_EQ(s.kind, step_kind::submit) << s.error;
	EXPECT_EQ(s.request.body,
	          "username=joe&password=" + md5hex(std::string("\371") + "secret" + "\357\015\242") + "&dst=");
}

}  // namespace

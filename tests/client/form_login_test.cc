// The form login end to end: the built binary against a fake portal on
// loopback, for the main paths (a two-step GET form with a per-visit token
// and a cookie, a POST form, PROBE_URL) and a refusal.

#include <gtest/gtest.h>

#include <string>

#include "fake_portal.h"
#include "helpers.h"

namespace {

const char MARKER[] = "You are now logged in";

RunResult login(const FakePortal &p, const std::string &extra, const std::vector<std::string> &mode = {"-l"})
{
	TempDir dir;
	write_file(dir.file("kavri.conf"), loopback_config(p.port(), "LOGGED_IN_STRING = \"" + std::string(MARKER) +
	                                                                  "\"\nLOGIN_FORM = yes\n" + extra));
	std::vector<std::string> args = mode;
	args.push_back("-c");
	args.push_back(dir.file("kavri.conf"));
	return run_program(args);
}

// openNDS's way: the status page redirects to a page of two GET forms that
// carry a token of this visit (the second a decoy), and sets a cookie; the
// first form's reply is another GET form, whose reply logs in.
struct TwoStepPortal {
	FakePortal p;
	bool logged_in = false;
	std::string token;

	TwoStepPortal()
	{
		p.route("GET", "/status", [this](const PortalRequest &) {
			return logged_in ? html_page(MARKER) : redirect_to("/preauth/?fas=" + p.issue_token(), 307);
		});
		p.route("GET", "/preauth/", [this](const PortalRequest &r) {
			if (r.has_field("landing")) {
				if (r.field("landing") != "yes" || r.cookie("visit") != token || !p.redeem_token(r.field("fas")))
					return std::string(html_page("refused", 403));
				logged_in = true;
				return std::string(html_page(std::string("<p>") + MARKER + " and have been granted access.</p>"));
			}
			if (r.has_field("continue")) {
				if (r.cookie("visit") != token)
					return std::string(html_page("no cookie", 403));
				return std::string(html_page("<form action=\"/preauth/\"><input type=hidden name=fas value=\"" +
				                             r.field("fas") + "\"><input type=hidden name=landing value=yes>"
				                             "<input type=submit value=Go></form>"));
			}
			token = p.issue_token();
			std::string fas = r.field("fas");
			return std::string(html_page("<form action=\"/preauth/\" method=get><input type=hidden name=fas value=\"" +
			                             fas + "\"><input type=hidden name=continue value=clicked>"
			                             "<input type=submit value=Continue></form>"
			                             "<form action=\"/preauth/\"><input type=hidden name=terms value=yes></form>")
			                       .set_cookie("visit=" + token + "; Path=/"));
		});
	}
};

TEST(FormLoginEndToEnd, TwoStepGetFormsCarryTheTokenAndTheCookie)
{
	TwoStepPortal portal;
	ASSERT_TRUE(portal.p.listening());
	RunResult r = login(portal.p, "INIT_PAGE = \"/status\"\n", {"-l", "-v"});
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("SUCCESSFUL LOGIN"), std::string::npos) << r.out;
	EXPECT_TRUE(portal.logged_in);
	auto reqs = portal.p.requests();
	// The probe, its redirect, two forms: the last reply confirms.
	ASSERT_EQ(reqs.size(), 4u) << r.out;
	EXPECT_EQ(reqs[0].raw, "GET /status HTTP/1.0\r\nReferer: http://127.0.0.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n");
	EXPECT_EQ(reqs[2].field("continue"), "clicked");
	EXPECT_FALSE(reqs[2].has_field("terms"));  // the decoy stays unsent
	EXPECT_EQ(reqs[2].cookie("visit"), portal.token);
	EXPECT_EQ(reqs[3].header("Host"), "127.0.0.1:" + std::to_string(portal.p.port()));
	EXPECT_EQ(reqs[3].header("User-Agent").rfind("kavri v", 0), 0u);
	EXPECT_EQ(reqs[3].header("Referer"), portal.p.url(reqs[2].target));
	for (const PortalRequest &q : reqs)
		EXPECT_EQ(q.method, "GET");
	// Nothing of the user's went: the forms asked for none.
	for (const PortalRequest &q : reqs)
		EXPECT_EQ(q.raw.find("secret"), std::string::npos) << q.raw;
}

// A login page with a POST form: the user's fields go in the body, its
// hidden field with them, to the form's action; the reply redirects to
// a page that holds the marker.
TEST(FormLoginEndToEnd, PostFormCarriesTheUsersFields)
{
	FakePortal p;
	ASSERT_TRUE(p.listening());
	bool in = false;
	p.route("GET", "/sd/init", [&](const PortalRequest &) { return html_page(in ? MARKER : "Please log in"); });
	p.route("GET", "/sd/login", [&](const PortalRequest &) {
		return html_page("<form method=post action=\"do\"><input type=hidden name=csrf value=\"a b&c\">"
		                 "<input name=user><input type=password name=pw><input type=submit name=go value=Login>"
		                 "</form>");
	});
	p.route("POST", "/sd/do", [&](const PortalRequest &r) {
		in = r.field("user") == "joe" && r.field("pw") == "secret" && r.field("csrf") == "a b&c";
		return std::string(redirect_to("/welcome", 303));
	});
	p.route("GET", "/welcome", [&](const PortalRequest &) { return html_page(in ? "Welcome" : "Wrong"); });
	RunResult r = login(p, "", {"-l", "-v"});
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_TRUE(in);
	EXPECT_EQ(r.out.find("secret"), std::string::npos) << r.out;  // never without -d
	auto reqs = p.requests();
	ASSERT_GE(reqs.size(), 5u);
	const PortalRequest &post = reqs[2];
	EXPECT_EQ(post.method, "POST");
	EXPECT_EQ(post.body, "csrf=a+b%26c&user=joe&pw=secret&go=Login");
	EXPECT_EQ(post.header("Content-Type"), "application/x-www-form-urlencoded");
	EXPECT_EQ(post.header("Content-Length"), std::to_string(post.body.size()));
	// The welcome page lacks the marker: the probe confirmed.
	EXPECT_EQ(reqs.back().path, "/sd/init");
}

TEST(FormLoginEndToEnd, ProbeUrl)
{
	FakePortal p;
	ASSERT_TRUE(p.listening());
	bool in = false;
	p.route("GET", "/generate_204", [&](const PortalRequest &) {
		return in ? std::string("HTTP/1.0 204 No Content\r\n\r\n") : std::string(redirect_to("/portal?from=x"));
	});
	p.route("GET", "/portal", [&](const PortalRequest &) {
		return html_page("<form method=post action=/portal><input name=username><input type=password "
		                 "name=password><input type=checkbox name=terms></form>");
	});
	p.route("POST", "/portal", [&](const PortalRequest &r) {
		in = r.field("username") == "joe" && r.field("password") == "secret" && r.field("terms") == "on";
		return std::string(html_page("thanks"));
	});
	std::string probe = "PROBE_URL = \"" + p.url("/generate_204") + "\"\nLOGIN_FIELDS = \"terms=on\"\n";
	RunResult r = login(p, probe, {"-l", "-v"});
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_TRUE(in);
	EXPECT_NE(r.out.find("SUCCESSFUL LOGIN"), std::string::npos) << r.out;
	EXPECT_EQ(p.count("GET", "/generate_204"), 2u);  // the first probe and the confirmation

	// Logged in: a 204 says so, and nothing else is asked.
	p.clear_requests();
	r = login(p, probe, {"-l", "-v"});
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("Already logged in."), std::string::npos) << r.out;
	EXPECT_EQ(p.count(), 1u);
}

// A form that would send the password to a host that is neither SERV nor
// in PORTAL_HOSTS is not sent; the same form goes once the host is listed.
TEST(FormLoginEndToEnd, PasswordOnlyToTheHostsTheUserNamed)
{
	FakePortal p;
	FakePortal other("127.0.0.2");
	ASSERT_TRUE(p.listening());
	if (!other.listening())
		SKIP_OR_FAIL("cannot listen on 127.0.0.2");
	p.route("GET", "/sd/init", [&](const PortalRequest &) {
		return html_page("<form method=post action=\"" + other.url("/take") +
		                 "\"><input name=username><input type=password name=password></form>");
	});
	other.route("POST", "/take", [&](const PortalRequest &) { return html_page(MARKER); });
	RunResult r = login(p, "");
	EXPECT_EQ(r.status, 255) << r.out << r.err;
	EXPECT_NE(r.err.find("The login form would send the user's fields to 127.0.0.2, which is neither SERV nor in "
	                     "PORTAL_HOSTS: nothing was sent to it."),
	          std::string::npos)
		<< r.err;
	EXPECT_NE(r.err.find("To diagnose, try the options --debug --verbose"), std::string::npos) << r.err;
	EXPECT_EQ(other.count(), 0u);

	r = login(p, "PORTAL_HOSTS = \"portal.example, 127.0.0.2\"\n");
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(other.count(), 1u);
}

// A page over 64 KiB is read up to there: a form past it is not seen,
// and -d says the page was cut.
TEST(FormLoginEndToEnd, LongPageIsCutAndSaysSo)
{
	FakePortal p;
	ASSERT_TRUE(p.listening());
	p.route("GET", "/sd/init", [&](const PortalRequest &) {
		return html_page(std::string(100 * 1024, 'x') + "<form><input type=password name=p></form>");
	});
	RunResult r = login(p, "", {"-l", "-v", "-d"});
	EXPECT_EQ(r.status, 255) << r.out << r.err;
	EXPECT_NE(r.out.find("The reply from 127.0.0.1 goes on past 65536 bytes: it was cut there."), std::string::npos)
		<< r.out.substr(0, 2000);
	EXPECT_NE(r.err.find("No login form on http://127.0.0.1:" + std::to_string(p.port()) +
	                     "/sd/login: nothing was sent."),
	          std::string::npos)
		<< r.err;
	EXPECT_EQ(p.count("GET", "/sd/login"), 1u);
}

}  // namespace

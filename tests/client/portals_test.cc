// The form login of the built binary against fake portals of the families
// people meet: each fake behaves on the wire as its gateway does (its
// redirect, its page, its per-visit token, its cookie, its challenge) and
// checks what it receives, refusing anything else, so that a submission
// that is wrong in any detail is a failed login. Then the refusals of the
// client's own rules: where the password may go, and the bounds of a login.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/md5.h"
#include "fake_portal.h"
#include "helpers.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string USER = "joe";
// Every character here must be form-encoded on its way.
const std::string PASS = "s3cr&t%pa+ss=1";

// The portals of one test: the gateway kavri is told of (SERV), another
// port of the same host, a second host; whether the gateway let the client
// in, and why it refused what it refused.
struct Portals {
	FakePortal gw{"127.0.0.1"};
	FakePortal other{"127.0.0.1"};
	FakePortal second{"127.0.0.2"};
	std::atomic<bool> logged_in{false};

	std::string refuse(const std::string &why)
	{
		std::lock_guard lk(mu_);
		refusals_.push_back(why);
		return html_page("<html><body><h1>Access denied</h1><p>" + why + "</p></body></html>\n", 403);
	}
	std::vector<std::string> refusals()
	{
		std::lock_guard lk(mu_);
		return refusals_;
	}
	// What every request the portals received looked like, for failures.
	std::string wire()
	{
		std::string out;
		for (FakePortal *p : {&gw, &other, &second})
			for (const auto &r : p->requests())
				out += "--- " + p->address() + ":" + std::to_string(p->port()) + "\n" + r.raw + "\n";
		return out;
	}
	// The status page: the marker page once logged in, else `out`'s reply.
	void status(const std::string &path, const std::string &logged_in_page, PortalHandler out)
	{
		gw.route("GET", path, [this, logged_in_page, out](const PortalRequest &r) {
			return logged_in ? std::string(html_page(logged_in_page)) : out(r);
		});
	}

private:
	std::mutex mu_;
	std::vector<std::string> refusals_;
};

// A field must be there with that value, else the reason for a refusal.
std::string expect_field(const PortalRequest &r, const std::string &name, const std::string &value)
{
	if (!r.has_field(name))
		return "no field " + name;
	if (r.field(name) != value)
		return "field " + name + " is \"" + r.field(name) + "\", not \"" + value + "\"";
	return "";
}

std::string first_fault(std::initializer_list<std::string> checks)
{
	for (const auto &c : checks)
		if (!c.empty())
			return c;
	return "";
}

std::string octal_escaped(const std::string &bytes)
{
	std::string out;
	char e[8];
	for (unsigned char c : bytes) {
		snprintf(e, sizeof e, "\\%03o", c);
		out += e;
	}
	return out;
}

std::string hex_bytes(const std::string &hex)
{
	std::string out;
	for (size_t i = 0; i + 1 < hex.size(); i += 2)
		out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
	return out;
}

std::string url_encoded(const std::string &s)
{
	static const char hex[] = "0123456789ABCDEF";
	std::string out;
	for (unsigned char c : s) {
		if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
			out += static_cast<char>(c);
		} else {
			out += '%';
			out += hex[c >> 4];
			out += hex[c & 15];
		}
	}
	return out;
}

// The configuration every login here starts from; `extra` overrides.
std::string form_config(const Portals &p, const std::string &pass, const std::string &extra)
{
	return "SERV = 127.0.0.1\nSERVER_PORT = " + std::to_string(p.gw.port()) +
	       "\nLOGIN_FORM = yes\nUSER = " + USER + "\nPASS = \"" + pass + "\"\nDEAMON_S = no\n" + extra;
}

struct Login {
	RunResult r;
	std::vector<std::string> errors;  // the ERR lines' texts
	double seconds = 0;
};

Login run_login(const std::string &conf_text, const std::vector<std::string> &flags = {"-v"})
{
	TempDir dir;
	write_file(dir.file("kavri.conf"), conf_text);
	std::vector<std::string> args = flags;
	for (const char *a : {"-l", "-c"})
		args.push_back(a);
	args.push_back(dir.file("kavri.conf"));
	args.push_back("-p");
	args.push_back(dir.file("kavri.pid"));
	Login l;
	auto t0 = Clock::now();
	RunOptions o;
	o.timeout_seconds = 120;
	l.r = run_program(args, o);
	l.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
	std::istringstream lines(strip_prefixes(l.r.err));
	std::string line;
	while (std::getline(lines, line))
		if (line.rfind("ERR: ", 0) == 0)
			l.errors.push_back(line.substr(5));
	return l;
}

std::string shown(const Login &l)
{
	return "exit " + std::to_string(l.r.status) + "\nstdout:\n" + l.r.out + "stderr:\n" + l.r.err;
}

// ---------------------------------------------------------------------------
// The families. Each sets up its fakes and returns its configuration lines.

// nodogsplash: the gateway redirects to its splash page, whose GET form
// carries a hidden per-client `tok` to /nodogsplash_auth/ (with BinAuth
// asking for a user name and password); the status page confirms.
std::string nodogsplash(Portals &p)
{
	p.status("/status", "<html><body>nodogsplash: authenticated</body></html>", [&p](const PortalRequest &) {
		return std::string(redirect_to(p.gw.url("/splash.html?redir=" + url_encoded(p.gw.url("/welcome")))));
	});
	p.gw.route("GET", "/splash.html", [&p](const PortalRequest &r) {
		std::string tok = p.gw.issue_token();
		return std::string(html_page(
		    "<!DOCTYPE html>\n<html><head><title>Nodogsplash Entry</title></head><body>\n"
		    "<h1>Welcome!</h1>\n<p>For access to the Internet, please log in.</p>\n"
		    "<form method=\"get\" action=\"" + p.gw.url("/nodogsplash_auth/") + "\">\n"
		    "<input type=\"hidden\" name=\"tok\" value=\"" + tok + "\">\n"
		    "<input type=\"hidden\" name=\"redir\" value=\"" + r.field("redir") + "\">\n"
		    "Username: <input type=\"text\" name=\"username\" value=\"\"><br>\n"
		    "Password: <input type=\"password\" name=\"password\"><br>\n"
		    "<input type=\"submit\" value=\"Continue\">\n</form>\n</body></html>\n"));
	});
	p.gw.route("GET", "/nodogsplash_auth/", [&p](const PortalRequest &r) {
		if (!p.gw.redeem_token(r.field("tok")))
			return p.refuse("tok \"" + r.field("tok") + "\" was not issued, or was used");
		std::string fault = first_fault({expect_field(r, "redir", p.gw.url("/welcome")),
		                                 expect_field(r, "username", USER), expect_field(r, "password", PASS)});
		if (!fault.empty())
			return p.refuse(fault);
		p.logged_in = true;
		return std::string(redirect_to(r.field("redir")));
	});
	p.gw.route("GET", "/welcome", [](const PortalRequest &) {
		return std::string(html_page("<html><body>You may now browse.</body></html>"));
	});
	return "INIT_PAGE = /status\nLOGGED_IN_STRING = \"nodogsplash: authenticated\"\n";
}

// FortiGate: the firewall answers a page of the Internet by sending the
// browser to its authentication port, `/fgtauth?MAGIC` (with a redirect,
// or with a page whose script sets window.location); that page's form
// carries the hidden `magic` and `4Tredir` and posts to `/`; the reply's
// script sends the browser on to the keepalive page.
std::string fortigate(Portals &p, bool by_script)
{
	p.status("/", "<html><body>Authentication Keepalive Window</body></html>", [&p, by_script](const PortalRequest &) {
		std::string to = p.other.url("/fgtauth?" + p.other.issue_token());
		if (!by_script)
			return std::string(redirect_to(to, 303));
		return std::string(html_page("<html><body><script language=\"JavaScript\">\n"
		                             "  window.location=\"" + to + "\";\n</script></body></html>\n"));
	});
	p.other.route("GET", "/fgtauth", [&p](const PortalRequest &r) {
		return std::string(html_page(
		    "<html><head><title>Firewall Authentication</title></head><body>\n"
		    "<form action=\"/\" method=\"post\">\n"
		    "<input type=\"hidden\" name=\"4Tredir\" value=\"" + p.gw.url("/") + "\">\n"
		    "<input type=\"hidden\" name=\"magic\" value=\"" + r.query + "\">\n"
		    "<h1>Authentication Required</h1>\n"
		    "<label for=\"ft_un\">Username:</label><input name=\"username\" id=\"ft_un\" type=\"text\">\n"
		    "<label for=\"ft_pd\">Password:</label><input name=\"password\" id=\"ft_pd\" type=\"password\">\n"
		    "<button type=\"submit\">Continue</button>\n</form></body></html>\n"));
	});
	p.other.route("POST", "/", [&p](const PortalRequest &r) {
		if (!p.other.redeem_token(r.field("magic")))
			return p.refuse("magic \"" + r.field("magic") + "\" was not issued, or was used");
		std::string fault = first_fault({expect_field(r, "4Tredir", p.gw.url("/")),
		                                 expect_field(r, "username", USER), expect_field(r, "password", PASS),
		                                 r.header("Content-Type") == "application/x-www-form-urlencoded"
		                                     ? ""
		                                     : "Content-Type " + r.header("Content-Type")});
		if (!fault.empty())
			return p.refuse(fault);
		p.logged_in = true;
		return std::string(html_page("<html><body><script language=\"JavaScript\">\n"
		                             "window.location=\"" + p.other.url("/keepalive?" + p.other.issue_token()) +
		                             "\";\n</script></body></html>\n"));
	});
	p.other.route("GET", "/keepalive", [](const PortalRequest &) {
		return std::string(html_page("<html><body><h1>Authentication Keepalive Window</h1>\n"
		                             "<p>This browser window is used to keep your authentication session "
		                             "active.</p></body></html>\n"));
	});
	return "INIT_PAGE = /\nLOGGED_IN_STRING = \"Authentication Keepalive\"\n";
}

// coova-chilli: the gateway (SERV, its uamport) redirects to the login page
// of its web server on a second host, with res=notyet, the challenge and
// where it is; the page's form repeats them in hidden inputs and posts the
// user's name and password there; the reply's meta refresh sends the
// browser back to the gateway's /logon with the CHAP response, which the
// gateway checks against its challenge.
std::string coova_chilli(Portals &p)
{
	// The challenge issued last, which one logon may answer; the handlers
	// run in threads of their own.
	struct Challenge {
		std::mutex mu;
		std::string hex;
		void set(const std::string &h)
		{
			std::lock_guard lk(mu);
			hex = h;
		}
		std::string get()
		{
			std::lock_guard lk(mu);
			return hex;
		}
	};
	auto challenge = std::make_shared<Challenge>();
	auto where = [&p] {
		return "uamip=127.0.0.1&uamport=" + std::to_string(p.gw.port()) +
		       "&userurl=" + url_encoded(p.gw.url("/welcome"));
	};
	p.status("/prelogin", "<html><body>Logged in to HotSpot</body></html>", [&p, challenge, where](const PortalRequest &) {
		challenge->set(p.gw.issue_token() + p.gw.issue_token());  // 32 hex digits
		return std::string(redirect_to(p.second.url("/hotspotlogin?res=notyet&challenge=" + challenge->get() + "&" +
		                                            where() + "&mac=02-00-00-00-00-01")));
	});
	p.second.route("GET", "/hotspotlogin", [&p](const PortalRequest &r) {
		if (r.field("res") == "success")
			return std::string(html_page("<html><head><title>ChilliSpot Login</title></head><body>\n"
			                             "<h1>Logged in to HotSpot</h1>\n<p>Welcome</p></body></html>\n"));
		return std::string(html_page(
		    "<html><head><title>ChilliSpot Login</title></head><body>\n"
		    "<h1>Login to HotSpot</h1>\n"
		    "<FORM name=\"form1\" METHOD=\"post\" ACTION=\"hotspotlogin\">\n"
		    "<INPUT TYPE=\"hidden\" NAME=\"challenge\" VALUE=\"" + r.field("challenge") + "\">\n"
		    "<INPUT TYPE=\"hidden\" NAME=\"uamip\" VALUE=\"" + r.field("uamip") + "\">\n"
		    "<INPUT TYPE=\"hidden\" NAME=\"uamport\" VALUE=\"" + r.field("uamport") + "\">\n"
		    "<INPUT TYPE=\"hidden\" NAME=\"userurl\" VALUE=\"" + r.field("userurl") + "\">\n"
		    "<table><tr><td>Username:</td><td><input type=\"text\" name=\"UserName\" size=\"20\" "
		    "maxlength=\"128\"></td></tr>\n"
		    "<tr><td>Password:</td><td><input type=\"password\" name=\"Password\" size=\"20\" "
		    "maxlength=\"128\"></td></tr>\n"
		    "<tr><td><input type=\"submit\" name=\"button\" value=\"Login\" "
		    "onClick=\"javascript:popUp('hotspotlogin?res=popup1')\"></td></tr></table>\n"
		    "</FORM></body></html>\n"));
	});
	p.second.route("POST", "/hotspotlogin", [&p, challenge](const PortalRequest &r) {
		std::string chal = challenge->get();
		std::string fault = first_fault({expect_field(r, "challenge", chal),
		                                 expect_field(r, "uamip", "127.0.0.1"),
		                                 expect_field(r, "uamport", std::to_string(p.gw.port())),
		                                 expect_field(r, "userurl", p.gw.url("/welcome")),
		                                 expect_field(r, "UserName", USER), expect_field(r, "button", "Login")});
		if (!fault.empty())
			return p.refuse(fault);
		std::string response = md5hex(std::string(1, '\0') + r.field("Password") + hex_bytes(chal));
		std::string logon = "http://127.0.0.1:" + std::to_string(p.gw.port()) + "/logon?username=" +
		                    url_encoded(r.field("UserName")) + "&response=" + response +
		                    "&userurl=" + url_encoded(r.field("userurl"));
		return std::string(html_page("<html><head><title>ChilliSpot Login</title>\n"
		                             "<meta http-equiv=\"Cache-control\" content=\"no-cache\">\n"
		                             "<meta http-equiv=\"refresh\" content=\"0;url=" + logon + "\">\n"
		                             "</head><body><h2>Logging in to HotSpot</h2>\n"
		                             "<p>Please wait......</p></body></html>\n"));
	});
	p.gw.route("GET", "/logon", [&p, challenge, where](const PortalRequest &r) {
		std::string chal = challenge->get();
		challenge->set("");  // a challenge serves one logon
		if (chal.empty())
			return p.refuse("a logon without a challenge");
		std::string want = md5hex(std::string(1, '\0') + PASS + hex_bytes(chal));
		std::string fault = first_fault({expect_field(r, "username", USER), expect_field(r, "response", want)});
		if (!fault.empty())
			return p.refuse(fault);
		p.logged_in = true;
		return std::string(redirect_to(p.second.url("/hotspotlogin?res=success&" + where())));
	});
	return "INIT_PAGE = /prelogin\nPORTAL_HOSTS = 127.0.0.2\nLOGGED_IN_STRING = \"Logged in to HotSpot\"\n";
}

// pfSense: the portal's page (on the zone's port) posts auth_user and
// auth_pass with the hidden `zone` and `redirurl`; the gateway takes the
// login only with a non-empty `accept`, the submit button's value.
std::string pfsense(Portals &p)
{
	p.status("/", "<html><body>pfSense: you are connected</body></html>", [&p](const PortalRequest &) {
		return std::string(redirect_to(p.gw.url("/index.php?zone=guests&redirurl=" +
		                                        url_encoded(p.gw.url("/connected")))));
	});
	p.gw.route("GET", "/index.php", [&p](const PortalRequest &r) {
		return std::string(html_page(
		    "<!DOCTYPE html>\n<html><head><title>Captive Portal Login Page</title></head><body>\n"
		    "<form method=\"post\" action=\"" + p.gw.url("/index.php?zone=" + r.field("zone")) + "\">\n"
		    "<input name=\"auth_user\" type=\"text\" placeholder=\"Username\">\n"
		    "<input name=\"auth_pass\" type=\"password\" placeholder=\"Password\">\n"
		    "<input name=\"redirurl\" type=\"hidden\" value=\"" + r.field("redirurl") + "\">\n"
		    "<input type=\"hidden\" name=\"zone\" value=\"" + r.field("zone") + "\">\n"
		    "<input name=\"accept\" type=\"submit\" value=\"Login\">\n"
		    "</form></body></html>\n"));
	});
	p.gw.route("POST", "/index.php", [&p](const PortalRequest &r) {
		std::string fault = first_fault({r.query == "zone=guests" ? "" : "query " + r.query,
		                                 expect_field(r, "zone", "guests"),
		                                 expect_field(r, "redirurl", p.gw.url("/connected")),
		                                 r.field("accept").empty() ? "no accept" : "",
		                                 expect_field(r, "auth_user", USER), expect_field(r, "auth_pass", PASS)});
		if (!fault.empty())
			return p.refuse(fault);
		p.logged_in = true;
		return std::string(redirect_to(r.field("redirurl")));
	});
	p.gw.route("GET", "/connected", [](const PortalRequest &) {
		return std::string(html_page("<html><body>pfSense: you are connected</body></html>"));
	});
	return "INIT_PAGE = /\nUSERNAME_KEY = auth_user\nPASSWORD_KEY = auth_pass\n"
	       "LOGGED_IN_STRING = \"you are connected\"\n";
}

// MikroTik Hotspot: every login page carries a new chap-id and
// chap-challenge, written with octal escapes, either in the script's
// hexMD5(...) call (the default login.html) or in hidden inputs; the
// password field must carry md5hex(id || password || challenge), which the
// gateway computes itself. Its reply (alogin) sends the browser on with a
// meta refresh to the status page.
std::string mikrotik(Portals &p, bool hidden_inputs)
{
	struct Chap {
		std::mutex mu;
		std::vector<std::string> answers;  // what each page issued asks for
	};
	auto chap = std::make_shared<Chap>();
	p.status("/status", "<html><body>Welcome joe! <form action=\"/logout\" name=\"logout\">"
	                    "<input type=\"submit\" value=\"log off\"></form></body></html>",
	         [&p](const PortalRequest &) {
		         return std::string(redirect_to(p.gw.url("/login?dst=" + url_encoded(p.gw.url("/status")))));
	         });
	p.gw.route("GET", "/login", [&p, chap, hidden_inputs](const PortalRequest &r) {
		std::string id = hex_bytes(p.gw.issue_token()).substr(0, 1);
		std::string challenge = hex_bytes(p.gw.issue_token() + p.gw.issue_token());
		{
			std::lock_guard lk(chap->mu);
			chap->answers.push_back(md5hex(id + PASS + challenge));
		}
		std::string head = "<html><head><title>mikrotik hotspot &gt; login</title></head><body>\n";
		std::string dst = r.field("dst");
		if (hidden_inputs)
			return std::string(html_page(
			    head + "<form name=\"login\" action=\"" + p.gw.url("/login") + "\" method=\"post\">\n"
			    "<input type=\"hidden\" name=\"dst\" value=\"" + dst + "\">\n"
			    "<input type=\"hidden\" name=\"popup\" value=\"true\">\n"
			    "<input type=\"hidden\" name=\"chap-id\" value=\"" + octal_escaped(id) + "\">\n"
			    "<input type=\"hidden\" name=\"chap-challenge\" value=\"" + octal_escaped(challenge) + "\">\n"
			    "login <input name=\"username\" type=\"text\" value=\"\"><br>\n"
			    "password <input name=\"password\" type=\"password\"><br>\n"
			    "<input type=\"submit\" value=\"OK\">\n</form></body></html>\n"));
		return std::string(html_page(
		    head + "<form name=\"sendin\" action=\"" + p.gw.url("/login") + "\" method=\"post\">\n"
		    "<input type=\"hidden\" name=\"username\">\n<input type=\"hidden\" name=\"password\">\n"
		    "<input type=\"hidden\" name=\"dst\" value=\"" + dst + "\">\n"
		    "<input type=\"hidden\" name=\"popup\" value=\"true\">\n</form>\n"
		    "<script type=\"text/javascript\" src=\"/md5.js\"></script>\n"
		    "<script type=\"text/javascript\">\n<!--\n    function doLogin() {\n"
		    "\tdocument.sendin.username.value = document.login.username.value;\n"
		    "\tdocument.sendin.password.value = hexMD5('" + octal_escaped(id) +
		    "' + document.login.password.value + '" + octal_escaped(challenge) + "');\n"
		    "\tdocument.sendin.submit();\n\treturn false;\n    }\n//-->\n</script>\n"
		    "<form name=\"login\" action=\"" + p.gw.url("/login") + "\" method=\"post\" "
		    "onSubmit=\"return doLogin()\">\n"
		    "<input type=\"hidden\" name=\"dst\" value=\"" + dst + "\">\n"
		    "<input type=\"hidden\" name=\"popup\" value=\"true\">\n"
		    "login <input style=\"width: 80px\" name=\"username\" type=\"text\" value=\"\"><br>\n"
		    "password <input style=\"width: 80px\" name=\"password\" type=\"password\"><br>\n"
		    "<input type=\"submit\" value=\"OK\">\n</form></body></html>\n"));
	});
	p.gw.route("POST", "/login", [&p, chap](const PortalRequest &r) {
		std::string want;
		{
			std::lock_guard lk(chap->mu);
			if (!chap->answers.empty())
				want = chap->answers.back();
			chap->answers.clear();  // one page, one answer
		}
		if (want.empty())
			return p.refuse("a login without a login page");
		if (r.field("password") == PASS)
			return p.refuse("the password in clear, not its hash");
		std::string fault = first_fault({expect_field(r, "username", USER), expect_field(r, "password", want),
		                                 expect_field(r, "dst", p.gw.url("/status"))});
		if (!fault.empty())
			return p.refuse(fault);
		p.logged_in = true;
		return std::string(html_page("<html><head><title>mikrotik hotspot &gt; redirect</title>\n"
		                             "<meta http-equiv=\"refresh\" content=\"0; url=" + r.field("dst") +
		                             "\">\n</head><body>You are logged in</body></html>\n"));
	});
	return "INIT_PAGE = /status\nLOGGED_IN_STRING = \"Welcome joe!\"\n";
}

// A portal whose redirect and login page set session cookies that the
// form's post must carry, each on the path it was set for; its terms
// checkbox, unchecked on the page, is checked through LOGIN_FIELDS.
std::string session_cookie(Portals &p)
{
	p.status("/", "<html><body>session open</body></html>", [&p](const PortalRequest &) {
		return std::string(redirect_to(p.gw.url("/portal/login")).set_cookie("route=r" + p.gw.issue_token() +
		                                                                      "; Path=/"));
	});
	p.gw.route("GET", "/portal/login", [&p](const PortalRequest &r) {
		if (!r.has_cookie("route"))
			return p.refuse("the login page was asked for without the route cookie");
		return std::string(html_page("<html><body><form method=\"post\" action=\"login\">\n"
		                             "<input type=\"email\" name=\"email\">\n"
		                             "<input type=\"password\" name=\"pw\">\n"
		                             "<label><input type=\"checkbox\" name=\"terms\" value=\"on\"> I accept"
		                             "</label>\n"
		                             "<input type=\"submit\" name=\"go\" value=\"Sign in\">\n"
		                             "</form></body></html>\n")
		                       .set_cookie("PORTALSESSID=" + p.gw.issue_token() + "; Path=/portal; HttpOnly"));
	});
	p.gw.route("POST", "/portal/login", [&p](const PortalRequest &r) {
		if (!p.gw.redeem_token(r.cookie("PORTALSESSID")))
			return p.refuse("session cookie \"" + r.cookie("PORTALSESSID") + "\" was not set, or was used");
		if (!p.gw.redeem_token(r.cookie("route").substr(1)))
			return p.refuse("route cookie \"" + r.cookie("route") + "\" was not set, or was used");
		std::string fault = first_fault({expect_field(r, "email", USER), expect_field(r, "pw", PASS),
		                                 expect_field(r, "terms", "on"), expect_field(r, "go", "Sign in")});
		if (!fault.empty())
			return p.refuse(fault);
		p.logged_in = true;
		return std::string(html_page("<html><body>session open</body></html>"));
	});
	return "INIT_PAGE = /\nLOGGED_IN_STRING = \"session open\"\nLOGIN_FIELDS = \"terms=on\"\n";
}

struct Family {
	const char *name;
	std::function<std::string(Portals &)> setup;
};

void PrintTo(const Family &f, std::ostream *os)
{
	*os << f.name;
}

const Family FAMILIES[] = {
    {"nodogsplash", nodogsplash},
    {"FortiGate, redirect", [](Portals &p) { return fortigate(p, false); }},
    {"FortiGate, script", [](Portals &p) { return fortigate(p, true); }},
    {"coova-chilli", coova_chilli},
    {"pfSense", pfsense},
    {"MikroTik, script", [](Portals &p) { return mikrotik(p, false); }},
    {"MikroTik, hidden inputs", [](Portals &p) { return mikrotik(p, true); }},
    {"session cookie", session_cookie},
};

class PortalFamily : public testing::TestWithParam<Family> {};

// kavri logs in with the user's name and password alone, and the gateway
// saw everything it asks for.
TEST_P(PortalFamily, LogsIn)
{
	Portals p;
	ASSERT_TRUE(p.gw.listening() && p.other.listening() && p.second.listening());
	std::string conf = form_config(p, PASS, GetParam().setup(p));
	Login l = run_login(conf);
	EXPECT_EQ(l.r.status, 0) << shown(l) << p.wire();
	EXPECT_NE(l.r.out.find("SUCCESSFUL LOGIN"), std::string::npos) << shown(l);
	EXPECT_TRUE(l.errors.empty()) << shown(l);
	EXPECT_TRUE(p.logged_in) << shown(l) << p.wire();
	EXPECT_TRUE(p.refusals().empty()) << p.refusals().front() << "\n" << p.wire();
	// Every request of the login names kavri, as a browser names itself.
	for (FakePortal *f : {&p.gw, &p.other, &p.second})
		for (const auto &r : f->requests()) {
			SCOPED_TRACE(r.raw);
			std::string line = r.raw.substr(0, r.raw.find("\r\n"));
			EXPECT_EQ(line, r.method + " " + r.target + " HTTP/1.0");
			if (f == &p.gw && r.method == "GET" && (r.path == "/" || r.path == "/status" || r.path == "/prelogin"))
				continue;  // the status probe's own bytes
			EXPECT_EQ(r.header("User-Agent").rfind("kavri v", 0), 0u);
			EXPECT_EQ(r.header("Host"), f->address() + ":" + std::to_string(f->port()));
			EXPECT_EQ(r.header("Accept"), "*/*");
			if (r.method == "POST") {
				EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
				EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
				EXPECT_EQ(r.header("Referer").rfind("http://127.0.0.", 0), 0u);
			}
		}
}

// A wrong password reaches the gateway, which refuses it: the login failed,
// as a refused fixed login does.
TEST_P(PortalFamily, WrongPasswordFails)
{
	Portals p;
	std::string conf = form_config(p, "wrong", GetParam().setup(p));
	Login l = run_login(conf);
	EXPECT_EQ(l.r.status, 255) << shown(l);
	EXPECT_FALSE(p.logged_in) << p.wire();
	EXPECT_FALSE(p.refusals().empty()) << shown(l) << p.wire();
	EXPECT_EQ(l.r.out.find("SUCCESSFUL LOGIN"), std::string::npos) << shown(l);
}

INSTANTIATE_TEST_SUITE_P(Families, PortalFamily, testing::ValuesIn(FAMILIES),
                         [](const testing::TestParamInfo<Family> &i) {
	                         std::string n;
	                         for (const char *c = i.param.name; *c; c++)
		                         if (isalnum(static_cast<unsigned char>(*c)))
			                         n += *c;
	                         return n;
                         });

// ---------------------------------------------------------------------------
// The client's own rules: each refusal is one error line, exit 255.

// One error line of the refusal, then the usual advice.
void expect_refusal(const Login &l, const std::string &word)
{
	EXPECT_EQ(l.r.status, 255) << shown(l);
	ASSERT_EQ(l.errors.size(), 2u) << shown(l);
	EXPECT_NE(l.errors[0].find(word), std::string::npos) << l.errors[0];
	EXPECT_EQ(l.errors[1], "To diagnose, try the options --debug --verbose");
}

std::string login_form_page(const std::string &action, bool with_user_fields = true)
{
	return "<html><body><form method=\"post\" action=\"" + action + "\">\n" +
	       (with_user_fields ? "<input name=\"username\"><input type=\"password\" name=\"password\">\n" : "") +
	       "<input type=\"hidden\" name=\"tok\" value=\"t1\">\n<input type=\"submit\" value=\"Go\">\n"
	       "</form></body></html>\n";
}

// A form that would carry the password to a host the user did not name:
// nothing is sent there.
TEST(FormLoginRefusal, PasswordToAnotherHost)
{
	Portals p;
	p.status("/", "you-are-in", [&p](const PortalRequest &) {
		return std::string(html_page(login_form_page(p.second.url("/login"))));
	});
	p.second.route("", "*", [](const PortalRequest &) { return std::string(html_page("welcome, you-are-in")); });
	Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\n"));
	expect_refusal(l, "127.0.0.2");
	EXPECT_EQ(p.second.count(), 0u) << p.wire();
	EXPECT_EQ(l.r.out.find(PASS), std::string::npos);

	// Named in PORTAL_HOSTS, the same host gets it.
	Login named = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\nPORTAL_HOSTS = \""
	                                              "portal.example, 127.0.0.2\"\n"));
	EXPECT_EQ(named.r.status, 0) << shown(named) << p.wire();
	ASSERT_EQ(p.second.count(), 1u) << p.wire();
	EXPECT_EQ(p.second.requests()[0].field("password"), PASS);
}

// A click-through form carries nothing of the user's: it goes wherever it
// points, a host outside PORTAL_HOSTS too.
TEST(FormLoginRefusal, ClickThroughGoesAnywhere)
{
	Portals p;
	p.status("/", "you-are-in", [&p](const PortalRequest &) {
		return std::string(html_page(login_form_page(p.second.url("/accept"), false)));
	});
	p.second.route("POST", "/accept", [&p](const PortalRequest &r) {
		if (r.field("tok") != "t1")
			return p.refuse("no tok");
		p.logged_in = true;
		return std::string(html_page("welcome, you-are-in"));
	});
	Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\n"));
	EXPECT_EQ(l.r.status, 0) << shown(l) << p.wire();
	EXPECT_TRUE(p.logged_in) << p.wire();
	ASSERT_EQ(p.second.count(), 1u);
	EXPECT_EQ(p.second.requests()[0].body.find(PASS), std::string::npos);
}

// Redirect chains: a loop ends at the first URL seen again; five redirects
// in a row are followed, a sixth is not.
TEST(FormLoginRefusal, RedirectLoopEnds)
{
	Portals p;
	p.status("/", "you-are-in", [&p](const PortalRequest &) { return std::string(redirect_to(p.gw.url("/a"))); });
	p.gw.route("GET", "/a", [](const PortalRequest &) { return std::string(redirect_to("/b", 307)); });
	p.gw.route("GET", "/b", [&p](const PortalRequest &) { return std::string(redirect_to(p.gw.url("/a"), 301)); });
	Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\nLOGIN_PAGE = /a\n"));
	expect_refusal(l, "loop");
	EXPECT_LE(p.gw.count("GET", "/a"), 2u) << p.wire();
	EXPECT_LE(p.gw.count("GET", "/b"), 2u) << p.wire();
	EXPECT_LT(l.seconds, 30);
}

// A redirect to a scheme other than http and https is not followed.
TEST(FormLoginRefusal, RedirectToAnotherSchemeEnds)
{
	Portals p;
	p.status("/", "you-are-in", [](const PortalRequest &) { return std::string(redirect_to("ftp://127.0.0.1/login")); });
	Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\n"));
	expect_refusal(l, "ftp");
	EXPECT_EQ(p.gw.count(), 1u) << p.wire();
}

// The probe's reply is the first of `n` redirects, /r1 ... /rN, then the
// login page.
void redirect_chain(Portals &p, int n)
{
	p.status("/", "you-are-in", [&p, n](const PortalRequest &) {
		return std::string(redirect_to(n > 1 ? p.gw.url("/r1") : p.gw.url("/page")));
	});
	p.gw.route("GET", "*", [&p, n](const PortalRequest &r) {
		if (r.path.rfind("/r", 0) != 0)
			return std::string(html_page(login_form_page("/login")));
		int k = std::stoi(r.path.substr(2));
		return std::string(redirect_to(k + 1 < n ? "/r" + std::to_string(k + 1) : "/page", k % 2 ? 302 : 308));
	});
	p.gw.route("POST", "/login", [&p](const PortalRequest &) {
		p.logged_in = true;
		return std::string(html_page("you-are-in"));
	});
}

TEST(FormLoginRefusal, FiveRedirectsAreFollowedASixthIsNot)
{
	{
		Portals p;
		redirect_chain(p, 5);
		Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\n"));
		EXPECT_EQ(l.r.status, 0) << shown(l) << p.wire();
		EXPECT_EQ(p.gw.count("GET", "/page"), 1u) << p.wire();
	}
	Portals p;
	redirect_chain(p, 6);
	Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\nLOGIN_PAGE = /r1\n"));
	expect_refusal(l, "5");
	EXPECT_EQ(p.gw.count("GET", "/r5"), 1u) << p.wire();
	EXPECT_EQ(p.gw.count("GET", "/page"), 0u) << p.wire();
	EXPECT_EQ(p.gw.count("POST", "/login"), 0u) << p.wire();
}

// A portal that answers every form with another: three are submitted, no
// fourth, and the login, not confirmed, failed; every request of it is
// within the bound.
TEST(FormLoginRefusal, EndlessFormsStopAtThree)
{
	Portals p;
	p.gw.route("", "*", [](const PortalRequest &) { return std::string(html_page(login_form_page("/next"))); });
	Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\n"));
	EXPECT_EQ(l.r.status, 255) << shown(l);
	size_t posts = 0;
	for (const auto &r : p.gw.requests())
		posts += r.method == "POST";
	EXPECT_EQ(posts, 3u) << p.wire();
	EXPECT_LE(p.gw.count(), 2u + 31u) << p.wire();
	ASSERT_FALSE(l.errors.empty()) << shown(l);
	EXPECT_EQ(l.errors.back(), "LOGIN FAILED - To diagnose, try the options --debug --verbose");
}

// A cookie goes back only to the host that set it: the gateway's session
// cookie does not travel with the form to the portal host of PORTAL_HOSTS,
// whose own cookie does come back to it.
TEST(FormLoginCookies, StayWithTheirHost)
{
	Portals p;
	p.status("/", "you-are-in", [&p](const PortalRequest &) {
		return std::string(redirect_to(p.second.url("/login")).set_cookie("gwsession=g1; Path=/"));
	});
	p.second.route("GET", "/login", [](const PortalRequest &) {
		return std::string(html_page(login_form_page("/login")).set_cookie("portal=p1; Path=/"));
	});
	p.second.route("POST", "/login", [&p](const PortalRequest &r) {
		if (r.has_cookie("gwsession"))
			return p.refuse("the gateway's cookie went to the portal host");
		if (r.cookie("portal") != "p1")
			return p.refuse("no portal cookie");
		p.logged_in = true;
		return std::string(html_page("you-are-in"));
	});
	Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\nPORTAL_HOSTS = 127.0.0.2\n"));
	EXPECT_EQ(l.r.status, 0) << shown(l) << p.wire();
	EXPECT_TRUE(p.refusals().empty()) << p.refusals().front();
	for (const auto &r : p.second.requests())
		EXPECT_FALSE(r.has_cookie("gwsession")) << r.raw;
}

// A portal that sends its login page chunked to an HTTP/1.0 request, as
// some do: the page is read whole.
TEST(FormLoginReplies, ChunkedLoginPage)
{
	Portals p;
	p.status("/", "you-are-in", [](const PortalRequest &) {
		std::string page = login_form_page("/login");
		std::string half = page.substr(0, page.size() / 2), rest = page.substr(page.size() / 2);
		char size1[16], size2[16];
		snprintf(size1, sizeof size1, "%zx", half.size());
		snprintf(size2, sizeof size2, "%zX", rest.size());
		return "HTTP/1.1 511 Network Authentication Required\r\nContent-Type: text/html\r\n"
		       "Transfer-Encoding: chunked\r\n\r\n" + std::string(size1) + "\r\n" + half + "\r\n" + size2 +
		       ";ext=1\r\n" + rest + "\r\n0\r\n\r\n";
	});
	p.gw.route("POST", "/login", [&p](const PortalRequest &r) {
		std::string fault = first_fault({expect_field(r, "username", USER), expect_field(r, "password", PASS),
		                                 expect_field(r, "tok", "t1")});
		if (!fault.empty())
			return p.refuse(fault);
		p.logged_in = true;
		return std::string(html_page("you-are-in"));
	});
	Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = you-are-in\n"));
	EXPECT_EQ(l.r.status, 0) << shown(l) << p.wire();
	EXPECT_TRUE(p.logged_in) << p.wire();
}

// A page of 1 MiB whose form lies past 64 KiB: the page is cut there, so
// there is no form to be had; the login ends at once, and -d says so.
TEST(FormLoginRefusal, PageOfOneMebibyteIsCut)
{
	Portals p;
	std::string big = "<html><body><!--" + std::string(1 << 20, 'x') + "-->" + login_form_page("/login");
	p.gw.route("", "*", [&p, big](const PortalRequest &r) {
		if (r.method == "POST")
			p.logged_in = true;
		return p.logged_in ? std::string(html_page("in")) : std::string(html_page(big));
	});
	Login l = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = \"you are in\"\n"),
	                    {"-v", "-d"});
	EXPECT_EQ(l.r.status, 255) << l.r.err;
	EXPECT_FALSE(p.logged_in);
	EXPECT_EQ(p.gw.count("POST", "/login"), 0u);
	EXPECT_LT(l.seconds, 30);
	ASSERT_FALSE(l.errors.empty());
	EXPECT_EQ(l.errors.back(), "To diagnose, try the options --debug --verbose");
	EXPECT_NE(l.r.out.find("65536"), std::string::npos) << l.r.out.substr(0, 4000);
	// Without -d the same, in one error line.
	Login quiet = run_login(form_config(p, PASS, "INIT_PAGE = /\nLOGGED_IN_STRING = \"you are in\"\n"));
	EXPECT_EQ(quiet.r.status, 255);
	EXPECT_EQ(quiet.errors.size(), 2u) << shown(quiet);
}

}  // namespace

// The form login over HTTPS: a portal page that came over TLS and holds a
// form posting the password over plain HTTP is refused, and nothing is
// sent; the same form posted over HTTPS logs in. The page is a FakePortal
// behind the TLS front, with a certificate from a CA of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <string>

#include "fake_portal.h"
#include "helpers.h"
#include "pki.h"
#include "tls_fake_server.h"

namespace {

std::string page_with_form(const std::string &action)
{
	return "<html><body><form method=\"post\" action=\"" + action +
	       "\">\n<input name=\"username\"><input type=\"password\" name=\"password\">\n"
	       "<input type=\"submit\" value=\"Sign in\"></form></body></html>\n";
}

std::vector<std::string> error_lines(const std::string &err)
{
	std::vector<std::string> out;
	std::istringstream lines(strip_prefixes(err));
	std::string line;
	while (std::getline(lines, line))
		if (line.rfind("ERR: ", 0) == 0)
			out.push_back(line.substr(5));
	return out;
}

TEST(FormLoginTls, HttpsPageWithHttpFormIsRefused)
{
	TempDir dir;
	TestPki pki(dir.path());
	IssuedCert cert = pki.issue("portal", "DNS:localhost,IP:127.0.0.1");
	ASSERT_TRUE(pki.ok() && cert.ok);
	FakePortal portal;
	TlsFakeServer front(portal.port(), cert.cert_file, cert.key_file);
	ASSERT_TRUE(portal.listening() && front.listening());

	std::atomic<bool> logged_in{false};
	std::mutex mu;
	std::string action;
	auto set_action = [&](const std::string &a) {
		std::lock_guard lk(mu);
		action = a;
	};
	portal.route("GET", "/", [&](const PortalRequest &) {
		std::lock_guard lk(mu);
		return std::string(html_page(logged_in ? "welcome-in" : page_with_form(action)));
	});
	portal.route("POST", "/login", [&](const PortalRequest &r) {
		logged_in = r.field("username") == "joe" && r.field("password") == "secret";
		return std::string(html_page(logged_in ? "welcome-in" : "denied", logged_in ? 200 : 403));
	});
	std::string conf = dir.file("kavri.conf");
	write_file(conf, "SERV = 127.0.0.1\nSERVER_PORT = " + std::to_string(front.port()) +
	                     "\nTLS = yes\nTLS_CA_FILE = " + pki.ca_file() +
	                     "\nINIT_PAGE = /\nLOGIN_FORM = yes\nUSER = joe\nPASS = secret\n"
	                     "LOGGED_IN_STRING = welcome-in\nDEAMON_S = no\n");
	auto login = [&] { return run_program({"-v", "-l", "-c", conf, "-p", dir.file("kavri.pid")}); };

	// The form's action is the portal itself over plain HTTP.
	set_action(portal.url("/login"));
	RunResult r = login();
	EXPECT_EQ(r.status, 255) << r.out << r.err;
	std::vector<std::string> errors = error_lines(r.err);
	ASSERT_EQ(errors.size(), 2u) << r.err;
	EXPECT_NE(errors[0].find("http"), std::string::npos) << errors[0];
	EXPECT_EQ(errors[1], "To diagnose, try the options --debug --verbose");
	EXPECT_EQ(portal.count("POST", "/login"), 0u) << "the password went over plain HTTP";
	EXPECT_FALSE(logged_in);

	// Relative, the action stays on HTTPS: the login goes through.
	set_action("/login");
	r = login();
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("SUCCESSFUL LOGIN"), std::string::npos) << r.out << r.err;
	EXPECT_EQ(portal.count("POST", "/login"), 1u);
	EXPECT_TRUE(logged_in);
}

}  // namespace

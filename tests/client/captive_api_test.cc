// The captive-portal API (RFC 8908) through the built binary, against a
// fake API on loopback: the status probe from "captive", the refusals of
// a reply that is not the API's object, the form login from
// user-portal-url and its host rule, the remaining time in -v -s, and the
// daemon's check before the session's end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture.h"
#include "fake_portal.h"
#include "helpers.h"
#include "isolation.h"
#include "kavri_world.h"
#include "syslog_sink.h"

namespace {

const char *JSON = "application/captive+json";

PortalReply json_reply(const std::string &body, const char *type = JSON)
{
	PortalReply r;
	r.body = body;
	r.content_type = type;
	return r;
}

// A portal with its API on /api, its login page on /portal and the form's
// target on /login (on `action_host`, the portal's own address when
// empty). The API says captive until a login with the right password.
struct ApiPortal {
	FakePortal portal;
	std::atomic<bool> free{false};
	std::string extra_members;  // after "captive" while free, e.g. ", \"seconds-remaining\": 40"
	std::atomic<bool> form_when_free{true};  // false: the portal page has no form once logged in
	// With `counting`, seconds-remaining counts down to `ends`.
	bool counting = false;
	std::chrono::steady_clock::time_point ends;

	explicit ApiPortal(const std::string &action_host = "")
	{
		std::string action = action_host.empty() ? "/login" : action_host + "/login";
		portal.route("GET", "/api", [this](const PortalRequest &r) -> std::string {
			if (r.header("Accept") != JSON)
				return html_page("<a href=\"/portal\">log in</a>");
			if (!free)
				return json_reply("{\"captive\": true, \"user-portal-url\": \"" + portal.url("/portal?x=1") + "\"}");
			std::string members = extra_members;
			if (counting) {
				auto left = std::chrono::duration_cast<std::chrono::seconds>(ends - std::chrono::steady_clock::now());
				members += ", \"seconds-remaining\": " + std::to_string(std::max<long long>(0, left.count()));
			}
			return json_reply("{\"captive\": false, \"user-portal-url\": \"" + portal.url("/portal?x=1") + "\"" +
			                  members + "}");
		});
		portal.route("GET", "/portal", [this, action](const PortalRequest &) {
			if (free && !form_when_free)
				return html_page("You are logged in.");
			return html_page("<form method=post action=\"" + action +
			                 "\"><input name=user><input type=password name=pw></form>");
		});
		portal.route("POST", "/login", [this](const PortalRequest &r) {
			if (r.field("user") == "joe" && r.field("pw") == "secret")
				free = true;
			return html_page("thanks");
		});
	}
	std::string config(const std::string &more = "")
	{
		return loopback_config(portal.port(), "CAPTIVE_API = " + portal.url("/api") + "\n" + more);
	}
};

RunResult run_kavri(const std::string &conf, const std::vector<std::string> &args)
{
	TempDir dir;
	write_file(dir.file("kavri.conf"), conf);
	chmod(dir.file("kavri.conf").c_str(), 0600);
	std::vector<std::string> all = {KAVRI_BINARY, "-c", dir.file("kavri.conf")};
	all.insert(all.end(), args.begin(), args.end());
	return run_program(all);
}

bool has(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

TEST(CaptiveApi, StatusFromCaptive)
{
	ApiPortal p;
	ASSERT_TRUE(p.portal.listening());
	RunResult r = run_kavri(p.config(), {"-v", "-s"});
	EXPECT_TRUE(has(r.out + r.err, "Current status: DISCONNECTED")) << r.out << r.err;
	EXPECT_FALSE(has(r.out + r.err, "Session time remaining")) << r.out << r.err;
	auto reqs = p.portal.requests();
	ASSERT_EQ(reqs.size(), 1u);
	EXPECT_EQ(reqs[0].raw, "GET /api HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(p.portal.port()) +
	                           "\r\nUser-Agent: kavri v1.3.3\r\nAccept: application/captive+json\r\n\r\n");

	p.free = true;
	p.extra_members = ", \"seconds-remaining\": 120, \"can-extend-session\": true";
	r = run_kavri(p.config(), {"-v", "-s"});
	std::string all = r.out + r.err;
	size_t status = all.find("Current status: CONNECTED\n");
	ASSERT_NE(status, std::string::npos) << all;
	// The new line comes right after the status line.
	EXPECT_TRUE(has(strip_prefixes(r.out), "INF: Current status: CONNECTED\nINF: Session time remaining: 120 s (the "
	                                      "captive-portal API).\nINF: Login daemon not running.\n"))
	    << all;
	// Without -v: no lines, as ever.
	r = run_kavri(p.config(), {"-s"});
	EXPECT_EQ(r.out + r.err, "");
}

TEST(CaptiveApi, RepliesThatAreNotTheApisObjectFailTheProbe)
{
	struct Case {
		const char *name;
		std::string reply;
		std::string err;
	} cases[] = {
		{"HTML", html_page("<html>you are free</html>"),
		 "the captive-portal API answered with text/html, not application/captive+json"},
		{"captive missing", json_reply("{\"user-portal-url\": \"http://x/\"}"),
		 "the captive-portal API's reply has no \"captive\""},
		{"1 MiB of JSON", json_reply("{\"captive\": false, \"pad\": \"" + std::string(1 << 20, 'x') + "\"}"),
		 "the captive-portal API's reply is longer than 65536 bytes"},
		{"malformed", json_reply("{\"captive\": false,}"), "the captive-portal API's reply is not JSON"},
		{"a string", json_reply("{\"captive\": \"false\"}"), "the captive-portal API's \"captive\" is not true or false"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		FakePortal api;
		ASSERT_TRUE(api.listening());
		std::string reply = c.reply;
		api.route("GET", "/api", [reply](const PortalRequest &) { return reply; });
		RunResult r = run_kavri(loopback_config(api.port(), "CAPTIVE_API = " + api.url("/api") + "\n"), {"-v", "-s"});
		std::string all = r.out + r.err;
		EXPECT_TRUE(has(strip_prefixes(r.err), "ERR: " + api.url("/api") + ": " + c.err)) << all;
		EXPECT_TRUE(has(all, "Current status: DISCONNECTED")) << all;
		// -l counts the failed probe as not logged in and tries the login.
		EXPECT_EQ(api.count(), 1u);
	}
}

TEST(CaptiveApi, FormLoginStartsAtUserPortalUrl)
{
	ApiPortal p;
	ASSERT_TRUE(p.portal.listening());
	RunResult r = run_kavri(p.config("LOGIN_FORM = yes\n"), {"-v", "-l"});
	std::string all = r.out + r.err;
	EXPECT_TRUE(p.free) << all;
	EXPECT_TRUE(has(all, "Logging in at the captive-portal API's user-portal-url.")) << all;
	EXPECT_EQ(p.portal.count("GET", "/portal"), 1u) << all;
	EXPECT_EQ(p.portal.count("POST", "/login"), 1u) << all;
	EXPECT_EQ(r.status, 0) << all;
	for (const auto &q : p.portal.requests())
		EXPECT_TRUE(q.path != "/portal" || q.target == "/portal?x=1") << q.target;
	r = run_kavri(p.config(), {"-v", "-s"});
	EXPECT_TRUE(has(r.out + r.err, "Current status: CONNECTED")) << r.out << r.err;
}

// The user-portal-url is a page like any other: its form gets the
// password only when its action is on SERV or in PORTAL_HOSTS.
TEST(CaptiveApi, PasswordOnlyToServOrPortalHosts)
{
	FakePortal other("127.0.0.2");
	ASSERT_TRUE(other.listening());
	other.route("", "*", [](const PortalRequest &) { return html_page("got it"); });
	ApiPortal p(other.url(""));
	ASSERT_TRUE(p.portal.listening());
	RunResult r = run_kavri(p.config("LOGIN_FORM = yes\n"), {"-v", "-l"});
	EXPECT_EQ(other.count(), 0u) << r.out << r.err;
	EXPECT_TRUE(has(r.err, "127.0.0.2")) << r.err;
	EXPECT_NE(r.status, 0);
}

// A DHCPACK as dhcpcd keeps it, with option 114.
std::string dhcpcd_lease(const std::string &uri)
{
	std::string m(236, '\0');
	m[0] = 2;
	m += std::string("\x63\x82\x53\x63\x35\x01\x05", 7);
	m += '\x72';
	m += static_cast<char>(uri.size());
	return m + uri + '\xff';
}

// CAPTIVE_API = auto for INTERFACE lo: the sources in their order, each
// with a file of the test's own. An http API from any of them is refused;
// where the deciding source has none, the usual probe runs.
TEST(CaptiveApi, AutoReadsTheNetworkProgramsFilesInOrder)
{
	RUN_ISOLATED(false, [&] {
		ASSERT_TRUE(mount_own_network_state()) << strerror(errno);
		FakePortal p;
		ASSERT_TRUE(p.listening());
		p.route("", "*", [](const PortalRequest &) { return html_page("status"); });
		const std::string api = p.url("/api");
		const std::string networkd = "/run/systemd/netif/links/1";  // lo
		const std::string dhcpcd = "/var/lib/dhcpcd/lo.lease";
		const std::string dhclient = "/var/lib/dhcp/dhclient.lo.leases";
		const std::string nm = "/var/lib/NetworkManager/dhclient-8d4b-lo.lease";
		const std::string lease = "lease {\n  interface \"lo\";\n  option default-url \"" + api + "\";\n}\n";
		struct Case {
			const char *name;
			std::vector<std::pair<std::string, std::string>> files;
			std::string line;  // after "ERR: " or "INF: "
		} cases[] = {
			{"networkd", {{networkd, "ADMIN_STATE=configured\nCAPTIVE_PORTAL=" + api + "\n"}, {dhclient, lease}},
			 "ERR: The captive-portal API \"" + api + "\" announced for lo in " + networkd +
			     " is not an https URL: refused."},
			{"dhcpcd after an unmanaged link",
			 {{networkd, "ADMIN_STATE=unmanaged\n"}, {dhcpcd, dhcpcd_lease(api)}, {dhclient, "lease {}\n"}},
			 "ERR: The captive-portal API \"" + api + "\" announced for lo in " + dhcpcd +
			     " is not an https URL: refused."},
			{"dhclient", {{dhclient, lease}, {nm, "lease {}\n"}},
			 "ERR: The captive-portal API \"" + api + "\" announced for lo in " + dhclient +
			     " is not an https URL: refused."},
			{"NetworkManager's dhclient", {{nm, lease}},
			 "ERR: The captive-portal API \"" + api + "\" announced for lo in " + nm + " is not an https URL: refused."},
			{"networkd knows the link and has none", {{networkd, "ADMIN_STATE=configured\n"}, {dhclient, lease}},
			 "INF: No captive-portal API announced for lo in " + networkd + ": probing 127.0.0.1 as usual."},
			{"nothing recorded", {}, "INF: No captive-portal API announced for lo: probing 127.0.0.1 as usual."},
		};
		for (const auto &c : cases) {
			SCOPED_TRACE(c.name);
			for (const char *f : {"/run/systemd/netif/links/1", "/var/lib/dhcpcd/lo.lease",
			                      "/var/lib/dhcp/dhclient.lo.leases", "/var/lib/NetworkManager/dhclient-8d4b-lo.lease"})
				unlink(f);
			for (const auto &[path, text] : c.files)
				write_file(path, text);
			p.clear_requests();
			RunResult r = run_kavri(loopback_config(p.port(), "CAPTIVE_API = auto\nINTERFACE = lo\n"), {"-v", "-s"});
			std::string all = strip_prefixes(r.out + r.err);
			EXPECT_TRUE(has(all, c.line + "\n")) << all;
			EXPECT_TRUE(has(all, "Current status: DISCONNECTED")) << all;
			if (c.line.substr(0, 3) == "ERR")
				EXPECT_EQ(p.count(), 0u) << "an http API from auto was asked";
			else
				EXPECT_EQ(p.count("GET", "/sd/init"), 1u) << "the usual probe";
		}
	});
}

class CaptiveApiDaemon : public testing::Test {
protected:
	void SetUp() override { REQUIRE_SYSLOG_CAPTURE(); }
};

// seconds-remaining 40: the margin is 30 s, so the daemon checks 10 s
// after the reply instead of DEAMON_D's 60 minutes; with
// can-extend-session true that check logs in again.
TEST_F(CaptiveApiDaemon, ChecksBeforeTheSessionEnds)
{
	for (bool extend : {true, false}) {
		SCOPED_TRACE(extend ? "can-extend-session true" : "can-extend-session false");
		RUN_ISOLATED(false, [&] {
			ApiPortal p;
			ASSERT_TRUE(p.portal.listening());
			p.extra_members = std::string(", \"seconds-remaining\": 40, \"can-extend-session\": ") +
			                  (extend ? "true" : "false");
			Kavri k("127.0.0.1", p.portal.port(),
			        "CAPTIVE_API = " + p.portal.url("/api") + "\nLOGIN_FORM = yes\nDEAMON_D = 60\n");
			RunResult fg;
			pid_t pid = k.start({"-v"}, &fg);
			ASSERT_GT(pid, 0) << fg.out << fg.err;
			auto started = std::chrono::steady_clock::now();
			ASSERT_TRUE(syslog_wait_for(pid, "Session ends in 40 s (at ", 5000));
			size_t probes = p.portal.count("GET", "/api");
			EXPECT_EQ(p.portal.count("POST", "/login"), 1u);

			// The check: 10 s after the reply, give or take the slack.
			ASSERT_TRUE(wait_until([&] { return p.portal.count("GET", "/api") > probes; }, 25000));
			double after = seconds_since(started);
			EXPECT_GT(after, 7.0);
			EXPECT_LT(after, 20.0);
			if (extend) {
				ASSERT_TRUE(syslog_wait_for(pid, "Daemon extending the session before it ends.", 10000));
				ASSERT_TRUE(wait_until([&] { return p.portal.count("POST", "/login") == 2; }, 10000)) << [&] {
					std::string all;
					for (const auto &l : syslog_lines(pid))
						all += "  " + l.message + "\n";
					return all;
				}();
			} else {
				std::this_thread::sleep_for(std::chrono::seconds(2));
				EXPECT_EQ(p.portal.count("POST", "/login"), 1u) << "logged in again while captive is false";
			}
			if (const char *keep = getenv("KAVRI_CAPTIVE_NOTICES")) {
				std::string all;
				for (const auto &l : syslog_lines(pid))
					all += l.message + "\n";
				write_file(std::string(keep) + (extend ? ".extend" : ".no-extend"), all);
			}
			kill(pid, SIGTERM);
			EXPECT_GE(reap_within(pid, 5000), 0);
		});
	}
}

// A portal that says the session can be extended but has no form to do
// it with once logged in: the extension fails once, the session still
// counts as logged in, and the daemon does not try again for that end.
TEST_F(CaptiveApiDaemon, AnExtensionThatFailsIsNotRetriedForTheSameEnd)
{
	RUN_ISOLATED(false, [&] {
		ApiPortal p;
		ASSERT_TRUE(p.portal.listening());
		p.form_when_free = false;
		p.extra_members = ", \"can-extend-session\": true";
		p.ends = std::chrono::steady_clock::now() + std::chrono::seconds(40);
		p.counting = true;
		Kavri k("127.0.0.1", p.portal.port(),
		        "CAPTIVE_API = " + p.portal.url("/api") + "\nLOGIN_FORM = yes\nDEAMON_D = 60\n");
		RunResult fg;
		pid_t pid = k.start({"-v"}, &fg);
		ASSERT_GT(pid, 0) << fg.out << fg.err;
		ASSERT_TRUE(syslog_wait_for(pid, "Extending the session failed.", 25000)) << [&] {
			std::string all;
			for (const auto &l : syslog_lines(pid))
				all += "  " + l.message + "\n";
			return all;
		}();
		// With about 30 s left, the next check comes halfway to the end;
		// it does not extend again.
		std::this_thread::sleep_for(std::chrono::seconds(17));
		std::string all;
		int extensions = 0;
		for (const auto &l : syslog_lines(pid)) {
			all += "  " + l.message + "\n";
			extensions += l.message == "Daemon extending the session before it ends.";
		}
		EXPECT_EQ(extensions, 1) << all;
		EXPECT_EQ(all.find("Login FAILED!"), std::string::npos) << all;
		EXPECT_GE(p.portal.count("GET", "/api"), 5u) << all;
		kill(pid, SIGTERM);
		EXPECT_GE(reap_within(pid, 5000), 0);
	});
}

}  // namespace

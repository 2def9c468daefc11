// Against a real portal gateway: Debian's openNDS in namespaces of the
// test's own (opennds_lab.h). First the lab itself: the client is kept out
// until it walks openNDS's login pages as a browser does, and loses access
// again when openNDS deauthenticates it; then kavri's status probe, which
// tells the two apart today.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "helpers.h"
#include "isolation.h"
#include "opennds_lab.h"
#include "syslog_sink.h"

namespace {

// openNDS's status page for a logged-in client holds its logout form; the
// page for a client that is not logged in holds the login form instead.
constexpr const char *LOGGED_IN_MARKER = "opennds_deny";
constexpr const char *LOGGED_OUT_MARKER = "To login, click or tap the Continue button";

class OpenNds : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		lab_ = std::make_unique<OpenNdsLab>();
		if (lab_->ok())
			printf("openNDS lab up in %.1f s\n", lab_->startup_seconds());
	}
	static void TearDownTestSuite() { lab_.reset(); }

	void SetUp() override
	{
		if (!lab_->ok())
			SKIP_OR_FAIL(lab_->error());
		// Each case begins with the client logged out.
		if (lab_->client_authenticated()) {
			ASSERT_TRUE(lab_->deauth());
		}
		ASSERT_TRUE(lab_->wait_logged_out()) << lab_->ndsctl_json();
	}

	void TearDown() override
	{
		lab_->kill_started_processes();
		if (HasFailure())
			printf("openNDS's last lines:\n%s\n", tail(lab_->opennds_log(), 40).c_str());
	}

	static std::string tail(const std::string &text, int lines)
	{
		size_t at = text.size();
		while (lines-- > 0 && at > 0)
			at = text.rfind('\n', at - 1);
		return at == std::string::npos ? text : text.substr(at);
	}

	void login_or_fail()
	{
		std::vector<std::string> steps;
		std::string why = lab_->browser_login(&steps);
		std::string walk;
		for (const auto &s : steps)
			walk += "  " + s + "\n";
		ASSERT_EQ(why, "") << walk;
		ASSERT_TRUE(wait_until([] { return lab_->client_authenticated(); }, 10000)) << lab_->ndsctl_json();
		ASSERT_TRUE(wait_until([] { return lab_->client_reaches_upstream(); }, 10000));
	}

	static std::unique_ptr<OpenNdsLab> lab_;
};

std::unique_ptr<OpenNdsLab> OpenNds::lab_;

TEST_F(OpenNds, ClientIsKeptOutUntilLogin)
{
	EXPECT_FALSE(lab_->client_reaches_upstream());
	EXPECT_FALSE(lab_->client_authenticated()) << lab_->ndsctl_json();
	// A page of the Internet is answered by the gateway: a redirect to its
	// login page, with the client's token.
	HttpReply r = lab_->client_get(OpenNdsLab::UPSTREAM, 80, "/");
	EXPECT_EQ(r.status, 307) << r.error << r.head;
	EXPECT_EQ(r.location.rfind(std::string("http://") + OpenNdsLab::GATEWAY + ":2050/opennds_preauth/?fas=", 0), 0u)
	    << r.location;
	EXPECT_EQ(lab_->upstream()->answered(), 0);
}

TEST_F(OpenNds, BrowserLoginGrantsAccessAndDeauthTakesItAway)
{
	int answered = lab_->upstream()->answered();
	ASSERT_NO_FATAL_FAILURE(login_or_fail());
	HttpReply page = lab_->client_get(OpenNdsLab::UPSTREAM, 80, "/");
	EXPECT_EQ(page.status, 200) << page.error;
	EXPECT_NE(page.body.find(UPSTREAM_MARKER), std::string::npos) << page.body;
	EXPECT_GT(lab_->upstream()->answered(), answered);

	ASSERT_TRUE(lab_->deauth());
	EXPECT_TRUE(lab_->wait_logged_out()) << lab_->ndsctl_json();
	EXPECT_FALSE(lab_->client_reaches_upstream());
}

// The client's own files: status.client in its /etc/hosts (not the
// machine's), and the test's /dev/log, where a daemon started there logs.
TEST_F(OpenNds, ClientHasItsOwnHostsAndSystemLog)
{
	RunResult hosts = lab_->in_client({"cat", "/etc/hosts"});
	EXPECT_NE(hosts.out.find(std::string(OpenNdsLab::GATEWAY) + " status.client"), std::string::npos) << hosts.out;
	EXPECT_EQ(read_file("/proc/1/root/etc/hosts").find("status.client"), std::string::npos);

	RunResult r = lab_->in_client({"sh", "-c", "echo $$; exec logger --id=$$ -t kavri-lab-check 'to the test'"});
	pid_t pid = static_cast<pid_t>(atol(r.out.c_str()));
	ASSERT_GT(pid, 0) << r.err;
	EXPECT_TRUE(syslog_wait_for(pid, "to the test", 5000)) << "logger " << pid << " did not reach the test's /dev/log";
}

// What openNDS answers on its port for the status page, by Host header:
// the status code tells nothing (a logged-in client gets 511 for
// "status.client:2050"), the marker does.
TEST_F(OpenNds, StatusPageByHostHeader)
{
	struct Case {
		const char *host;
		int logged_out, logged_in;
	} cases[] = {
	    {"10.250.1.1", 511, 200},
	    {"10.250.1.1:2050", 511, 200},
	    {"status.client", 511, 200},
	    {"status.client:2050", 307, 511},
	};
	auto check = [&](bool logged_in) {
		for (const auto &c : cases) {
			SCOPED_TRACE(std::string(c.host) + (logged_in ? ", logged in" : ", logged out"));
			HttpReply r = lab_->client_get(OpenNdsLab::GATEWAY, OpenNdsLab::GATEWAY_PORT, "/", c.host);
			EXPECT_EQ(r.status, logged_in ? c.logged_in : c.logged_out) << r.error;
			if (r.status == 200) {
				EXPECT_NE(r.body.find(LOGGED_IN_MARKER), std::string::npos) << r.body;
				EXPECT_EQ(r.body.find(LOGGED_OUT_MARKER), std::string::npos) << r.body;
			}
			if (r.status == 511 && !logged_in) {
				EXPECT_EQ(r.body.find(LOGGED_IN_MARKER), std::string::npos) << r.body;
				EXPECT_NE(r.body.find(LOGGED_OUT_MARKER), std::string::npos) << r.body;
			}
		}
	};
	check(false);
	ASSERT_NO_FATAL_FAILURE(login_or_fail());
	check(true);
}

// kavri's status probe as it is: GET INIT_PAGE from SERV:SERVER_PORT, with
// Host the address alone, judged by LOGGED_IN_STRING.
TEST_F(OpenNds, KavriStatusProbeSeesTheLogin)
{
	TempDir dir;
	std::string conf = dir.file("kavri.conf");
	write_file(conf, std::string("SERV = ") + OpenNdsLab::GATEWAY + "\nSERVER_PORT = 2050\nINIT_PAGE = /\n" +
	                     "LOGGED_IN_STRING = " + LOGGED_IN_MARKER + "\nUSER = joe\nPASS = secret\nDEAMON_S = false\n");
	auto probe = [&] {
		return lab_->in_client({KAVRI_BINARY, "-v", "-s", "-c", conf, "-p", dir.file("kavri.pid")});
	};
	RunResult before = probe();
	EXPECT_NE(before.out.find("Current status: DISCONNECTED"), std::string::npos) << before.out << before.err;
	EXPECT_EQ(before.status, 255) << before.err;  // no daemon runs

	ASSERT_NO_FATAL_FAILURE(login_or_fail());
	RunResult after = probe();
	EXPECT_NE(after.out.find("Current status: CONNECTED"), std::string::npos) << after.out << after.err;
	EXPECT_EQ(after.status, 255) << after.err;

	ASSERT_TRUE(lab_->deauth());
	ASSERT_TRUE(lab_->wait_logged_out()) << lab_->ndsctl_json();
	RunResult again = probe();
	EXPECT_NE(again.out.find("Current status: DISCONNECTED"), std::string::npos) << again.out << again.err;
}

// kavri's form login, given only the gateway, its port, its status page,
// the user's name and password and the marker: `-l` walks openNDS's pages
// (its status page's form, the preauth page's first form with the
// per-client token, the landing page's form) and the client reaches the
// Internet; `-s` sees it; after a deauth the daemon's next check (made at
// once by a SIGHUP, its pause being minutes) finds the client logged out
// and logs in again. `extra` adds the settings of a variant.
void form_login_and_daemon(OpenNdsLab &lab, const std::string &extra)
{
	TempDir dir;
	std::string conf = dir.file("kavri.conf"), pid_file = dir.file("kavri.pid");
	auto write_conf = [&](const char *daemon) {
		write_file(conf, std::string("SERV = ") + OpenNdsLab::GATEWAY + "\nSERVER_PORT = 2050\nINIT_PAGE = /\n" +
		                     "LOGIN_FORM = yes\nUSER = joe\nPASS = secret\nLOGGED_IN_STRING = " + LOGGED_IN_MARKER +
		                     "\nDEAMON_S = " + daemon + "\n" + extra);
		chmod(conf.c_str(), 0600);
	};
	write_conf("no");
	RunResult login = lab.in_client({KAVRI_BINARY, "-v", "-d", "-l", "-c", conf, "-p", pid_file});
	EXPECT_EQ(login.status, 0) << login.out << login.err;
	EXPECT_NE(login.out.find("SUCCESSFUL LOGIN"), std::string::npos) << login.out << login.err;
	// The walk as the transcript shows it: the token's form, then the
	// landing page's, whose reply confirms.
	EXPECT_NE(login.out.find("GET /opennds_preauth/?fas="), std::string::npos) << login.out;
	EXPECT_NE(login.out.find("continue=clicked"), std::string::npos) << login.out;
	EXPECT_NE(login.out.find("landing=yes"), std::string::npos) << login.out;
	EXPECT_EQ(login.out.find("terms=yes"), std::string::npos) << "the decoy form was sent";
	if (const char *keep = getenv("KAVRI_OPENNDS_TRANSCRIPT"))
		write_file(keep, login.out + login.err);
	ASSERT_TRUE(wait_until([&] { return lab.client_authenticated(); }, 10000)) << lab.ndsctl_json();
	EXPECT_TRUE(wait_until([&] { return lab.client_reaches_upstream(); }, 10000));

	RunResult status = lab.in_client({KAVRI_BINARY, "-v", "-s", "-c", conf, "-p", pid_file});
	EXPECT_NE(status.out.find("Current status: CONNECTED"), std::string::npos) << status.out << status.err;

	// The daemon: it logs in as -l does, then pauses for minutes.
	ASSERT_TRUE(lab.deauth());
	ASSERT_TRUE(lab.wait_logged_out()) << lab.ndsctl_json();
	write_conf("yes");
	RunResult start = lab.in_client({KAVRI_BINARY, "-l", "-c", conf, "-p", pid_file});
	EXPECT_EQ(start.status, 0) << start.out << start.err;
	pid_t daemon = 0;
	ASSERT_TRUE(wait_until(
	    [&] {
		    daemon = static_cast<pid_t>(atol(read_file(pid_file).c_str()));
		    return daemon > 0 && syslog_wait_for(daemon, "Keep-alive daemon started", 0);
	    },
	    10000))
	    << "no daemon: " << start.err;
	EXPECT_TRUE(wait_until([&] { return lab.client_authenticated(); }, 10000)) << lab.ndsctl_json();

	ASSERT_TRUE(lab.deauth());
	ASSERT_TRUE(lab.wait_logged_out()) << lab.ndsctl_json();
	ASSERT_EQ(kill(daemon, SIGHUP), 0);
	EXPECT_TRUE(syslog_wait_for(daemon, "Forced relogin successful.", 30000)) << [&] {
		std::string lines;
		for (const SyslogLine &l : syslog_lines(daemon))
			lines += "  " + l.message + "\n";
		return "the daemon's lines:\n" + lines;
	}();
	EXPECT_TRUE(wait_until([&] { return lab.client_authenticated(); }, 10000)) << lab.ndsctl_json();
	EXPECT_TRUE(wait_until([&] { return lab.client_reaches_upstream(); }, 10000));
	kill(daemon, SIGTERM);
	EXPECT_TRUE(wait_until([&] { return kill(daemon, 0) != 0; }, 5000)) << "the daemon outlived SIGTERM";
}

TEST_F(OpenNds, KavriFormLogin)
{
	form_login_and_daemon(*lab_, "");
}

// With PROBE_URL the probe asks the Internet (answered 307 by the gateway
// before the login, 204 by the upstream server after it), and the login
// starts from that redirect: no status page of the gateway's is read.
TEST_F(OpenNds, KavriFormLoginFromProbeUrl)
{
	form_login_and_daemon(*lab_, std::string("PROBE_URL = http://") + OpenNdsLab::UPSTREAM + "/generate_204\n");
}

// A lab of its own, torn down within the case: it leaves no process
// (neither its own nor one the test started in the client namespace), no
// named namespace, no firewall rule in this namespace, nothing in /dev,
// /run or /var/tmp, and /etc/hosts as it was.
TEST(OpenNdsLabTeardown, LeavesNothingBehind)
{
	// The machine's view: its network namespace is this process's, its
	// mount namespace is process 1's (this process may have a /dev of its
	// own, syslog_sink.h).
	auto snapshot = [] {
		RunResult rules = run_program({"list", "ruleset"}, {}, "/usr/sbin/nft");
		RunResult named = run_program({"netns", "list"}, {}, "/usr/sbin/ip");
		RunResult listing =
		    run_program({"-A", "/proc/1/root/dev", "/proc/1/root/run", "/proc/1/root/var/tmp"}, {}, "/usr/bin/ls");
		return rules.out + "\n--\n" + named.out + "\n--\n" + listing.out + "\n--\n" +
		       read_file("/proc/1/root/etc/hosts");
	};
	std::string before = snapshot();
	pid_t stray = 0;
	{
		OpenNdsLab lab;
		if (!lab.ok())
			SKIP_OR_FAIL(lab.error());
		// A process the test started in the client namespace, detached.
		RunResult r = lab.in_client({"sh", "-c", "sleep 600 </dev/null >/dev/null 2>&1 & echo $!"});
		stray = static_cast<pid_t>(atol(r.out.c_str()));
		ASSERT_GT(stray, 0) << r.err;
		ASSERT_EQ(kill(stray, 0), 0);
		EXPECT_NE(lab.in_gateway({"nft", "list", "table", "ip", "filter"}).out.find("nds"), std::string::npos)
		    << "openNDS's rules are in the gateway";
		for (const auto &ns : {"client", "gateway"}) {
			SCOPED_TRACE(ns);
			RunResult guard = std::string(ns) == "client"
			                      ? lab.in_client({"nft", "list", "table", "inet", "labguard"})
			                      : lab.in_gateway({"nft", "list", "table", "inet", "labguard"});
			EXPECT_EQ(guard.status, 0) << guard.err;
		}
	}
	EXPECT_TRUE(wait_until([&] { return kill(stray, 0) != 0; }, 5000)) << "process " << stray << " outlived the lab";
	EXPECT_EQ(snapshot(), before);
}

}  // namespace

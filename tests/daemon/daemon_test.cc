// The keep-alive daemon as users meet it: the built binary started with
// -l against the fake login server, its PID file, its lines as the real
// syslog() sends them, and its answers to SIGHUP, SIGTERM, -l, -s and -o.
// Every case runs in a child that is the first process of a PID namespace
// of its own, with a /tmp and a /dev/log of its own: whatever it started
// dies with it, also when an assertion fails halfway, and the machine's
// /tmp/kavri.pid and system log are never touched.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kavri_world.h"
#include "fake_server.h"
#include "helpers.h"
#include "isolation.h"
#include "stand_in.h"
#include "syslog_sink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int INFO = (3 << 3) | 6;  // LOG_DAEMON | LOG_INFO
constexpr int ERR = (3 << 3) | 3;   // LOG_DAEMON | LOG_ERR
// "Promptly": well under the 5-second bound of any wait for the server.
constexpr double PROMPT_S = 3.5;

const std::string TMP_PID = "/tmp/kavri.pid";

int count_in(const std::string &text, const std::string &what)
{
	int n = 0;
	for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
		n++;
	return n;
}

std::string link_of(const std::string &path)
{
	char buf[PATH_MAX];
	ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
	return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

bool exited_with(int wait_status, int code)
{
	return wait_status != -1 && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code;
}

// True while `pid` holds a socket whose connect to 127.0.0.1:`port` has
// not completed (SYN_SENT in /proc/net/tcp).
bool connect_pending(pid_t pid, int port)
{
	std::set<std::string> inodes;
	std::string fds = "/proc/" + std::to_string(pid) + "/fd";
	DIR *d = opendir(fds.c_str());
	if (d == nullptr)
		return false;
	while (struct dirent *e = readdir(d)) {
		std::string l = link_of(fds + "/" + e->d_name);
		if (l.rfind("socket:[", 0) == 0)
			inodes.insert(l.substr(8, l.size() - 9));
	}
	closedir(d);
	char remote[32];
	snprintf(remote, sizeof remote, "0100007F:%04X", port);
	std::istringstream table(read_file("/proc/net/tcp"));
	std::string line;
	std::getline(table, line);  // the header
	while (std::getline(table, line)) {
		std::istringstream f(line);
		std::string slot, local, rem, state, queues, timer, retransmits, uid, timeout, inode;
		f >> slot >> local >> rem >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
		if (state == "02" && rem == remote && inodes.count(inode) > 0)
			return true;
	}
	return false;
}

// The child of this process that wrote "Aborting daemon": a daemon that
// found no path for its PID file. 0 when none did within the time.
pid_t aborted_daemon(int timeout_ms)
{
	pid_t daemon = 0;
	wait_until(
		[&] {
			for (pid_t k : children_of(getpid()))
				if (count_lines(k, "Aborting daemon") > 0)
					daemon = k;
			return daemon > 0;
		},
		timeout_ms);
	return daemon;
}

// The fake server, listening before the configuration names its port.
struct WithFakeServer {
	FakeServer server;
};

// A daemon test's world (kavri_world.h) around the fake server, with a
// pause of one minute.
struct Scene : WithFakeServer, Kavri {
	// `extra` settings come last and override the defaults.
	explicit Scene(const std::string &extra = "", const std::string &configured_pid_file = "")
		: Kavri("127.0.0.1", server.port(), "DEAMON_D = 1\n" + extra, configured_pid_file)
	{
	}
};

class Daemon : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SYSLOG_CAPTURE();
	}
};

TEST_F(Daemon, StartPublishesItsPidAndReportsTheLogin)
{
	struct Case {
		const char *name;
		std::function<void(FakeServer &)> prepare;
		int status;  // of the foreground run
		const char *login_line;
	} cases[] = {
		{"login taken", [](FakeServer &) {}, 0, "Login successful."},
		{"login not taken", [](FakeServer &s) { s.set_accept_login(false); }, 255, "Login FAILED!"},
		{"login request failed", [](FakeServer &s) { s.set_behaviour(Page::login, Behaviour::reset); }, 255,
		 "Login FAILED!"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			Scene s;
			c.prepare(s.server);
			RunResult fg;
			pid_t pid = s.start({"-v"}, &fg);
			ASSERT_GT(pid, 0);
			EXPECT_EQ(fg.status, c.status) << fg.err;
			// Buffered console lines are written once, not again by a child.
			EXPECT_EQ(count_in(fg.out, "First check, not logged in yet."), 1) << fg.out;

			EXPECT_EQ(lock_holder(s.pid_file), pid);
			EXPECT_EQ(read_file(s.pid_file), std::to_string(pid) + "\n");
			struct stat st;
			ASSERT_EQ(stat(s.pid_file.c_str(), &st), 0);
			EXPECT_EQ(st.st_mode & 07777, 0644u);

			auto lines = syslog_lines(pid);
			ASSERT_GE(lines.size(), 2u);
			EXPECT_EQ(lines[0].message, "Keep-alive daemon started, pid: " + std::to_string(pid));
			EXPECT_EQ(lines[1].message, c.login_line);
			for (int i = 0; i < 2; i++) {
				EXPECT_EQ(lines[i].priority, INFO);
				EXPECT_EQ(lines[i].ident, "kavri");
			}

			// Detached: a session and group of its own, in "/", mask 0,
			// nothing of the terminal's (or the test's pipes) kept.
			std::string proc = "/proc/" + std::to_string(pid);
			EXPECT_EQ(getsid(pid), pid);
			EXPECT_EQ(getpgid(pid), pid);
			EXPECT_EQ(link_of(proc + "/cwd"), "/");
			EXPECT_NE(read_file(proc + "/status").find("Umask:\t0000\n"), std::string::npos);
			for (int fd = 0; fd <= 2; fd++)
				EXPECT_EQ(link_of(proc + "/fd/" + std::to_string(fd)), "/dev/null") << "descriptor " << fd;
			for (const auto &e : std::filesystem::directory_iterator(proc + "/fd"))
				EXPECT_EQ(link_of(e.path()).rfind("pipe:", 0), std::string::npos) << e.path();

			// Whatever the foreground run achieved, the daemon first waits a
			// full pause.
			std::this_thread::sleep_for(std::chrono::seconds(2));
			EXPECT_EQ(s.server.count(Page::status), 1u);
			EXPECT_EQ(s.server.count(Page::login), 1u);
			EXPECT_EQ(syslog_lines(pid).size(), 2u) << joined(messages(pid));
		});
	}
}

TEST_F(Daemon, SighupInThePauseChecksAtOnce)
{
	struct Case {
		const char *name;
		const char *extra;
		bool drop_login;  // the server forgets the session first
		size_t logins;
		std::vector<std::string> lines;  // after the first two
	} cases[] = {
		{"still logged in", "", false, 0, {"Got signal(1), forcing relogin.", "Forced relogin successful."}},
		{"login lost", "", true, 1, {"Got signal(1), forcing relogin.", "Forced relogin successful."}},
		{"login lost, probing only", "DEAMON_T = ping\n", true, 0,
		 {"Got signal(1), forcing relogin.", "Forced relogin FAILED!", "Login FAILED!"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			Scene s(c.extra);
			pid_t pid = s.start();
			ASSERT_GT(pid, 0);
			ASSERT_TRUE(wait_pausing(pid));
			s.server.clear_requests();
			if (c.drop_login)
				s.server.set_logged_in(false);
			auto sent = Clock::now();
			kill(pid, SIGHUP);
			ASSERT_TRUE(syslog_wait_for(pid, "Forced relogin", 10000));
			EXPECT_LT(seconds_since(sent), PROMPT_S);
			ASSERT_TRUE(syslog_wait_for(pid, c.lines.back(), 5000));
			std::this_thread::sleep_for(std::chrono::milliseconds(500));
			auto all = messages(pid);
			std::vector<std::string> after(all.begin() + std::min<size_t>(2, all.size()), all.end());
			EXPECT_EQ(after, c.lines) << joined(all);
			EXPECT_EQ(s.server.count(Page::status), 1u);
			EXPECT_EQ(s.server.count(Page::login), c.logins);
		});
	}
}

// A SIGHUP while a probe is under way writes its line then and changes
// nothing else: the probe runs to its answer and the next pause is whole.
TEST_F(Daemon, SighupDuringAProbeOnlyWritesItsLine)
{
	RUN_ISOLATED(true, [&] {
		Scene s;
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		ASSERT_TRUE(wait_pausing(pid));
		s.server.set_behaviour(Page::status, Behaviour::delay, 3000);
		s.server.clear_requests();
		kill(pid, SIGHUP);  // ends the pause: the probe starts
		ASSERT_TRUE(s.server.wait_for(Page::status, 1, 5000));
		auto probe_began = Clock::now();
		kill(pid, SIGHUP);
		ASSERT_TRUE(wait_until([&] { return count_lines(pid, "Got signal(1), forcing relogin.") == 2; }, 2000))
			<< joined(messages(pid));
		EXPECT_EQ(count_lines(pid, "Forced relogin"), 0u) << "the line came while the probe was still waiting";

		ASSERT_TRUE(syslog_wait_for(pid, "Forced relogin", 10000));
		EXPECT_GE(seconds_since(probe_began), 2.5) << "the probe was cut short";
		EXPECT_EQ(count_lines(pid, "Forced relogin successful."), 1u) << "the delayed answer was read";

		std::this_thread::sleep_for(std::chrono::seconds(4));
		EXPECT_EQ(s.server.count(Page::status), 1u) << "the next pause was shortened";
		EXPECT_EQ(count_lines(pid, "Forced relogin"), 1u) << joined(messages(pid));
	});
}

// SIGTERM ends the daemon at once wherever its main thread is: in the
// pause, waiting for a probe's answer, or in a connect that never
// completes (a full listen queue; the connect's own bound is 5 s).
TEST_F(Daemon, SigtermEndsTheDaemonAtOnce)
{
	enum class Stage { pause, probe, connect };
	struct Case {
		const char *name;
		Stage stage;
	} cases[] = {
		{"in the pause", Stage::pause},
		{"during a probe", Stage::probe},
		{"in a connect that never completes", Stage::connect},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			// The foreground run waits out its own two connects there first.
			std::optional<FullBacklogListener> stuck;
			std::string extra;
			if (c.stage == Stage::connect) {
				stuck.emplace();
				ASSERT_TRUE(stuck->ok()) << "no listener whose connects stay pending";
				extra = "SERVER_PORT = " + std::to_string(stuck->port()) + "\n";
			}
			Scene s(extra);
			pid_t pid = s.start();
			ASSERT_GT(pid, 0);
			ASSERT_TRUE(wait_pausing(pid));
			if (c.stage == Stage::probe) {
				s.server.set_behaviour(Page::status, Behaviour::delay, 30000);
				s.server.clear_requests();
				kill(pid, SIGHUP);
				ASSERT_TRUE(s.server.wait_for(Page::status, 1, 5000));
			}
			if (c.stage == Stage::connect) {
				kill(pid, SIGHUP);
				ASSERT_TRUE(wait_until([&] { return connect_pending(pid, stuck->port()); }, 5000))
					<< "the daemon's probe did not start connecting";
			}
			auto sent = Clock::now();
			kill(pid, SIGTERM);
			int st = reap_within(pid, 10000);
			EXPECT_LT(seconds_since(sent), PROMPT_S);
			EXPECT_TRUE(exited_with(st, 0)) << "wait status " << st;
			// The line may still be on its way to the capture when the daemon is gone.
			EXPECT_TRUE(syslog_wait_for(pid, "Got signal(15), quitting.", 2000)) << joined(messages(pid));
			EXPECT_EQ(count_lines(pid, "Got signal(15), quitting."), 1u) << joined(messages(pid));
			EXPECT_EQ(count_lines(pid, "Forced relogin"), 0u);
			EXPECT_FALSE(file_exists(s.pid_file)) << "the daemon leaves its PID file behind";
		});
	}
}

// On SIGTERM the daemon removes only the file it holds: one that has taken
// its place at the path (removed and written anew by someone else) stays.
TEST_F(Daemon, SigtermLeavesAFileThatIsNotItsOwn)
{
	RUN_ISOLATED(true, [&] {
		Scene s;
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		ASSERT_EQ(unlink(s.pid_file.c_str()), 0);
		write_file(s.pid_file, "4321\n");
		kill(pid, SIGTERM);
		EXPECT_TRUE(exited_with(reap_within(pid, 10000), 0));
		EXPECT_EQ(read_file(s.pid_file), "4321\n");
	});
}

// A storm of 1,000 SIGHUPs: the daemon lives through it and writes only
// whole lines of its own, every forced pass was set off by a signal and
// probed once, and afterwards its pauses are whole again (one minute: no
// probe for seconds). SIGTERM still ends it. Sent as fast as kill() goes,
// most signals merge into one pending signal; sent a little apart, the
// daemon takes hundreds, during its pauses and its probes alike.
TEST_F(Daemon, SighupStormLeavesTheDaemonWhole)
{
	for (int gap_us : {0, 200}) {
		SCOPED_TRACE(gap_us == 0 ? "as fast as possible" : "200 microseconds apart");
		RUN_ISOLATED(true, [&] {
			Scene s;
			pid_t pid = s.start();
			ASSERT_GT(pid, 0);
			ASSERT_TRUE(wait_pausing(pid));
			s.server.clear_requests();
			for (int i = 0; i < 1000; i++) {
				ASSERT_EQ(kill(pid, SIGHUP), 0) << "SIGHUP number " << i + 1 << ": " << strerror(errno);
				if (gap_us > 0)
					std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
			}

			// Over once a second passes without a new line.
			size_t before = 0, now = messages(pid).size();
			for (int i = 0; i < 30 && now != before; i++) {
				before = now;
				std::this_thread::sleep_for(std::chrono::seconds(1));
				now = messages(pid).size();
			}
			ASSERT_EQ(now, before) << "still writing after 30 s";
			ASSERT_TRUE(wait_pausing(pid));
			char state = process_state(pid);
			ASSERT_TRUE(state != 0 && state != 'Z') << "the daemon died in the storm";

			const std::set<std::string> known = {
				"Keep-alive daemon started, pid: " + std::to_string(pid),
				"Login successful.",
				"Got signal(1), forcing relogin.",
				"Forced relogin successful.",
			};
			for (const auto &l : syslog_lines(pid)) {
				EXPECT_EQ(known.count(l.message), 1u) << "not a whole line of the daemon's: \"" << l.message << '"';
				EXPECT_EQ(l.priority, INFO) << l.message;
				EXPECT_EQ(l.ident, "kavri") << l.message;
			}
			size_t taken = count_lines(pid, "Got signal(1), forcing relogin.");
			size_t forced = count_lines(pid, "Forced relogin successful.");
			EXPECT_GE(forced, 1u);
			EXPECT_LE(forced, taken);
			EXPECT_EQ(s.server.count(Page::status), forced) << "one probe per forced pass";
			EXPECT_EQ(s.server.count(Page::login), 0u);

			s.server.clear_requests();
			std::this_thread::sleep_for(std::chrono::seconds(3));
			EXPECT_EQ(s.server.count(Page::status), 0u) << "the pause after the storm was cut short";
			EXPECT_EQ(messages(pid).size(), now);

			auto sent = Clock::now();
			kill(pid, SIGTERM);
			int st = reap_within(pid, 10000);
			EXPECT_LT(seconds_since(sent), PROMPT_S);
			EXPECT_TRUE(exited_with(st, 0)) << "wait status " << st;
			// The line may still be on its way to the capture when the daemon is gone.
			EXPECT_TRUE(syslog_wait_for(pid, "Got signal(15), quitting.", 2000)) << joined(messages(pid));
			EXPECT_EQ(count_lines(pid, "Got signal(15), quitting."), 1u);
		});
	}
}

// With no pause the passes follow one another; a login that the server
// drops is taken up again by the next pass, unless the daemon only probes.
TEST_F(Daemon, WithoutPauseTheNextPassNoticesALostLogin)
{
	struct Case {
		const char *name;
		const char *extra;
		bool posts;
		std::vector<const char *> lines;
	} cases[] = {
		{"login type", "", true, {"Daemon logging in again.", "Periodic relogin OK."}},
		{"ping type", "DEAMON_T = ping\n", false, {"Periodic relogin FAILED.", "Login FAILED!"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			Scene s(std::string("DEAMON_D = 0\n") + c.extra);
			pid_t pid = s.start({"-v"});
			ASSERT_GT(pid, 0);
			ASSERT_TRUE(syslog_wait_for(pid, "Periodic relogin OK.", 5000)) << joined(messages(pid));
			EXPECT_EQ(count_lines(pid, "Daemon logging in again."), 0u);
			s.server.clear_requests();
			s.server.set_logged_in(false);
			if (c.posts) {
				EXPECT_TRUE(s.server.wait_for(Page::login, 1, 5000));
			} else {
				// Passes begin at least a second apart.
				ASSERT_TRUE(s.server.wait_for(Page::status, 3, 5000));
				EXPECT_EQ(s.server.count(Page::login), 0u);
			}
			for (const char *line : c.lines)
				EXPECT_TRUE(syslog_wait_for(pid, line, 5000)) << line << "\n" << joined(messages(pid));
			kill(pid, SIGKILL);
		});
	}
}

TEST_F(Daemon, SecondLoginSignalsTheRunningDaemonOnce)
{
	RUN_ISOLATED(true, [&] {
		Scene s;
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		ASSERT_TRUE(wait_pausing(pid));
		s.server.clear_requests();
		RunResult r = s.run({"-l", "-v"});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_NE(r.out.find("Already running on pid " + std::to_string(pid) + ", forcing relogin."), std::string::npos)
			<< r.out;
		ASSERT_TRUE(syslog_wait_for(pid, "Forced relogin successful.", 10000)) << joined(messages(pid));
		std::this_thread::sleep_for(std::chrono::seconds(1));
		EXPECT_EQ(count_lines(pid, "Got signal(1)"), 1u);
		EXPECT_EQ(count_lines(pid, "Forced relogin"), 1u);
		// One probe, the daemon's: the foreground run asked nothing.
		EXPECT_EQ(s.server.count(Page::status), 1u);
		EXPECT_EQ(s.server.count(Page::login), 0u);
		EXPECT_EQ(read_file(s.pid_file), std::to_string(pid) + "\n");
		std::vector<pid_t> running;
		for (pid_t k : children_of(getpid()))
			if (process_state(k) != 'Z')
				running.push_back(k);
		EXPECT_EQ(running, std::vector<pid_t>{pid}) << "no second daemon";
	});
}

TEST_F(Daemon, StatusReportsTheDaemonsPid)
{
	RUN_ISOLATED(true, [&] {
		Scene s;
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		RunResult quiet = s.run({"-s"});
		EXPECT_EQ(quiet.status, pid % 256);
		EXPECT_EQ(quiet.out, "");
		EXPECT_EQ(quiet.err, "");
		RunResult verbose = s.run({"-s", "-v"});
		EXPECT_EQ(verbose.status, pid % 256);
		EXPECT_NE(verbose.out.find("Current status: CONNECTED"), std::string::npos) << verbose.out;
		EXPECT_NE(verbose.out.find("Login daemon running with PID = " + std::to_string(pid) + "\n"), std::string::npos)
			<< verbose.out;
	});
}

TEST_F(Daemon, LogoutStopsTheDaemonAndLogsOut)
{
	struct Case {
		const char *name;
		Behaviour logout;
		int status;
	} cases[] = {
		{"logout confirmed", Behaviour::normal, 0},
		{"logout not confirmed", Behaviour::garbage, 255},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			Scene s;
			pid_t pid = s.start();
			ASSERT_GT(pid, 0);
			s.server.set_behaviour(Page::logout, c.logout);
			RunResult r = s.run({"-o"});
			EXPECT_EQ(r.status, c.status) << r.err;
			EXPECT_TRUE(exited_with(reap_within(pid, 5000), 0)) << "the daemon ended by SIGTERM";
			// The line may still be on its way to the capture when the daemon is gone.
			EXPECT_TRUE(syslog_wait_for(pid, "Got signal(15), quitting.", 2000)) << joined(messages(pid));
			EXPECT_EQ(count_lines(pid, "Got signal(15), quitting."), 1u) << joined(messages(pid));
			EXPECT_FALSE(file_exists(s.pid_file));
			EXPECT_EQ(s.server.count(Page::logout), 1u);
			EXPECT_EQ(r.err.find("No active session found"), std::string::npos) << r.err;
		});
	}
}

// A configured path that cannot be written (its directory is missing; the
// tests run as root, whom permission bits do not stop) sends the daemon to
// /tmp/kavri.pid, where later runs find it. -o removes the configured path
// only, so the fallback file stays.
TEST_F(Daemon, UnwritablePathFallsBackToTmp)
{
	RUN_ISOLATED(true, [&] {
		TempDir where;
		Scene s("", where.file("gone/kavri.pid"));
		s.pid_file = TMP_PID;
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		EXPECT_EQ(read_file(TMP_PID), std::to_string(pid) + "\n");
		EXPECT_EQ(lock_holder(TMP_PID), pid);
		EXPECT_EQ(s.run({"-s"}).status, pid % 256);
		RunResult r = s.run({"-o"});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_TRUE(exited_with(reap_within(pid, 5000), 0));
		// The stopped daemon took its file with it: the next login finds
		// nothing to call stale.
		EXPECT_FALSE(file_exists(TMP_PID));
		RunResult again = s.run({"-l", "-v"});
		EXPECT_EQ(again.status, 0) << again.err;
		EXPECT_EQ(again.err.find("stale"), std::string::npos) << again.err;
		EXPECT_EQ(again.out.find("Already running"), std::string::npos) << again.out;
	});
}

// The children of this process that are still running (the daemons, as it
// is their subreaper), and those that ended without being reaped.
void daemons_of_this_round(std::vector<pid_t> *running, std::vector<pid_t> *ended)
{
	running->clear();
	ended->clear();
	for (pid_t k : children_of(getpid())) {
		char state = process_state(k);
		if (state == 'Z')
			ended->push_back(k);
		else if (state != 0)
			running->push_back(k);
	}
}

// Two -l started together leave one daemon, however their steps
// interleave: a run never removes a PID file that a daemon holds, and a
// daemon that finds the lock taken ends with one line. -o then stops it.
TEST_F(Daemon, SimultaneousLoginsLeaveOneDaemon)
{
	RUN_ISOLATED(true, [&] {
		for (int round = 1; round <= 20; round++) {
			SCOPED_TRACE("round " + std::to_string(round));
			Scene s;
			RunResult a, b;
			std::thread other([&] { b = s.run({"-l"}); });
			a = s.run({"-l"});
			other.join();
			EXPECT_EQ(a.status, 0) << a.err;
			EXPECT_EQ(b.status, 0) << b.err;
			pid_t pid = wait_for_daemon(s.pid_file, a);
			ASSERT_GT(pid, 0);

			// Settled once every daemon has written its "Login" line or ended.
			std::vector<pid_t> running, ended;
			ASSERT_TRUE(wait_until(
				[&] {
					daemons_of_this_round(&running, &ended);
					for (pid_t k : running)
						if (!syslog_wait_for(k, "Login ", 0))
							return false;
					return true;
				},
				10000));
			ASSERT_EQ(running, std::vector<pid_t>{pid}) << "daemons running: " << running.size();
			for (pid_t k : ended) {
				auto lines = messages(k);
				if (lines.empty())
					continue;  // an intermediate process of a foreground run
				EXPECT_EQ(lines, std::vector<std::string>{"Cannot lock PID file for PID(" + std::to_string(k) + "), " +
				                                          s.pid_file + ": another process holds it"});
			}

			RunResult r = s.run({"-o"});
			EXPECT_EQ(r.status, 0) << r.err;
			EXPECT_TRUE(exited_with(reap_within(pid, 5000), 0));
			EXPECT_FALSE(file_exists(s.pid_file));
		}
	});
}

// A PID file whose lock another process holds, but which names no daemon
// (here, it holds no number yet): the run logs in and leaves the file
// alone; its daemon cannot take the lock and ends with one line and the
// foreground's result.
TEST_F(Daemon, LockedFileIsNeverRemovedAndItsDaemonEnds)
{
	RUN_ISOLATED(true, [&] {
		Scene s;
		write_file(s.pid_file, "");
		StandIn holder(s.pid_file, {.write_pid = false});
		ASSERT_GT(holder.pid(), 0);
		RunResult fg = s.run({"-l"});
		EXPECT_EQ(fg.status, 0) << fg.err;
		EXPECT_EQ(fg.out, "");
		EXPECT_EQ(fg.err, "");
		pid_t daemon = 0;
		ASSERT_TRUE(wait_until(
			[&] {
				for (pid_t k : children_of(getpid()))
					if (k != holder.pid() && count_lines(k, "Cannot lock PID file") > 0)
						daemon = k;
				return daemon > 0;
			},
			10000))
			<< "no daemon wrote that it cannot take the lock";
		EXPECT_TRUE(exited_with(reap_within(daemon, 5000), 0));
		auto lines = syslog_lines(daemon);
		ASSERT_EQ(lines.size(), 1u);
		EXPECT_EQ(lines[0].message,
		          "Cannot lock PID file for PID(" + std::to_string(daemon) + "), " + s.pid_file + ": another process holds it");
		EXPECT_EQ(lines[0].priority, ERR);
		EXPECT_EQ(lock_holder(s.pid_file), holder.pid()) << "the holder's file was replaced";
	});
}

// No path can be written: the configured one has no directory, a link is
// planted at /tmp/kavri.pid (its target must stay as it is), and "~/kavri.pid"
// resolves against "/" in the daemon, where there is no "~". Both error
// lines reach the system log, also from a daemon started with -v, and the
// daemon ends with the foreground run's login result.
TEST_F(Daemon, NothingWritableEndsTheDaemon)
{
	if (access("/~", F_OK) == 0)
		GTEST_SKIP() << "this machine has a directory /~, where the daemon could write";
	struct Case {
		const char *name;
		std::vector<std::string> args;
		bool login_fails;
		int status;  // of the foreground run and of the daemon
	} cases[] = {
		{"quiet", {}, false, 0},
		{"verbose", {"-v"}, false, 0},
		{"after a failed login", {}, true, 255},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			TempDir where;
			Scene s("", where.file("gone/kavri.pid"));
			std::string target = s.dir.file("precious");
			write_file(target, "keep me\n");
			ASSERT_EQ(symlink(target.c_str(), TMP_PID.c_str()), 0);
			if (c.login_fails)
				s.server.set_behaviour(Page::login, Behaviour::reset);
			std::vector<std::string> args = {"-l"};
			args.insert(args.end(), c.args.begin(), c.args.end());
			RunResult fg = s.run(args);
			EXPECT_EQ(fg.status, c.status);

			pid_t daemon = aborted_daemon(10000);
			ASSERT_GT(daemon, 0) << "no daemon wrote its error lines";
			EXPECT_TRUE(exited_with(reap_within(daemon, 5000), c.status));
			auto lines = syslog_lines(daemon);
			ASSERT_EQ(lines.size(), 2u);
			EXPECT_EQ(lines[0].message,
			          "Cannot write PID(" + std::to_string(daemon) + ") to file, ~/kavri.pid: No such file or directory");
			EXPECT_EQ(lines[1].message, "Aborting daemon - cannot communicate PID to outside world.");
			EXPECT_EQ(lines[0].priority, ERR);
			EXPECT_EQ(lines[1].priority, ERR);
			EXPECT_EQ(read_file(target), "keep me\n");
		});
	}
}

// A link or a pipe at a PID file path is never written through, whether
// root or an unprivileged user runs kavri. Planted at the configured path,
// in a directory the runner cannot change (read-only for root, another
// user's for the unprivileged one), it outlives the foreground's removal
// of the old file, and the daemon falls back to /tmp/kavri.pid; there the
// link and the pipe are the runner's own, so that only their kind can
// turn the daemon away. Planted at /tmp/kavri.pid by another user while
// the configured path has no
// directory, it leaves the daemon no path ("~/kavri.pid" resolves in "/"),
// and the daemon ends at once. A pipe must not make it hang, with or
// without a reader; what a link leads to stays byte for byte as it was.
TEST_F(Daemon, LinkOrPipeAtThePidPathIsNeverWritten)
{
	if (geteuid() != 0)
		SKIP_OR_FAIL("planting files of other users and running as one need root");
	if (access("/~", F_OK) == 0)
		GTEST_SKIP() << "this machine has a directory /~, where the daemon could write";
	enum class Plant { symlink, hard_link, fifo, fifo_with_reader };
	const char *plant_names[] = {"symbolic link", "hard link", "named pipe", "named pipe with a reader"};
	for (uid_t runner : {static_cast<uid_t>(0), NOBODY})
		for (bool at_tmp : {false, true})
			for (Plant plant : {Plant::symlink, Plant::hard_link, Plant::fifo, Plant::fifo_with_reader}) {
				// Root and a link at /tmp: NothingWritableEndsTheDaemon.
				if (runner == 0 && at_tmp && plant == Plant::symlink)
					continue;
				SCOPED_TRACE(std::string(plant_names[static_cast<int>(plant)]) + (at_tmp ? " at /tmp" : " at the configured path") +
				             (runner == 0 ? ", run by root" : ", run by nobody"));
				RUN_ISOLATED(true, [&] {
					TempDir where;
					ASSERT_EQ(chmod(where.path().c_str(), 0755), 0);
					std::string locked = where.file("locked");
					std::string configured = at_tmp ? where.file("gone/kavri.pid") : locked + "/kavri.pid";
					Scene s("", configured);
					if (runner != 0)
						s.run_as(runner);
					std::string target = s.dir.file("precious");
					write_file(target, "precious\n");
					give_to(runner, {target});

					std::string at = at_tmp ? TMP_PID : configured;
					uid_t owner = at_tmp ? STRANGER : runner;
					ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
					switch (plant) {
					case Plant::symlink:
						ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
						give_to(owner, {at});
						break;
					case Plant::hard_link:  // the runner's own file under a second name
						ASSERT_EQ(link(target.c_str(), at.c_str()), 0);
						break;
					case Plant::fifo:
					case Plant::fifo_with_reader:
						ASSERT_EQ(mkfifo(at.c_str(), 0666), 0);
						ASSERT_EQ(chmod(at.c_str(), 0666), 0);
						give_to(owner, {at});
						break;
					}
					int reader = -1;
					if (plant == Plant::fifo_with_reader) {
						reader = open(at.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
						ASSERT_GE(reader, 0) << strerror(errno);
					}
					if (!at_tmp && runner == 0) {
						ASSERT_EQ(mount(locked.c_str(), locked.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
						ASSERT_EQ(mount(nullptr, locked.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
							<< strerror(errno);
					}

					if (at_tmp) {
						RunResult fg = s.run({"-l"});
						EXPECT_EQ(fg.status, 0) << fg.err;
						auto returned = Clock::now();
						pid_t daemon = aborted_daemon(10000);
						ASSERT_GT(daemon, 0) << "no daemon gave up";
						EXPECT_TRUE(exited_with(reap_within(daemon, 5000), 0));
						EXPECT_LT(seconds_since(returned), PROMPT_S);
						EXPECT_EQ(count_lines(daemon, "Cannot write PID(" + std::to_string(daemon) +
						                                  ") to file, ~/kavri.pid: No such file or directory"),
						          1u)
							<< joined(messages(daemon));
					} else {
						s.pid_file = TMP_PID;
						pid_t pid = s.start();
						ASSERT_GT(pid, 0);
						EXPECT_EQ(lock_holder(TMP_PID), pid);
					}

					EXPECT_EQ(read_file(target), "precious\n");
					struct stat st, target_st;
					ASSERT_EQ(lstat(at.c_str(), &st), 0) << "the planted name is gone";
					ASSERT_EQ(stat(target.c_str(), &target_st), 0);
					switch (plant) {
					case Plant::symlink:
						EXPECT_EQ(link_of(at), target);
						break;
					case Plant::hard_link:
						EXPECT_EQ(st.st_ino, target_st.st_ino);
						EXPECT_EQ(target_st.st_nlink, 2u);
						break;
					case Plant::fifo:
					case Plant::fifo_with_reader:
						EXPECT_TRUE(S_ISFIFO(st.st_mode));
						break;
					}
					if (reader >= 0) {
						char c;
						EXPECT_LE(read(reader, &c, 1), 0) << "bytes were written into the pipe";
						close(reader);
					}
					if (!at_tmp && runner == 0)
						umount(locked.c_str());
				});
			}
}

// The pause is daemon_delay * 60 seconds in unsigned 32-bit arithmetic: a
// negative or huge delay gives a long pause, without an overflow that the
// sanitizers would report, and SIGHUP still ends it.
TEST_F(Daemon, PauseLengthWrapsWithoutOverflow)
{
	for (const char *delay : {"-1", "71582789", "2147483647"}) {
		SCOPED_TRACE(delay);
		RUN_ISOLATED(true, [&] {
			Scene s(std::string("DEAMON_D = ") + delay + "\n");
			pid_t pid = s.start();
			ASSERT_GT(pid, 0);
			ASSERT_TRUE(wait_pausing(pid));
			s.server.clear_requests();
			std::this_thread::sleep_for(std::chrono::seconds(1));
			EXPECT_EQ(s.server.count(Page::status), 0u);
			kill(pid, SIGHUP);
			EXPECT_TRUE(syslog_wait_for(pid, "Forced relogin successful.", 10000)) << joined(messages(pid));
		});
	}
}

}  // namespace

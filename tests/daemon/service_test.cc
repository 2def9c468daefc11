// What the daemon tells about itself, as a service manager and scripts
// meet it: the built binary started with -l against the fake login
// server, with NOTIFY_SOCKET naming a receiver of the test's, a STATE_FILE
// read as JSON after each step, and an ON_CHANGE program that records
// what it was given. Every case runs in a child that is process 1 of a
// PID namespace of its own, with a /tmp and a /dev/log of its own.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_server.h"
#include "flat_json.h"
#include "helpers.h"
#include "isolation.h"
#include "kavri_world.h"
#include "notify_receiver.h"
#include "syslog_sink.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = std::map<std::string, JsonValue>;

const std::string LOGGED_IN = R"(STATUS=Logged in at 127\.0\.0\.1; last check \d\d:\d\d:\d\d, next by \d\d:\d\d:\d\d)";

// "2026-12-10T10:05:12Z" as seconds since the epoch; -1 for anything else.
time_t utc(const JsonValue &v)
{
	struct tm t = {};
	const char *end = strptime(v.text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &t);
	if (v.kind != JsonValue::string || end == nullptr || *end != '\0')
		return -1;
	return timegm(&t);
}

// Every thread's CPU ticks and context switches, from /proc.
struct Activity {
	long ticks = 0;
	long switches = 0;
};

Activity activity_of(pid_t pid)
{
	Activity a;
	std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
	std::istringstream in(stat.substr(stat.rfind(')') + 2));
	std::string field;
	for (int i = 3; in >> field && i <= 15; i++)
		if (i == 14 || i == 15)
			a.ticks += atol(field.c_str());
	std::string tasks = "/proc/" + std::to_string(pid) + "/task";
	DIR *d = opendir(tasks.c_str());
	while (d != nullptr) {
		struct dirent *e = readdir(d);
		if (e == nullptr)
			break;
		if (e->d_name[0] == '.')
			continue;
		std::istringstream st(read_file(tasks + "/" + e->d_name + "/status"));
		std::string line;
		while (std::getline(st, line))
			if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
				a.switches += atol(line.substr(line.find(':') + 1).c_str());
	}
	if (d != nullptr)
		closedir(d);
	return a;
}

// The fake server, listening before the configuration names its port.
struct WithFakeServer {
	FakeServer server;
};

// A daemon test's world (kavri_world.h) around the fake server, with a
// pause of one minute and, with `with_state`, the daemon's state in
// `state_file`.
struct Scene : WithFakeServer, Kavri {
	std::string state_file = dir.file("state.json");

	explicit Scene(const std::string &extra, bool with_state = false)
		: Kavri("127.0.0.1", server.port(), "DEAMON_D = 1\n" + extra)
	{
		if (with_state)
			write_file(conf, read_file(conf) + "STATE_FILE = " + state_file + "\n");
	}

	// -l from a shell that names its own PID in WATCHDOG_PID, as the
	// service manager does, and then becomes kavri; the daemon it leaves,
	// or 0.
	pid_t start_with_own_pid()
	{
		RunOptions o;
		o.env = sanitizer_env(san);
		for (const auto &[name, value] : env)
			o.env[name] = value;
		o.cwd = dir.path();
		RunResult fg =
			run_program({"-c", "WATCHDOG_PID=$$ exec \"$0\" -l -c \"$1\"", KAVRI_BINARY, conf}, o, "/bin/sh");
		return wait_for_daemon(pid_file, fg);
	}

	// The state file as JSON; empty, with a failure, when it is not.
	Json state() const
	{
		Json j;
		std::string why, text = read_file(state_file);
		if (!parse_flat_json(text, &j, &why))
			ADD_FAILURE() << "state file is no JSON object: " << why << "\n" << text;
		return j;
	}
};

class Service : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SYSLOG_CAPTURE();
	}
};

// The messages of one life, exactly: READY=1 with the daemon as the main
// process and its first status line; a status line after each check, and
// one more while it logs in again after a lost session; STOPPING=1 on
// SIGTERM. The state file after each step.
TEST_F(Service, TellsTheServiceManagerEachStep)
{
	for (bool abstract : {false, true}) {
		SCOPED_TRACE(abstract ? "abstract name" : "path");
		RUN_ISOLATED(true, [&] {
			Scene s("", true);
			NotifyReceiver manager(abstract ? "@kavri-test-" + std::to_string(getpid()) : s.dir.file("notify"));
			ASSERT_TRUE(manager.ok()) << strerror(errno);
			s.env["NOTIFY_SOCKET"] = manager.name();
			pid_t pid = s.start();
			ASSERT_GT(pid, 0);

			// Start.
			ASSERT_TRUE(manager.wait_for_texts(1, 5000));
			auto texts = manager.texts();
			EXPECT_TRUE(std::regex_match(texts[0], std::regex("READY=1\nMAINPID=" + std::to_string(pid) + "\n" + LOGGED_IN)))
				<< texts[0];
			Json j = s.state();
			EXPECT_EQ(j["schema"].text, "1");
			EXPECT_EQ(j["state"].text, "logged_in");
			EXPECT_EQ(j["last_check_reason"].text, "start");
			EXPECT_EQ(j["server"].text, "127.0.0.1");
			EXPECT_EQ(j["port"].text, std::to_string(s.server.port()));
			EXPECT_EQ(j["interface"].kind, JsonValue::null);
			EXPECT_EQ(j["pid"].text, std::to_string(pid));
			EXPECT_EQ("kavri version " + j["version"].text + "\n", run_program({"--version"}).out);
			EXPECT_EQ(utc(j["since"]), utc(j["last_check"]));
			EXPECT_LE(std::abs(utc(j["last_check"]) - time(nullptr)), 5);
			EXPECT_EQ(utc(j["next_check_by"]) - utc(j["last_check"]), 60) << "DEAMON_D = 1";
			struct stat st;
			ASSERT_EQ(stat(s.state_file.c_str(), &st), 0);
			EXPECT_EQ(st.st_mode & 07777, 0644u);
			const time_t began = utc(j["since"]);

			// The session is lost; SIGHUP: noticed, and a new login.
			ASSERT_TRUE(wait_pausing(pid));
			std::this_thread::sleep_for(std::chrono::milliseconds(1100));
			s.server.set_logged_in(false);
			kill(pid, SIGHUP);
			ASSERT_TRUE(manager.wait_for_texts(3, 10000)) << joined(manager.texts());
			texts = manager.texts();
			EXPECT_EQ(texts[1], "STATUS=Not logged in: session lost; logging in again");
			EXPECT_TRUE(std::regex_match(texts[2], std::regex(LOGGED_IN))) << texts[2];
			EXPECT_TRUE(s.server.logged_in());
			j = s.state();
			EXPECT_EQ(j["state"].text, "logged_in");
			EXPECT_EQ(j["last_check_reason"].text, "forced");
			EXPECT_GE(utc(j["since"]), began);
			EXPECT_EQ(utc(j["since"]), utc(j["last_check"])) << "a new login: a new since";
			const time_t relogged = utc(j["since"]);

			// SIGHUP, still logged in: one status line, the state unchanged.
			ASSERT_TRUE(wait_pausing(pid));
			std::this_thread::sleep_for(std::chrono::milliseconds(1100));
			kill(pid, SIGHUP);
			ASSERT_TRUE(manager.wait_for_texts(4, 10000)) << joined(manager.texts());
			EXPECT_TRUE(std::regex_match(manager.texts()[3], std::regex(LOGGED_IN))) << manager.texts()[3];
			ASSERT_TRUE(syslog_wait_for(pid, "Forced relogin successful.", 5000));
			j = s.state();
			EXPECT_EQ(j["state"].text, "logged_in");
			EXPECT_EQ(utc(j["since"]), relogged);
			EXPECT_EQ(j["last_check_reason"].text, "forced");

			// SIGTERM.
			ASSERT_TRUE(wait_pausing(pid));
			kill(pid, SIGTERM);
			int status = reap_within(pid, 10000);
			EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
			ASSERT_TRUE(manager.wait_for_texts(5, 5000));
			std::this_thread::sleep_for(std::chrono::milliseconds(200));
			texts = manager.texts();
			ASSERT_EQ(texts.size(), 5u) << joined(texts);
			EXPECT_EQ(texts[4], "STOPPING=1");
			EXPECT_FALSE(file_exists(s.state_file)) << "a stopped daemon leaves no state behind";
			for (const auto &m : manager.messages()) {
				EXPECT_EQ(m.sender, pid) << m.text;
				EXPECT_NE(m.text, "WATCHDOG=1") << "no watchdog was asked for";
			}
			EXPECT_TRUE(syslog_wait_for(pid, "Got signal(15), quitting.", 2000));
			EXPECT_EQ(count_lines(pid, "Got signal(15), quitting."), 1u);
		});
	}
}

// WATCHDOG_USEC asks for a ping at half its interval, unless WATCHDOG_PID
// names another process than the one the service manager started.
TEST_F(Service, PingsTheWatchdogThatIsItsOwn)
{
	struct Case {
		const char *name;
		const char *usec;  // or unset
		const char *pid;   // or unset; "own": the started process's
		bool pings;
	} cases[] = {
		{"WATCHDOG_USEC alone", "200000", nullptr, true},
		{"WATCHDOG_PID of the started process", "200000", "own", true},
		{"WATCHDOG_PID of another process", "200000", "1", false},
		{"no WATCHDOG_USEC", nullptr, nullptr, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			Scene s("");
			NotifyReceiver manager(s.dir.file("notify"));
			ASSERT_TRUE(manager.ok());
			s.env["NOTIFY_SOCKET"] = manager.name();
			if (c.usec != nullptr)
				s.env["WATCHDOG_USEC"] = c.usec;
			if (c.pid != nullptr && std::string(c.pid) != "own")
				s.env["WATCHDOG_PID"] = c.pid;
			bool own = c.pid != nullptr && std::string(c.pid) == "own";
			pid_t pid = own ? s.start_with_own_pid() : s.start();
			ASSERT_GT(pid, 0);
			ASSERT_TRUE(manager.wait_for_texts(1, 5000));
			std::this_thread::sleep_for(std::chrono::milliseconds(300));
			auto from = Clock::now();
			std::this_thread::sleep_for(std::chrono::seconds(2));
			auto to = Clock::now();
			int pings = 0;
			for (const auto &m : manager.messages())
				if (m.text == "WATCHDOG=1" && m.at >= from && m.at < to) {
					pings++;
					EXPECT_EQ(m.sender, pid);
				}
			if (c.pings)
				EXPECT_GE(pings, 8) << "at least 4 a second over 2 s";
			else
				EXPECT_EQ(manager.count("WATCHDOG=1"), 0u);
			EXPECT_EQ(manager.texts().size(), 1u) << joined(manager.texts());
		});
	}
}

// With all of it set but no watchdog, a daemon in its pause does nothing
// at all: no CPU tick and no context switch in 20 s.
// ThreadSanitizer's runtime keeps a thread of its own in the daemon that
// wakes ten times a second; a daemon that polled would still be far above
// what it alone costs.
#if defined(__SANITIZE_THREAD__)
constexpr long IDLE_TICKS_ALLOWED = 20;
constexpr long IDLE_SWITCHES_ALLOWED = 1000;
#else
constexpr long IDLE_TICKS_ALLOWED = 0;
constexpr long IDLE_SWITCHES_ALLOWED = 0;
#endif

TEST_F(Service, IdleDaemonStaysAsleep)
{
	RUN_ISOLATED(true, [&] {
		Scene s("DEAMON_D = 5\nON_CHANGE = /bin/true\n", true);
		NotifyReceiver manager(s.dir.file("notify"));
		ASSERT_TRUE(manager.ok());
		s.env["NOTIFY_SOCKET"] = manager.name();
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		ASSERT_TRUE(syslog_wait_for(pid, "ON_CHANGE /bin/true: exit status 0", 5000)) << joined(messages(pid));
		ASSERT_TRUE(wait_pausing(pid));
		Activity before = activity_of(pid);
		std::this_thread::sleep_for(std::chrono::seconds(20));
		Activity after = activity_of(pid);
		EXPECT_LE(after.ticks - before.ticks, IDLE_TICKS_ALLOWED) << "CPU ticks";
		EXPECT_LE(after.switches - before.switches, IDLE_SWITCHES_ALLOWED) << "context switches";
		EXPECT_EQ(manager.messages().size(), 1u);
	});
}

// A reader that polls the state file all along while the daemon checks
// every second, and the server drops the login now and then, always finds
// one whole JSON object.
TEST_F(Service, StateFileIsAlwaysWhole)
{
	RUN_ISOLATED(true, [&] {
		Scene s("DEAMON_D = 0\n", true);
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		ASSERT_TRUE(wait_until([&] { return file_exists(s.state_file); }, 5000));
		std::atomic<bool> stop{false};
		std::atomic<long> reads{0};
		std::set<std::string> seen;
		std::string bad;
		std::thread reader([&] {
			while (!stop && bad.empty()) {
				std::string text = read_file(s.state_file);
				Json j;
				std::string why;
				if (!parse_flat_json(text, &j, &why))
					bad = why + "\n" + text;
				seen.insert(j["last_check"].text + j["state"].text);
				reads++;
			}
		});
		for (int round = 0; round < 4; round++) {
			std::this_thread::sleep_for(std::chrono::seconds(3));
			s.server.set_logged_in(false);
		}
		stop = true;
		reader.join();
		EXPECT_EQ(bad, "") << "after " << reads << " reads";
		EXPECT_GE(seen.size(), 8u) << "the file was replaced at each check";
		EXPECT_GE(s.server.count(Page::login), 4u);
	});
}

// The program records each run: its variables, whether the service
// manager's reached it, and its end, a while later, so that a run that
// overlapped another would show.
std::string recording_program(const TempDir &dir, const std::string &record)
{
	std::string path = dir.file("on-change");
	write_file(path, "#!/bin/sh\n"
	                 "{ echo run; env | grep '^KAVRI_' | sort; echo \"NOTIFY_SOCKET=${NOTIFY_SOCKET-unset}\";\n"
	                 "  echo \"stdin=$(cat)\"; } >>" + record + "\n"
	                 "echo \"first line $KAVRI_STATE\"\necho second line\n"
	                 "sleep 0.3\necho end >>" + record + "\n");
	chmod(path.c_str(), 0755);
	return path;
}

std::string run_record(const char *state, const char *previous, const char *reason)
{
	return std::string("run\nKAVRI_INTERFACE=lo\nKAVRI_PREVIOUS_STATE=") + previous + "\nKAVRI_REASON=" + reason +
	       "\nKAVRI_SERVER=127.0.0.1\nKAVRI_STATE=" + state + "\nNOTIFY_SOCKET=unset\nstdin=\nend\n";
}

// Each change runs the program once, with its variables, one run after
// the other (a lost login and the new one come while the first still
// runs); a check that changes nothing runs nothing.
TEST_F(Service, OnChangeRunsOncePerChange)
{
	RUN_ISOLATED(true, [&] {
		TempDir work;
		std::string record = work.file("record");
		std::string program = recording_program(work, record);
		Scene s("INTERFACE = lo\nON_CHANGE = " + program + "\n");
		NotifyReceiver manager(s.dir.file("notify"));
		s.env["NOTIFY_SOCKET"] = manager.name();
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		auto runs = [&] { return count_lines(pid, "ON_CHANGE " + program + ": exit status 0: first line "); };
		auto sighup = [&] {
			EXPECT_TRUE(wait_pausing(pid));
			std::this_thread::sleep_for(std::chrono::milliseconds(1100));
			size_t forced = count_lines(pid, "Forced relogin");
			kill(pid, SIGHUP);
			EXPECT_TRUE(wait_until([&] { return count_lines(pid, "Forced relogin") > forced; }, 10000));
		};
		ASSERT_TRUE(wait_until([&] { return runs() == 1; }, 5000)) << joined(messages(pid));

		s.server.set_logged_in(false);  // lost, then logged in again
		sighup();
		ASSERT_TRUE(wait_until([&] { return runs() == 3; }, 5000)) << joined(messages(pid));
		sighup();  // nothing changes
		s.server.set_accept_login(false);
		s.server.set_logged_in(false);  // lost, then refused
		sighup();
		ASSERT_TRUE(wait_until([&] { return runs() == 5; }, 5000)) << joined(messages(pid));
		sighup();  // still refused
		std::this_thread::sleep_for(std::chrono::milliseconds(500));

		EXPECT_EQ(read_file(record), run_record("logged_in", "none", "start") +
		                                 run_record("logged_out", "logged_in", "forced") +
		                                 run_record("logged_in", "logged_out", "forced") +
		                                 run_record("logged_out", "logged_in", "forced") +
		                                 run_record("refused", "logged_out", "forced"));
		std::vector<std::string> lines;
		for (const auto &m : messages(pid))
			if (m.rfind("ON_CHANGE ", 0) == 0)
				lines.push_back(m.substr(m.find(": ") + 2));
		EXPECT_EQ(lines, (std::vector<std::string>{"exit status 0: first line logged_in",
		                                           "exit status 0: first line logged_out",
		                                           "exit status 0: first line logged_in",
		                                           "exit status 0: first line logged_out",
		                                           "exit status 0: first line refused"}));
	});
}

// A program that would run for a minute is killed after 10 s with what
// it started, and the checks go on meanwhile, a second apart.
TEST_F(Service, OnChangeIsKilledAfterTenSeconds)
{
	RUN_ISOLATED(true, [&] {
		TempDir work;
		std::string program = work.file("slow"), child = work.file("child");
		write_file(program, "#!/bin/sh\necho started\nsleep 60 &\necho $! >" + child + "\nwait\necho never\n");
		chmod(program.c_str(), 0755);
		Scene s("DEAMON_D = 0\nON_CHANGE = " + program + "\n");
		auto began = Clock::now();
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		ASSERT_TRUE(wait_until([&] { return atol(read_file(child).c_str()) > 0; }, 5000));
		pid_t sleeper = static_cast<pid_t>(atol(read_file(child).c_str()));
		s.server.clear_requests();
		std::string killed = "ON_CHANGE " + program + ": killed after 10 seconds: started";
		ASSERT_TRUE(syslog_wait_for(pid, killed, 15000)) << joined(messages(pid));
		EXPECT_GE(seconds_since(began), 9.5);
		EXPECT_GE(s.server.count(Page::status), 6u) << "the checks stopped while the program ran";
		EXPECT_TRUE(wait_until([&] { char st = process_state(sleeper); return st == 0 || st == 'Z'; }, 3000))
			<< "what the program started outlived it";
		EXPECT_EQ(count_lines(pid, "ON_CHANGE "), 1u) << joined(messages(pid));
		char st = process_state(pid);
		EXPECT_TRUE(st != 0 && st != 'Z');
	});
}

// SIGTERM ends the daemon at once while the program runs, and the
// program's group with it.
TEST_F(Service, OnChangeEndsWithTheDaemon)
{
	RUN_ISOLATED(true, [&] {
		TempDir work;
		std::string program = work.file("slow"), child = work.file("child");
		write_file(program, "#!/bin/sh\nsleep 60 &\necho $! >" + child + "\nwait\n");
		chmod(program.c_str(), 0755);
		Scene s("ON_CHANGE = " + program + "\n");
		pid_t pid = s.start();
		ASSERT_GT(pid, 0);
		ASSERT_TRUE(wait_until([&] { return atol(read_file(child).c_str()) > 0; }, 5000));
		pid_t sleeper = static_cast<pid_t>(atol(read_file(child).c_str()));
		auto sent = Clock::now();
		kill(pid, SIGTERM);
		int status = reap_within(pid, 10000);
		EXPECT_LT(seconds_since(sent), 3.5);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
		EXPECT_TRUE(wait_until([&] { char st = process_state(sleeper); return st == 0 || st == 'Z'; }, 3000))
			<< "the program outlived the daemon";
	});
}

// A program that cannot run is one error line per change, and the daemon
// goes on; so is a state file that cannot be written, once.
TEST_F(Service, WhatCannotBeRunOrWrittenIsReported)
{
	struct Case {
		const char *name;
		bool executable;
		const char *reason;
	} cases[] = {
		{"missing", false, "No such file or directory"},
		{"not executable", true, "Permission denied"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			TempDir work;
			std::string program = work.file("hook");
			if (c.executable) {
				write_file(program, "#!/bin/sh\n");
				chmod(program.c_str(), 0644);
			}
			std::string state = work.file("gone/state.json");
			Scene s("ON_CHANGE = " + program + "\nSTATE_FILE = " + state + "\n");
			pid_t pid = s.start();
			ASSERT_GT(pid, 0);
			const std::string error = "Cannot run ON_CHANGE program " + program + ": " + c.reason;
			ASSERT_TRUE(syslog_wait_for(pid, error, 5000)) << joined(messages(pid));
			ASSERT_TRUE(wait_pausing(pid));
			std::this_thread::sleep_for(std::chrono::milliseconds(1100));
			s.server.set_logged_in(false);
			kill(pid, SIGHUP);
			ASSERT_TRUE(syslog_wait_for(pid, "Forced relogin successful.", 10000));
			ASSERT_TRUE(wait_until([&] { return count_lines(pid, error) == 3; }, 5000)) << joined(messages(pid));
			ASSERT_TRUE(wait_pausing(pid));
			std::this_thread::sleep_for(std::chrono::milliseconds(1100));
			kill(pid, SIGHUP);
			ASSERT_TRUE(wait_until([&] { return count_lines(pid, "Forced relogin successful.") == 2; }, 10000));
			std::this_thread::sleep_for(std::chrono::milliseconds(300));
			EXPECT_EQ(count_lines(pid, error), 3u) << joined(messages(pid));
			EXPECT_EQ(count_lines(pid, "Cannot write state file " + state + ": No such file or directory"), 1u)
				<< joined(messages(pid));
			char st = process_state(pid);
			EXPECT_TRUE(st != 0 && st != 'Z');
		});
	}
}

}  // namespace

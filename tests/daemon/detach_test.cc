// Detaching from the terminal: every daemon started from a shell that has
// a controlling terminal leads a session of its own, has no controlling
// terminal and ignores the job-control signals, each time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_server.h"
#include "helpers.h"
#include "isolation.h"
#include "kavri_world.h"

namespace {

constexpr int RUNS = 20;

// Fields 6 (session) and 7 (tty_nr) of /proc/PID/stat.
bool session_and_tty(pid_t pid, long *session, long *tty)
{
	std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
	size_t close = stat.rfind(')');
	if (close == std::string::npos)
		return false;
	char state = 0;
	long ppid = 0, pgrp = 0;
	return sscanf(stat.c_str() + close + 2, "%c %ld %ld %ld %ld", &state, &ppid, &pgrp, session, tty) == 5;
}

// The signals the process ignores, from the SigIgn mask of /proc/PID/status.
unsigned long long ignored_signals(pid_t pid)
{
	std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
	size_t at = status.find("SigIgn:");
	return at == std::string::npos ? 0 : strtoull(status.c_str() + at + 7, nullptr, 16);
}

// A shell stand-in: a session leader with a pseudo-terminal as its
// controlling terminal runs each command line after the other and waits
// for it, as an interactive shell does. Returns once all have ended.
void run_from_terminal(const std::vector<std::vector<std::string>> &commands)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	ASSERT_GE(master, 0);
	ASSERT_EQ(grantpt(master), 0);
	ASSERT_EQ(unlockpt(master), 0);
	std::string slave = ptsname(master);
	pid_t shell = fork();
	ASSERT_GE(shell, 0);
	if (shell == 0) {
		setsid();
		int tty = open(slave.c_str(), O_RDWR);
		if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0)
			_exit(3);
		dup2(tty, 0);
		dup2(tty, 1);
		dup2(tty, 2);
		for (const auto &cmd : commands) {
			std::vector<char *> argv;
			for (const auto &a : cmd)
				argv.push_back(const_cast<char *>(a.c_str()));
			argv.push_back(nullptr);
			pid_t child = fork();
			if (child == 0) {
				execv(argv[0], argv.data());
				_exit(127);
			}
			int st = 0;
			waitpid(child, &st, 0);
		}
		_exit(0);
	}
	// Keep the terminal drained, so that no write of the shell's blocks,
	// until the shell has run every command.
	char buf[4096];
	int st = 0;
	bool draining = true;
	while (waitpid(shell, &st, WNOHANG) == 0) {
		struct pollfd p = {master, POLLIN, 0};
		if (!draining)
			poll(nullptr, 0, 20);
		else if (poll(&p, 1, 50) > 0 && read(master, buf, sizeof buf) < 0)
			draining = false;  // a hung-up terminal: only wait
	}
	close(master);
	ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the terminal could not be taken: " << st;
}

TEST(Detach, EveryDaemonLeavesTheTerminal)
{
	RUN_ISOLATED(true, [] {
		FakeServer server;
		ASSERT_TRUE(server.listening());
		server.set_logged_in(true);
		TempDir dir;
		std::vector<std::vector<std::string>> commands;
		for (int i = 0; i < RUNS; i++) {
			std::string conf = dir.file("kavri-" + std::to_string(i) + ".conf");
			write_file(conf, loopback_config(server.port(), "DEAMON_S = true\nDEAMON_D = 60\nPID_FILE = " +
			                                                    dir.file(std::to_string(i) + ".pid") + "\n"));
			commands.push_back({KAVRI_BINARY, "-l", "-c", conf});
		}
		run_from_terminal(commands);

		const unsigned long long job_control =
			1ULL << (SIGTSTP - 1) | 1ULL << (SIGTTIN - 1) | 1ULL << (SIGTTOU - 1);
		for (int i = 0; i < RUNS; i++) {
			SCOPED_TRACE("run " + std::to_string(i + 1));
			std::string pid_file = dir.file(std::to_string(i) + ".pid");
			pid_t pid = wait_for_daemon(pid_file);
			ASSERT_GT(pid, 0);
			long session = 0, tty = -1;
			ASSERT_TRUE(session_and_tty(pid, &session, &tty));
			EXPECT_EQ(session, pid) << "leads a session of its own";
			EXPECT_EQ(tty, 0) << "has no controlling terminal";
			EXPECT_EQ(ignored_signals(pid) & job_control, job_control) << "ignores SIGTSTP, SIGTTIN, SIGTTOU";
		}
	});
}

}  // namespace

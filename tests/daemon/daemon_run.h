// One kavri of a daemon test: a configuration of its own pointing at a
// server the test chose, its PID file, and the sanitizer reports of what
// it spawned; whatever it started is killed at the end.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "helpers.h"
#include "isolation.h"
#include "syslog_sink.h"

// The daemon that `kavri -l` left, once its PID file names it and its
// "Login" line is in the system log; 0, with a failure that shows the
// foreground run, when none came up within 10 seconds.
inline pid_t wait_for_daemon(const std::string &pid_file, const RunResult &foreground)
{
	pid_t pid = 0;
	bool up = wait_until(
		[&] {
			pid = static_cast<pid_t>(atol(read_file(pid_file).c_str()));
			return pid > 0 && syslog_wait_for(pid, "Login ", 0);
		},
		10000);
	if (!up)
		ADD_FAILURE() << "no daemon came up; foreground status " << foreground.status << "\nstdout:\n"
		              << foreground.out << "stderr:\n" << foreground.err;
	return up ? pid : 0;
}

struct Kavri {
	TempDir dir;
	std::string conf = dir.file("kavri.conf");
	std::string pid_file = dir.file("kavri.pid");
	std::string san = dir.file("sanitizer");

	Kavri(const std::string &server, int port, const std::string &extra)
	{
		write_file(conf, "SERV = " + server + "\nSERVER_PORT = " + std::to_string(port) +
		                     "\nUSER = joe\nPASS = secret\nDEAMON_D = 5\nPID_FILE = " + pid_file + "\n" + extra);
	}
	~Kavri()
	{
		kill_all_children_checked();
		EXPECT_EQ(sanitizer_reports(san), "") << "sanitizer reports of the spawned processes";
	}

	RunResult run(std::vector<std::string> args)
	{
		args.push_back("-c");
		args.push_back(conf);
		RunOptions o;
		o.env = sanitizer_env(san);
		o.cwd = dir.path();
		return run_program(args, o);
	}

	// -l, and the daemon it leaves once its "Login" line is written; 0
	// when none came up.
	pid_t start(RunResult *foreground)
	{
		*foreground = run({"-l"});
		return wait_for_daemon(pid_file, *foreground);
	}
};

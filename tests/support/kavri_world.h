// One daemon test's world: a temporary directory with a configuration of
// its own that points at the server the test chose, the PID file the
// daemon is expected to write, the sanitizer reports of what it spawned,
// and who runs kavri. Whatever it started is killed at its end. With it,
// the one wait for the daemon that a `kavri -l` leaves.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "helpers.h"

// The daemon that `kavri -l` left, once `pid_file` names it and its
// "Login" line is in the system log; 0, with a failure that shows the
// foreground run, when none came up within 10 seconds.
pid_t wait_for_daemon(const std::string &pid_file, const RunResult &foreground = {});

// The system-log messages of `pid`, in order; how many contain `text`;
// all of them, one an indented line, for a failure's message.
std::vector<std::string> messages(pid_t pid);
size_t count_lines(pid_t pid, const std::string &text);
std::string joined(const std::vector<std::string> &lines);

// Wait until the main thread of `pid` waits in poll on two descriptors or
// more (a wake-up, a timer, the routing socket), which it does only in the
// pause between checks (its exchanges wait on their one socket).
bool wait_pausing(pid_t pid);

struct Kavri {
	TempDir dir;
	std::string conf = dir.file("kavri.conf");
	std::string pid_file = dir.file("kavri.pid");  // where the daemon is expected to write
	std::string san = dir.file("sanitizer");
	uid_t runner = 0;  // who runs kavri, and so the daemon
	std::map<std::string, std::string> env;  // put into the environment of every run

	// The server, a user, the daemon on with a 5-minute pause and the PID
	// file (`configured_pid_file` when given, else pid_file); `settings`
	// come last and override these. The file is kept to its owner, as a
	// file with a password should be.
	Kavri(const std::string &server, int port, const std::string &settings,
	      const std::string &configured_pid_file = "");
	~Kavri();
	Kavri(const Kavri &) = delete;
	Kavri &operator=(const Kavri &) = delete;

	// From now on kavri runs as `uid`, to whom the directory goes.
	void run_as(uid_t uid);

	// kavri with `args` and this configuration, from the directory, as the
	// runner.
	RunResult run(std::vector<std::string> args);

	// -l with the extra arguments, and the daemon it leaves (see
	// wait_for_daemon); 0 when none came up.
	pid_t start(const std::vector<std::string> &args = {}, RunResult *foreground = nullptr);
	pid_t start(RunResult *foreground) { return start({}, foreground); }
};

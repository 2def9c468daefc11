// The ON_CHANGE program: run without a shell, with no arguments, on each
// change of the login state, at most one at a time and at most
// ON_CHANGE_SECONDS long. The daemon never waits for it: its end and its
// output are descriptors in the daemon's poll, and a change while it runs
// is run after it.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "daemon/schedule.h"
#include "daemon/standing.h"

inline constexpr int ON_CHANGE_SECONDS = 10;
inline constexpr size_t ON_CHANGE_LINE_MAX = 200;  // of its first output line, kept for the log

struct on_change_event {
	login_state state;
	login_state previous;
	check_reason reason;
};

struct on_change_runner {
	std::string program;            // empty: none configured
	std::vector<std::string> base;  // the daemon's environment, without the service manager's variables
	std::string server;
	std::string interface;
	// The program that runs, if one does.
	pid_t pid = -1;
	unique_fd pidfd;   // readable when it ends; -1 where the system has none
	unique_fd output;  // its standard output and error
	msec deadline = 0;
	bool killed = false;
	std::string line;  // its first output line so far
	bool line_done = false;
	// A change that came while it ran.
	bool queued = false;
	on_change_event next = {};
};

// Ready to run `program` (null or empty: never). `environ_` is the
// environment the program's is made from.
void on_change_init(on_change_runner &r, const char *program, const char *server, const char *interface,
                    char *const *environ_);

// The environment of one run: the base, then KAVRI_STATE,
// KAVRI_PREVIOUS_STATE, KAVRI_REASON, KAVRI_SERVER and KAVRI_INTERFACE.
std::vector<std::string> on_change_environment(const on_change_runner &r, const on_change_event &e);

// A change: run the program now, or after the one that runs. When one is
// already waiting, the two become one run, from the first one's previous
// state to the latest state.
void on_change_request(on_change_runner &r, const on_change_event &e, msec now, unsigned verbosity);

// Its descriptors for the daemon's poll (at most 2). 0 when none runs.
int on_change_poll_fds(const on_change_runner &r, struct pollfd *fds);

// After any wake-up of the poll, and after each check: take its output,
// notice its end and log it, kill it when its time is up, start a waiting
// run. Never blocks.
void on_change_service(on_change_runner &r, msec now, unsigned verbosity);

// When on_change_service must be called next without an event (the
// deadline of a run), or -1 for never.
msec on_change_wake_at(const on_change_runner &r, msec now);

// The daemon is ending: the running program's process group is told to
// end too. For the signal listener; takes no lock.
void on_change_abandon();

// A process standing in for a running daemon, for the tests of the PID
// file and of the run modes: it holds the daemon's lock on a PID file and
// records the signals it takes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class StandIn {
public:
	struct Options {
		bool write_pid = true;    // write "PID\n" over the file (else leave it as it is)
		bool lock = true;         // take the write lock a daemon holds on it
		std::string record = {};  // where each signal taken is appended, one number a line
		uid_t become = 0;         // then run as this user (the lock stays)
	};

	// Starts the process and waits until it holds the file; pid() is -1
	// when it could not. Every signal but SIGKILL is taken, not acted upon;
	// SIGTERM ends it after it is recorded.
	StandIn(const std::string &path, const Options &o);
	explicit StandIn(const std::string &path) : StandIn(path, Options{}) {}
	~StandIn();  // kills and reaps it, if still there
	StandIn(const StandIn &) = delete;
	StandIn &operator=(const StandIn &) = delete;

	pid_t pid() const { return pid_; }
	// The signals recorded so far.
	std::vector<int> signals() const;
	// Kill (SIGKILL) and reap it now.
	void stop();

private:
	pid_t pid_ = -1;
	std::string record_;
};

// Who holds a write lock on the file, as this process sees it (a process
// never sees its own locks): the PID, 0 for none, -1 when it cannot tell.
pid_t lock_holder(const std::string &path);

// Capture of what the real syslog() sends, for tests. Where no system log
// listens on /dev/log, one sink process shared by all test processes binds
// it and appends every datagram, one per line, to a file; tests pick their
// lines out by the writer's PID. Where a real system log owns /dev/log the
// capture is unavailable (skip, or fail under CI).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct SyslogLine {
	int priority;         // the <N> the datagram began with (facility | level)
	pid_t pid;            // from "kavri[PID]:"
	std::string ident;    // "kavri"
	std::string message;  // the text after "kavri[PID]: "
};

// Start (or find) the shared sink. False, with `why` filled, where none can run.
bool syslog_sink_available(std::string *why);

// Every captured line written by `pid` since this process first asked for
// the sink, in arrival order.
std::vector<SyslogLine> syslog_lines(pid_t pid);

// Wait until a line of `pid` contains `text`; false after timeout_ms.
bool syslog_wait_for(pid_t pid, const std::string &text, int timeout_ms);

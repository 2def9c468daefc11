// Capture of what the real syslog() sends, for tests. The test process
// moves into a mount namespace of its own in which /dev/log is its own
// socket (dev_log.h), and a sink process, which dies with the test process,
// keeps every datagram in memory that the test process and every child it
// forks later share. So kavri, started from the test or from an isolated
// child of it, writes its entries there and never to the machine's system
// log; tests pick their lines out by the writer's PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "dev_log.h"
#include "helpers.h"

// Set up the capture in this process, once (a child forked later shares
// it). False, with `why` filled, where it cannot be had (it needs root).
bool syslog_sink_available(std::string *why);

// The guard of every test that reads the system log: skips where it cannot
// be captured, fails under CI.
#define REQUIRE_SYSLOG_CAPTURE()                                              \
	do {                                                                      \
		std::string why_;                                                     \
		if (!syslog_sink_available(&why_))                                    \
			SKIP_OR_FAIL("no capture of the system log: " + why_);            \
	} while (0)

// Every captured line written by `pid` since this process's view of the
// log began (when the capture was set up, or the last
// syslog_restart_view), in arrival order.
std::vector<SyslogLine> syslog_lines(pid_t pid);

// Wait until a line of `pid` contains `text`; false after timeout_ms.
bool syslog_wait_for(pid_t pid, const std::string &text, int timeout_ms);

// Begin this process's view of the log now, after every entry sent so far:
// a child in a PID namespace of its own gets the PIDs that earlier
// children's daemons had, and must not see their lines.
void syslog_restart_view();

// The sink process, in the process that started it (0 elsewhere): it is
// no child of a test's to kill.
pid_t syslog_sink_pid();

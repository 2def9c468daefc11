// A /dev/log of one's own. The calling process moves into a mount
// namespace of its own, in which /dev becomes a small tmpfs that holds the
// machine's entries of /dev, bound there (the same devices, links and
// mounts), and in place of the machine's log socket a datagram socket of
// the caller's: whatever that process and those it starts later send with
// syslog() reaches the caller, and neither the machine's /dev nor its
// system log sees any of it. The tests capture kavri's system-log entries
// so; the demo shows them so.
#pragma once

#include <sys/types.h>

#include <string>

// One entry as syslog() sends it: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE".
struct SyslogLine {
	int priority;         // the <N> the datagram began with (facility | level)
	pid_t pid;            // from "kavri[PID]:"
	std::string ident;    // "kavri"
	std::string message;  // the text after "kavri[PID]: "
};

// False when the datagram has not that shape.
bool parse_syslog_datagram(const std::string &datagram, SyslogLine *line);

// Wait for the next datagram on `sock` (a blocking datagram socket);
// false when the socket fails.
bool next_datagram(int sock, std::string *datagram);

// Move into the namespace described above (with "/" private there) and
// return the socket bound at /dev/log (close-on-exec, blocking), or -1
// with `why` (it needs root). Threads other than the caller stay where
// they were.
int take_dev_log(std::string *why);

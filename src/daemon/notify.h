// The service manager's notification protocol, spoken by hand: one
// datagram of "NAME=value" lines on the AF_UNIX socket that NOTIFY_SOCKET
// names, a path or, after a leading '@', an abstract name.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

struct notify_target {
	struct sockaddr_un addr = {};
	socklen_t len = 0;  // 0: nowhere to send
};

// The address that a value of NOTIFY_SOCKET names: an absolute path or
// "@name"; nowhere (len 0) for none, an empty value, any other form or a
// name too long for an address.
notify_target notify_target_of(const char *value);

// The process the program started as: the one a service manager ran,
// which WATCHDOG_PID names. Taken before the daemon detaches.
pid_t notify_started_pid();

// The watchdog interval in microseconds that asks this program to ping,
// or 0: WATCHDOG_USEC a positive decimal number, and WATCHDOG_PID unset
// or naming `started` (any other process's watchdog is not ours).
uint64_t notify_watchdog_usec(const char *usec, const char *pid, pid_t started);

// A socket to send from: datagram, non-blocking (a full queue at the
// receiver drops the message rather than stall the daemon),
// close-on-exec. -1 with errno.
int notify_socket();

// Send `message` as one datagram. 0, or -1 with errno.
int notify_send(int fd, const notify_target &to, const std::string &message);

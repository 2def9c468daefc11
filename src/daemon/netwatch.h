// Watching the network for changes that may bring the login server within
// reach: the routing netlink socket of the daemon's own network namespace,
// its messages read as "something changed that counts" or not.
#pragma once

#include <cstddef>

// What the watch remembers of one interface: whether it was up and
// running, so that only its change into that state counts.
struct netwatch_link {
	int index;
	bool running;
};

inline constexpr int NETWATCH_LINKS = 128;

// Whose events count: every interface's (name null), or the named one's.
// The index follows the name: an interface that comes back (a USB
// adapter plugged in again) may come back under another index. The links'
// last states belong to the watch and change with every message read.
struct netwatch_filter {
	const char *name;  // null: every interface
	int index;         // the named interface's index now, 0 while it does not exist
	netwatch_link links[NETWATCH_LINKS] = {};
	int link_count = 0;  // interfaces beyond NETWATCH_LINKS are not remembered
};

// The socket, bound to the groups of links, IPv4 and IPv6 addresses and
// IPv4 and IPv6 routes; non-blocking. The descriptor, or -1 with errno.
int netwatch_open();

// Whether the messages in `buf` (`len` bytes as one read returned them)
// hold an event that counts, keeping each link's state in `filter`:
// - a link that has come up and running (RTM_NEWLINK with IFF_UP and
//   IFF_RUNNING where the link's last message had not both), or that
//   appears already running; other link messages (a change of MTU, alias,
//   queue length) and every message with wireless-extension data
//   (IFLA_WIRELESS, sent for each Wi-Fi scan result) do not count;
// - an address added that can carry traffic (RTM_NEWADDR, neither
//   tentative nor failed, of a scope wider than the link);
// - a default route added or replaced (RTM_NEWROUTE, unicast, prefix
//   length 0, outside the local table, not a cached copy).
// Other messages, and anything cut short, count for nothing. `buf` is
// aligned for a struct nlmsghdr.
bool netwatch_relevant(const void *buf, size_t len, netwatch_filter &filter);

// Learn the state of every link there is now, so that a link already
// running when the watch begins does not count at its next message. 0, or
// -1 with errno (the links then count at their first message).
int netwatch_seed(netwatch_filter &filter);

// Read every message waiting on the socket, taking only those the kernel
// sent. 1 when any counts, or the socket's buffer overran (ENOBUFS: what
// changed was not seen, so something may have, and the links' states are
// learnt anew); 0 when none counts; -1 when reading failed otherwise
// (errno set). Refreshes `filter.index`.
int netwatch_drain(int fd, netwatch_filter &filter);

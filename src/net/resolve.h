// Name resolution with a deadline: the system's resolver cannot be
// bounded, so a name is looked up on a thread of its own that the caller
// gives up waiting for at the deadline.
#pragma once

#include <netdb.h>

#include <cstdint>

#include "net/wait.h"

// The resolver's list of addresses, freed once.
struct address_list {
	address_list() = default;
	~address_list();
	address_list(const address_list &) = delete;
	address_list &operator=(const address_list &) = delete;

	struct addrinfo *first = nullptr;
};

// The TCP addresses of `server` for `port`: a numeric IPv4 or IPv6
// address (with its zone, "fe80::1%eth0") as it is, at once; a name
// through the system's name service, by `deadline`. 0, or the resolver's
// error code with `*err` the errno of EAI_SYSTEM. A lookup that has not
// ended by the deadline gives EAI_AGAIN with `*err` ETIMEDOUT; it is left
// to end on its own and frees its own result.
int resolve_by(const char *server, uint16_t port, wait_clock::time_point deadline, address_list *out, int *err);

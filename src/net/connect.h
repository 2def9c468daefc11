// Resolving the login server and connecting to it, within one bound.
#pragma once

#include <cstdint>

// Resolve `server` (a numeric IPv4 or IPv6 address as it is, a name
// through the system's resolver) and connect to its addresses in the
// resolver's order, within one bound of SERVER_WAIT_SECONDS. With
// `interface` (null or empty for none) every socket sends only through
// that interface. The connected non-blocking socket, or -1 after
// reporting the failure.
int server_connect(const char *server, uint16_t port, const char *interface, unsigned verbosity);

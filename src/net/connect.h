// Resolving the login server and connecting to it, within one bound.
#pragma once

#include <cstdint>

// Resolve `server` (a numeric IPv4 or IPv6 address, with its zone, as it
// is; a name through the system's resolver) and connect to its addresses
// as RFC 8305 describes: in the resolver's order with the families taking
// turns, the next one started when the one before has not connected
// within 250 ms, the first to connect taken. Lookup and connects share one
// bound of SERVER_WAIT_SECONDS. With `interface` (null or empty for none)
// every socket sends only through that interface. The connected
// non-blocking socket, or -1 after reporting the failure (the reason of
// the first address).
int server_connect(const char *server, uint16_t port, const char *interface, unsigned verbosity);

// What an exchange talks through: the connected socket itself (plain
// HTTP), or TLS over it. Every wait is bounded by the caller's deadline
// or by 5 seconds, as the plain socket's are.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "net/tls.h"

struct transport {
	int fd;
	tls_channel *tls;  // null for plain HTTP
};

// The TLS step of the connection, on the connected socket `t.fd`: open
// `tls` from the settings and shake hands within 5 seconds, then speak
// through it. A failure is reported in one error line that names the
// server and the reason; -1 with errno then (ETIMEDOUT when the handshake
// did not end in time, EPROTO when the server or its certificate was
// refused).
int transport_secure(transport &t, tls_channel_ptr &tls, const tls_settings &s, unsigned verbosity);

// Send the whole text within 5 seconds, never raising SIGPIPE: its length,
// or -1 with errno (ETIMEDOUT when the bound ran out).
ssize_t transport_send(const transport &t, const char *text, size_t length);

// One read of at most `n` bytes: their count, 0 at the end of the reply,
// or -1 with errno (EAGAIN: nothing yet, wait for `*want` on the socket).
ssize_t transport_read(const transport &t, char *buf, size_t n, short *want);

// Whether bytes wait inside the transport already, so that no wait on the
// socket may come before the next read.
bool transport_pending(const transport &t);

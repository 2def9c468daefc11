// A small TLS client over a connected non-blocking socket: open it from a
// few settings, shake hands, write, read. No call waits: each says which
// readiness of the socket it wants next, so that the caller's own poll and
// deadline stay in charge. One backend file implements it (tls_openssl.cc,
// or tls_none.cc in a build without TLS); CMake picks it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>

// Results of tls_handshake, tls_read and tls_write: wait for the socket to
// become readable, or writable, then call again with the same arguments.
inline constexpr int TLS_WANT_POLLIN = -2;
inline constexpr int TLS_WANT_POLLOUT = -3;

// What a connection checks. The texts are copied as needed: they need not
// outlive tls_open.
struct tls_settings {
	const char *server;   // the name (sent for SNI) or IP address its certificate must show
	const char *ca_file;  // trust these certificates instead of the system's; may be null
	const char *pins;     // TLS_PIN: when set, the server's key decides alone; may be null
};

// One TLS connection, opaque to all but its backend.
struct tls_channel;

// Frees the connection and what it holds. It never closes the socket.
void tls_close(tls_channel *t);

struct tls_closer {
	void operator()(tls_channel *t) const { tls_close(t); }
};
// The owner of one connection: freed at the end of its scope, which must
// come before the socket under it is closed.
using tls_channel_ptr = std::unique_ptr<tls_channel, tls_closer>;

// Set up TLS on the connected socket `fd`: the library is loaded on the
// first call of the run; TLS 1.2 at least; trust from the CA file, else
// the system's store; the server's name or address checked against its
// certificate; pins, when set, decide alone. The trust store is set up
// once and kept for later connections, until the CA file is another or
// has changed. The connection, or null with errno set and one sentence in
// `error` (`size` bytes).
tls_channel_ptr tls_open(const tls_settings &s, int fd, char *error, size_t size);

// Go on with the handshake: 0 once done and the server's certificate or
// key accepted, TLS_WANT_POLLIN or TLS_WANT_POLLOUT, or -1 with errno
// (EPROTO for a refusal) and tls_error set.
int tls_handshake(tls_channel &t);

// Up to `n` bytes: their count, 0 when the server has closed (with or
// without close_notify), a TLS_WANT_ value, or -1 with errno and tls_error.
ssize_t tls_read(tls_channel &t, void *buf, size_t n);

// Write up to `n` bytes: their count (maybe fewer than `n`), a TLS_WANT_
// value, or -1 with errno and tls_error. Never raises SIGPIPE.
ssize_t tls_write(tls_channel &t, const void *buf, size_t n);

// Whether bytes already decrypted wait to be read: no wait may come first.
bool tls_pending(const tls_channel &t);

// Why the last call on the connection failed, in one sentence.
const char *tls_error(const tls_channel &t);

// A small TLS client over a connected non-blocking socket: set it up from
// the settings, shake hands, write, read. No call waits: each says which
// readiness of the socket it wants next, so that the caller's own poll and
// deadline stay in charge. A failed call leaves one sentence in `error`.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/session.h"

// Results of tls_handshake, tls_read and tls_write: wait for the socket to
// become readable, or writable, then call again with the same arguments.
inline constexpr int TLS_WANT_POLLIN = -2;
inline constexpr int TLS_WANT_POLLOUT = -3;

struct ssl_st;

// One TLS connection and what it needs, owned: freed at the end of its
// scope, before the socket under it is closed. It never closes the socket.
struct tls_channel {
	tls_channel() = default;
	~tls_channel();
	tls_channel(const tls_channel &) = delete;
	tls_channel &operator=(const tls_channel &) = delete;

	ssl_st *ssl = nullptr;
	const char *pins = nullptr;  // TLS_PIN, when set
	char error[256] = "";        // why the last call failed, in words
};

// Set up TLS on the connected socket `fd` from the settings: OpenSSL is
// loaded on the first call of the run; TLS 1.2 at least; trust from
// TLS_CA_FILE, else the system's store; the server's name (sent for SNI)
// or IP address checked against its certificate; TLS_PIN, when set,
// decides alone. The trust store is set up once and kept for later
// exchanges, until TLS_CA_FILE names another file or the file changes.
// 0, or -1 with errno and `error` set.
int tls_connect_socket(tls_channel &t, const login_config &c, int fd);

// Go on with the handshake: 0 once done and the server's certificate or
// key accepted, TLS_WANT_POLLIN or TLS_WANT_POLLOUT, or -1 with errno
// (EPROTO for a refusal) and `error` set.
int tls_handshake(tls_channel &t);

// Up to `n` bytes: their count, 0 when the server has closed (with or
// without close_notify), a TLS_WANT_ value, or -1 with errno and `error`.
ssize_t tls_read(tls_channel &t, void *buf, size_t n);

// Write up to `n` bytes: their count (maybe fewer than `n`), a TLS_WANT_
// value, or -1 with errno and `error`. Never raises SIGPIPE.
ssize_t tls_write(tls_channel &t, const void *buf, size_t n);

// Whether bytes already decrypted wait to be read: no wait may come first.
bool tls_pending(const tls_channel &t);

// Whether the pin list is well formed: base64 SHA-256 digests (44
// characters, the last "="), separated by commas, blanks around them
// allowed. Pure text; needs no library.
bool tls_pins_valid(const char *pins);

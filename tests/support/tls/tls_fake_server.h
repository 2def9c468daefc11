// A TLS front for the fake login server: it listens on a port of its own
// on 127.0.0.1, takes TLS with the certificate it is given and relays the
// clear text to a FakeServer (or any server of the tests' on a port of
// 127.0.0.1, such as a FakePortal), which records the requests' bytes and
// answers as it always does. It can also misbehave as a TLS server.
#pragma once

#include <atomic>
#include <string>

#include "accept_loop.h"
#include "fake_server.h"

enum class TlsBehaviour {
	normal,           // relay; close_notify, then FIN, after the reply
	no_close_notify,  // relay; after the reply only FIN, no close_notify
	stall,            // accept the connection, never answer the handshake
	plain_http,       // no TLS: answer the first bytes with a plain HTTP 400
	renegotiate,      // TLS 1.2; ask for a new handshake at once, then relay
};

class TlsFakeServer {
public:
	// `cert_file` holds the certificate and its chain, `key_file` its key.
	TlsFakeServer(FakeServer &inner, const std::string &cert_file, const std::string &key_file)
		: TlsFakeServer(inner.port(), cert_file, key_file)
	{
	}
	// The same for the server on `inner_port` of 127.0.0.1.
	TlsFakeServer(int inner_port, const std::string &cert_file, const std::string &key_file);
	~TlsFakeServer();  // stops, and closes every connection
	TlsFakeServer(const TlsFakeServer &) = delete;
	TlsFakeServer &operator=(const TlsFakeServer &) = delete;

	int port() const { return port_; }
	// false when the certificate, the key or the port could not be had.
	bool listening() const { return loop_.listening(); }
	void set_behaviour(TlsBehaviour b) { behaviour_ = b; }
	// Handshakes that completed so far.
	int handshakes() const { return handshakes_; }
	// Renegotiations that a client went through (TlsBehaviour::renegotiate),
	// counted when the connection has ended: see relayed().
	int renegotiations() const { return renegotiations_; }
	// Connections whose relay has ended.
	int relayed() const { return relayed_; }

private:
	enum class Wait { ready, timeout, stop };

	void serve(unique_fd conn);
	void relay(void *ssl, int client, TlsBehaviour b);
	Wait wait2(int fd1, short ev1, int fd2, short ev2, int timeout_ms, short *got1, short *got2) const;
	bool ssl_io(void *ssl, int fd, int r) const;
	void drain(int fd, int timeout_ms) const;

	int inner_port_;
	void *ctx_ = nullptr;  // SSL_CTX
	int port_ = 0;
	std::atomic<TlsBehaviour> behaviour_{TlsBehaviour::normal};
	std::atomic<int> handshakes_{0};
	std::atomic<int> renegotiations_{0};
	std::atomic<int> relayed_{0};
	// Last: stopped first, while what the connections use still exists.
	AcceptLoop loop_;
};

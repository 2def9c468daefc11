#include "tls_fake_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int io_ms = 5000;  // the longest wait for the client or the inner server

SSL *as_ssl(void *p)
{
	return static_cast<SSL *>(p);
}

bool send_all(int fd, const char *p, size_t n)
{
	while (n > 0) {
		ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		p += w;
		n -= static_cast<size_t>(w);
	}
	return true;
}

}  // namespace

TlsFakeServer::TlsFakeServer(int inner_port, const std::string &cert_file, const std::string &key_file)
	: inner_port_(inner_port)
{
	SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
	if (ctx == nullptr)
		return;
	ctx_ = ctx;
	SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
	// Any key the test hands over is served: refusing a weak one is the
	// client's part.
	SSL_CTX_set_security_level(ctx, 0);
	if (SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1 ||
	    SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1)
		return;

	unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof a;
	if (!s || bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s.get(), 64) != 0 ||
	    getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &len) != 0)
		return;
	port_ = ntohs(a.sin_port);
	loop_.start(std::move(s), [this](unique_fd conn) { serve(std::move(conn)); });
}

TlsFakeServer::~TlsFakeServer()
{
	loop_.stop();
	SSL_CTX_free(static_cast<SSL_CTX *>(ctx_));
}

// Waits for either descriptor (fd < 0 or no events: not watched) or the stop.
TlsFakeServer::Wait TlsFakeServer::wait2(int fd1, short ev1, int fd2, short ev2, int timeout_ms, short *got1,
                                         short *got2) const
{
	auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
	for (;;) {
		if (loop_.stopping())
			return Wait::stop;
		pollfd p[3] = {{loop_.wake_fd(), POLLIN, 0}, {ev1 ? fd1 : -1, ev1, 0}, {ev2 ? fd2 : -1, ev2, 0}};
		auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
		int r = poll(p, 3, left > 0 ? static_cast<int>(left) : 0);
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0 || p[0].revents != 0)
			return Wait::stop;
		if (r == 0)
			return Wait::timeout;
		*got1 = p[1].revents;
		*got2 = p[2].revents;
		return Wait::ready;
	}
}

// After an SSL call returned `r`: wait for what it wants. False when it
// failed, or the wait ran out or was stopped.
bool TlsFakeServer::ssl_io(void *ssl, int fd, int r) const
{
	int e = SSL_get_error(as_ssl(ssl), r);
	ERR_clear_error();
	if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
		return false;
	short g1 = 0, g2 = 0;
	return wait2(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, -1, 0, io_ms, &g1, &g2) == Wait::ready;
}

// Take what the client still sends until it closes, or nothing came for
// `timeout_ms`.
void TlsFakeServer::drain(int fd, int timeout_ms) const
{
	char buf[4096];
	for (;;) {
		short g1 = 0, g2 = 0;
		if (wait2(fd, POLLIN, -1, 0, timeout_ms, &g1, &g2) != Wait::ready)
			return;
		ssize_t n = read(fd, buf, sizeof buf);
		if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
			return;
	}
}

void TlsFakeServer::relay(void *ssl, int client, TlsBehaviour b)
{
	unique_fd inner(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(inner_port_));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (!inner || connect(inner.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
		return;
	bool from_client = true, from_inner = true;
	char buf[16384];
	while (from_client || from_inner) {
		short g1 = 0, g2 = 0;
		if (from_client && SSL_pending(as_ssl(ssl)) > 0)
			g1 = POLLIN;
		else if (wait2(client, from_client ? POLLIN : 0, inner.get(), from_inner ? POLLIN : 0, io_ms, &g1, &g2) !=
		         Wait::ready)
			return;
		if (from_client && g1 != 0) {
			for (;;) {
				int n = SSL_read(as_ssl(ssl), buf, sizeof buf);
				if (n > 0) {
					if (!send_all(inner.get(), buf, static_cast<size_t>(n)))
						return;
					continue;
				}
				int e = SSL_get_error(as_ssl(ssl), n);
				ERR_clear_error();
				if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
					// The client is done: so is the request.
					from_client = false;
					shutdown(inner.get(), SHUT_WR);
				}
				break;
			}
		}
		if (from_inner && g2 != 0) {
			ssize_t n = read(inner.get(), buf, sizeof buf);
			if (n > 0) {
				for (size_t done = 0; done < static_cast<size_t>(n);) {
					int w = SSL_write(as_ssl(ssl), buf + done, static_cast<int>(static_cast<size_t>(n) - done));
					if (w > 0)
						done += static_cast<size_t>(w);
					else if (!ssl_io(ssl, client, w))
						return;
				}
			} else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
				// The end of the reply.
				from_inner = false;
				if (b == TlsBehaviour::normal)
					SSL_shutdown(as_ssl(ssl));  // sends close_notify
				shutdown(client, SHUT_WR);
			}
		}
	}
}

void TlsFakeServer::serve(unique_fd conn)
{
	int fd = conn.get();
	TlsBehaviour b = behaviour_;
	if (b == TlsBehaviour::stall) {
		drain(fd, 30000);
		return;
	}
	if (b == TlsBehaviour::plain_http) {
		short g1 = 0, g2 = 0;
		if (wait2(fd, POLLIN, -1, 0, io_ms, &g1, &g2) != Wait::ready)
			return;
		char buf[4096];
		ssize_t got = read(fd, buf, sizeof buf);
		(void)got;
		static const char answer[] = "HTTP/1.0 400 Bad Request\r\nContent-Type: text/html\r\nContent-Length: 39\r\n\r\n"
		                             "<html><p>Not a valid request.</p></html>";
		send_all(fd, answer, sizeof answer - 1);
		shutdown(fd, SHUT_WR);
		drain(fd, io_ms);
		return;
	}
	SSL *ssl = SSL_new(static_cast<SSL_CTX *>(ctx_));
	if (ssl == nullptr)
		return;
	SSL_set_fd(ssl, fd);
	if (b == TlsBehaviour::renegotiate)
		SSL_set_max_proto_version(ssl, TLS1_2_VERSION);  // TLS 1.3 has no renegotiation
	for (;;) {
		int r = SSL_accept(ssl);
		if (r == 1) {
			handshakes_++;
			if (b == TlsBehaviour::renegotiate) {
				// The HelloRequest goes out now; the client's answer, if
				// any, comes while the relay reads.
				SSL_renegotiate(ssl);
				SSL_do_handshake(ssl);
				ERR_clear_error();
			}
			relay(ssl, fd, b);
			if (b == TlsBehaviour::renegotiate && SSL_renegotiate_pending(ssl) == 0)
				renegotiations_++;
			relayed_++;
			break;
		}
		if (!ssl_io(ssl, fd, r))
			break;
	}
	SSL_free(ssl);
}

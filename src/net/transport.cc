#include "net/transport.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "net/wait.h"

namespace {

// The socket event a TLS call asked for, or 0 for a result that is none.
short wanted(ssize_t r)
{
	return r == TLS_WANT_POLLIN ? POLLIN : r == TLS_WANT_POLLOUT ? POLLOUT : 0;
}

// The handshake within its bound: 0, or -1 with errno and, unless the
// wait itself failed, the reason in `error`.
int handshake_bounded(tls_channel &tls, int fd, char *error, size_t size)
{
	auto deadline = wait_clock::now() + std::chrono::seconds(SERVER_WAIT_SECONDS);
	for (;;) {
		int r = tls_handshake(tls);
		if (r == 0)
			return 0;
		if (wanted(r) == 0) {
			int err = errno;
			snprintf(error, size, "%s", tls_error(tls));
			errno = err;
			return r;
		}
		int w = wait_until(fd, wanted(r), deadline);
		if (w < 0)
			return -1;
		if (w == 0) {
			snprintf(error, size, "no TLS handshake within %d seconds", SERVER_WAIT_SECONDS);
			errno = ETIMEDOUT;
			return -1;
		}
	}
}

}  // namespace

int transport_secure(transport &t, tls_channel_ptr &tls, const tls_settings &s, unsigned verbosity)
{
	char error[256] = "";
	tls = tls_open(s, t.fd, error, sizeof error);
	if (tls == nullptr || handshake_bounded(*tls, t.fd, error, sizeof error) != 0) {
		int err = errno;
		log_msg(verbosity, LOG_ERR, "TLS connection to login server %s failed: %s", s.server,
		        error[0] != '\0' ? error : strerror(err));
		errno = err;
		return -1;
	}
	t.tls = tls.get();
	return 0;
}

ssize_t transport_send(const transport &t, const char *text, size_t length)
{
	// The socket does not block, so one send may take only part of the
	// text (or none) while the send buffer is short; the rest follows as
	// room comes free, within the bound on every wait for the server.
	auto deadline = wait_clock::now() + std::chrono::seconds(SERVER_WAIT_SECONDS);
	size_t sent = 0;
	while (sent < length) {
		short want = POLLOUT;
		if (t.tls != nullptr) {
			ssize_t n = tls_write(*t.tls, text + sent, length - sent);
			if (n > 0) {
				sent += static_cast<size_t>(n);
				continue;
			}
			if (wanted(n) == 0)
				return -1;
			want = wanted(n);
		} else {
			ssize_t n = send(t.fd, text + sent, length - sent, MSG_NOSIGNAL);
			if (n > 0) {
				sent += static_cast<size_t>(n);
				continue;
			}
			if (n < 0 && errno == EINTR)
				continue;
			if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
				return -1;
		}
		int r = wait_until(t.fd, want, deadline);
		if (r < 0)
			return -1;
		if (r == 0) {
			errno = ETIMEDOUT;
			return -1;
		}
	}
	return static_cast<ssize_t>(sent);
}

ssize_t transport_read(const transport &t, char *buf, size_t n, short *want)
{
	*want = POLLIN;
	if (t.tls == nullptr)
		return read(t.fd, buf, n);
	ssize_t r = tls_read(*t.tls, buf, n);
	if (wanted(r) != 0) {
		*want = wanted(r);
		errno = EAGAIN;
		return -1;
	}
	return r;
}

bool transport_pending(const transport &t)
{
	return t.tls != nullptr && tls_pending(*t.tls);
}

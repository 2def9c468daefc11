// Resolving the server and connecting to it, each wait bounded.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "client/client.h"
#include "client/socket.h"
#include "log/log.h"

int wait_until(int fd, short events, wait_clock::time_point deadline)
{
	for (;;) {
		auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - wait_clock::now());
		int timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
		struct pollfd p = {fd, events, 0};
		int r = poll(&p, 1, timeout);
		if (r >= 0)
			return r > 0 ? 1 : 0;
		if (errno != EINTR)
			return -1;
	}
}

namespace {

// The connect of a non-blocking socket, finished within the bound. 0, or
// -1 with errno set (ETIMEDOUT when the server did not answer in time).
int connect_bounded(int fd, const struct sockaddr_in &addr)
{
	if (connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr) == 0)
		return 0;
	if (errno != EINPROGRESS)
		return -1;
	auto deadline = wait_clock::now() + std::chrono::seconds(SERVER_WAIT_SECONDS);
	int r = wait_until(fd, POLLOUT, deadline);
	if (r < 0)
		return -1;
	if (r == 0) {
		errno = ETIMEDOUT;
		return -1;
	}
	int err = 0;
	socklen_t len = sizeof err;
	if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
		return -1;
	if (err != 0) {
		errno = err;
		return -1;
	}
	return 0;
}

}  // namespace

int server_connect(const char *server, uint16_t port, unsigned verbosity)
{
	struct hostent *host = gethostbyname(server);
	if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
	    host->h_addr_list[0] == nullptr) {
		int err = errno;
		log_msg(verbosity, LOG_ERR, "DNS lookup of login server %s failed to resolve to an IP#", server);
		log_msg(verbosity, LOG_ERR, "Try the commands nslookup, host or dig for more details.");
		log_msg(verbosity, LOG_ERR, "gethostbyname() returns: %s", strerror(err));
		errno = err;
		return -1;
	}

	struct sockaddr_in addr;
	memset(&addr, 0, sizeof addr);
	addr.sin_family = AF_INET;
	addr.sin_port = htons(port);
	memcpy(&addr.sin_addr, host->h_addr_list[0], sizeof addr.sin_addr);

	// Non-blocking for good: no step of the exchange may wait unbounded.
	unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
	if (sock.get() < 0) {
		int err = errno;
		log_msg(verbosity, LOG_ERR, "Failed to create a socket: %s", strerror(err));
		errno = err;
		return -1;
	}
	if (connect_bounded(sock.get(), addr) != 0) {
		int err = errno;
		sock.close_now();
		log_msg(verbosity, LOG_ERR, "Failed to connect to login server (%s): %s", server, strerror(err));
		errno = err;
		return -1;
	}
	return sock.release();
}

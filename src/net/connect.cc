#include "net/connect.h"

#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/unique_fd.h"
#include "log/log.h"
#include "net/wait.h"

namespace {

// The resolver's list of addresses, freed once.
struct address_list {
	struct addrinfo *first = nullptr;
	~address_list()
	{
		if (first != nullptr)
			freeaddrinfo(first);
	}
};

// A numeric address (IPv4 or IPv6) is taken as it is, without the
// resolver's files; anything else is looked up through the system's name
// service. 0, or the resolver's error code.
int resolve(const char *server, uint16_t port, address_list *out)
{
	char service[8];
	snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
	struct addrinfo hints = {};
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
	int r = getaddrinfo(server, service, &hints, &out->first);
	if (r != EAI_NONAME)
		return r;
	hints.ai_flags = AI_NUMERICSERV;
	return getaddrinfo(server, service, &hints, &out->first);
}

// The text of a resolver error; a failed system call has its own.
const char *resolve_error(int code, int err)
{
	return code == EAI_SYSTEM ? strerror(err) : gai_strerror(code);
}

// The connect of a non-blocking socket, finished by `deadline`. 0, or -1
// with errno set (ETIMEDOUT when the server did not answer in time).
int connect_bounded(int fd, const struct addrinfo &a, wait_clock::time_point deadline)
{
	if (connect(fd, a.ai_addr, a.ai_addrlen) == 0)
		return 0;
	if (errno != EINPROGRESS)
		return -1;
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

// Send only through the named interface. The system would cut a longer
// name to its limit and might find another interface by it.
int bind_to_interface(int fd, const char *name)
{
	size_t n = strlen(name);
	if (n >= IFNAMSIZ) {
		errno = ENODEV;
		return -1;
	}
	return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, static_cast<socklen_t>(n));
}

}  // namespace

int server_connect(const char *server, uint16_t port, const char *interface, unsigned verbosity)
{
	address_list addresses;
	int r = resolve(server, port, &addresses);
	if (r != 0 || addresses.first == nullptr) {
		int err = errno;
		log_msg(verbosity, LOG_ERR, "DNS lookup of login server %s failed to resolve to an IP#", server);
		log_msg(verbosity, LOG_ERR, "Try the commands nslookup, host or dig for more details.");
		log_msg(verbosity, LOG_ERR, "gethostbyname() returns: %s", resolve_error(r, err));
		errno = err;
		return -1;
	}

	// One bound for the whole connection step: a name with several
	// addresses tries them in the resolver's order within it.
	auto deadline = wait_clock::now() + std::chrono::seconds(SERVER_WAIT_SECONDS);
	bool no_socket = false;
	int err = 0;
	for (const struct addrinfo *a = addresses.first; a != nullptr; a = a->ai_next) {
		// Non-blocking for good: no step of the exchange may wait unbounded.
		unique_fd sock(socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
		if (sock.get() < 0) {
			err = errno;
			no_socket = true;
			continue;  // this family may not be available; the next may
		}
		if (interface != nullptr && *interface != '\0' && bind_to_interface(sock.get(), interface) != 0) {
			err = errno;
			sock.close_now();
			log_msg(verbosity, LOG_ERR, "Cannot bind to interface %s: %s", interface, strerror(err));
			errno = err;
			return -1;
		}
		if (connect_bounded(sock.get(), *a, deadline) == 0)
			return sock.release();
		err = errno;
		no_socket = false;
		if (err == ETIMEDOUT)
			break;  // the bound is used up
	}
	if (no_socket)
		log_msg(verbosity, LOG_ERR, "Failed to create a socket: %s", strerror(err));
	else
		log_msg(verbosity, LOG_ERR, "Failed to connect to login server (%s): %s", server, strerror(err));
	errno = err;
	return -1;
}

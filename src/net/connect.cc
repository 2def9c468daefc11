#include "net/connect.h"

#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/unique_fd.h"
#include "log/log.h"
#include "net/resolve.h"
#include "net/wait.h"

namespace {

// The delay before the next address is tried while the ones before it
// have not connected yet (RFC 8305's Connection Attempt Delay).
constexpr std::chrono::milliseconds NEXT_ATTEMPT_DELAY{250};

// The text of a resolver error; a failed system call has its own.
const char *resolve_error(int code, int err)
{
	return code == EAI_SYSTEM ? strerror(err) : gai_strerror(code);
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

// The addresses in the order they are tried: the resolver's, with the
// families taking turns from the first one's (RFC 8305, section 4), so
// that a family that does not work costs one delay, not one per address.
std::vector<const struct addrinfo *> attempt_order(const struct addrinfo *first)
{
	std::vector<const struct addrinfo *> same, other, out;
	for (const struct addrinfo *a = first; a != nullptr; a = a->ai_next)
		(a->ai_family == first->ai_family ? same : other).push_back(a);
	for (size_t i = 0; i < same.size() || i < other.size(); i++) {
		if (i < same.size())
			out.push_back(same[i]);
		if (i < other.size())
			out.push_back(other[i]);
	}
	return out;
}

// One connection attempt, to one address.
struct attempt {
	unique_fd sock;
	int err = 0;             // why it failed, once it has
	bool no_socket = false;  // it failed for want of a socket
};

// What starting an attempt came to.
enum class started { connected, pending, failed, unusable_interface };

started start_attempt(attempt &t, const struct addrinfo &a, const char *interface)
{
	// Non-blocking for good: no step of the exchange may wait unbounded.
	t.sock = unique_fd(socket(a.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
	if (!t.sock) {
		t.err = errno;
		t.no_socket = true;  // this family may not be available; the next may
		return started::failed;
	}
	if (interface != nullptr && *interface != '\0' && bind_to_interface(t.sock.get(), interface) != 0) {
		t.err = errno;
		t.sock.close_now();
		return started::unusable_interface;
	}
	if (connect(t.sock.get(), a.ai_addr, a.ai_addrlen) == 0)
		return started::connected;
	if (errno == EINPROGRESS)
		return started::pending;
	t.err = errno;
	t.sock.close_now();
	return started::failed;
}

// Connect to the addresses as RFC 8305 describes: the next one starts when
// the one before has failed or not connected within NEXT_ATTEMPT_DELAY,
// every attempt stays open, the first to connect is taken and the others
// are closed; all by `deadline`. The socket, or -1 with every attempt's
// reason in `tries` (ETIMEDOUT for one still open at the deadline or never
// started); -1 at once, with `*bad_interface` set, when a socket could not
// be bound to `interface` (that attempt's reason says why).
int connect_any(const std::vector<const struct addrinfo *> &order, const char *interface,
                wait_clock::time_point deadline, std::vector<attempt> &tries, bool *bad_interface)
{
	tries.resize(order.size());
	size_t started_n = 0;
	auto next_start = wait_clock::now();
	for (;;) {
		auto now = wait_clock::now();
		if (now >= deadline)
			break;
		if (started_n < order.size() && now >= next_start) {
			attempt &t = tries[started_n];
			switch (start_attempt(t, *order[started_n++], interface)) {
			case started::connected:
				return t.sock.release();
			case started::pending:
				next_start = now + NEXT_ATTEMPT_DELAY;
				break;
			case started::failed:
				next_start = now;  // a failure starts the next one at once
				break;
			case started::unusable_interface:
				*bad_interface = true;
				if (&t != &tries[0])
					tries[0] = std::move(t);  // the reason reported
				return -1;
			}
			continue;
		}

		std::vector<struct pollfd> polled;
		std::vector<attempt *> open;
		for (size_t i = 0; i < started_n; i++) {
			if (tries[i].sock) {
				polled.push_back({tries[i].sock.get(), POLLOUT, 0});
				open.push_back(&tries[i]);
			}
		}
		if (polled.empty() && started_n == order.size())
			return -1;  // every address has failed
		auto until = deadline;
		if (started_n < order.size() && next_start < until)
			until = next_start;
		auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
		int r = poll(polled.data(), polled.size(), static_cast<int>(std::max<long>(left.count(), 0)));
		if (r < 0 && errno != EINTR) {
			for (attempt *t : open)
				t->err = errno;
			return -1;
		}
		for (size_t k = 0; r > 0 && k < polled.size(); k++) {
			if (polled[k].revents == 0)
				continue;
			attempt &t = *open[k];
			int err = 0;
			socklen_t len = sizeof err;
			if (getsockopt(t.sock.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
				err = errno;
			if (err == 0)
				return t.sock.release();  // the others close with `tries`
			t.err = err;
			t.sock.close_now();
			next_start = wait_clock::now();
		}
	}
	for (size_t i = 0; i < tries.size(); i++)
		if (tries[i].sock || i >= started_n)
			tries[i].err = ETIMEDOUT;
	return -1;
}

}  // namespace

int server_connect(const char *server, uint16_t port, const char *interface, unsigned verbosity)
{
	// One bound for the whole connection step, the name's lookup included.
	auto deadline = wait_clock::now() + std::chrono::seconds(SERVER_WAIT_SECONDS);
	address_list addresses;
	int err = 0;
	int r = resolve_by(server, port, deadline, &addresses, &err);
	if (r != 0 || addresses.first == nullptr) {
		log_msg(verbosity, LOG_ERR, "DNS lookup of login server %s failed to resolve to an IP#", server);
		log_msg(verbosity, LOG_ERR, "Try the commands nslookup, host or dig for more details.");
		log_msg(verbosity, LOG_ERR, "gethostbyname() returns: %s", resolve_error(r, err));
		errno = err;
		return -1;
	}

	std::vector<attempt> tries;
	bool bad_interface = false;
	int fd = connect_any(attempt_order(addresses.first), interface, deadline, tries, &bad_interface);
	if (fd >= 0)
		return fd;
	// The reason of the address tried first: the resolver's best choice,
	// and the one the lines have always named.
	const attempt &first = tries[0];
	err = first.err;
	if (bad_interface)
		log_msg(verbosity, LOG_ERR, "Cannot bind to interface %s: %s", interface, strerror(err));
	else if (first.no_socket)
		log_msg(verbosity, LOG_ERR, "Failed to create a socket: %s", strerror(err));
	else
		log_msg(verbosity, LOG_ERR, "Failed to connect to login server (%s): %s", server, strerror(err));
	errno = err;
	return -1;
}

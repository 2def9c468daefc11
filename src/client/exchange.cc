// The request-reply exchange shared by the probe, the login and the logout.
#include "client/exchange.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/unique_fd.h"
#include "client/page_fetch.h"
#include "log/log.h"
#include "net/connect.h"
#include "net/transport.h"
#include "net/wait.h"

namespace {

// Read until the server closes, the reply buffer is full, or the one
// deadline that began with the wait has passed. 0 with the reply ended
// after what arrived, or -1 after a failed first wait or read (reported;
// the reply stays empty).
int read_reply(login_session *s, const transport &link, unsigned verbosity, const exchange_kind &kind)
{
	auto deadline = wait_clock::now() + std::chrono::seconds(SERVER_WAIT_SECONDS);
	size_t have = 0;
	bool told_ready = false;
	short want = POLLIN;
	for (;;) {
		// Bytes that TLS has already taken off the socket need no wait.
		if (!transport_pending(link)) {
			int r = wait_until(link.fd, want, deadline);
			if (r <= 0) {
				if (have == 0) {
					kind.no_reply(*s->conf, verbosity);
					return -1;
				}
				break;  // what arrived in time is the reply
			}
		}
		if (!told_ready && kind.reply_ready != nullptr)
			kind.reply_ready(verbosity);
		told_ready = true;

		ssize_t n = transport_read(link, s->reply + have, REPLY_SIZE - have, &want);
		if (n < 0) {
			if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
				continue;
			if (have == 0) {
				kind.read_failed(verbosity, errno);
				return -1;
			}
			break;
		}
		if (n == 0)
			break;
		have += static_cast<size_t>(n);
		if (have == REPLY_SIZE)
			break;
	}
	s->reply[have] = '\0';
	if (kind.received != nullptr)
		kind.received(*s, verbosity);
	return 0;
}

// The reply as a page for the form login: all of it up to its cap, the
// reply buffer its start. 0, or -1 after a reported failure.
int read_whole_page(login_session *s, const transport &link, unsigned verbosity, const exchange_kind &kind)
{
	if (read_page(link, &s->page) != 0) {
		int err = errno;
		std::string().swap(s->page);
		if (err == ETIMEDOUT)
			kind.no_reply(*s->conf, verbosity);
		else
			kind.read_failed(verbosity, err);
		return -1;
	}
	s->page_url = serv_url(*s->conf, s->conf->init_page);
	keep_reply(s, s->page);
	if (::read_reply(s->page, true).cut)
		log_msg(verbosity, LOG_DEBUG, "The reply from %s goes on past %zu bytes: it was cut there.", s->conf->server,
		        REPLY_BODY_MAX);
	if (kind.received != nullptr)
		kind.received(*s, verbosity);
	return 0;
}

}  // namespace

int run_exchange(login_session *s, unsigned verbosity, const exchange_kind &kind)
{
	const login_config &c = *s->conf;
	s->reply[0] = '\0';
	log_msg(verbosity, LOG_INFO, "Connecting to login server, %s:%d.", c.server, c.port);
	unique_fd sock(server_connect(c.server, static_cast<uint16_t>(c.port), c.interface, verbosity));
	if (sock.get() < 0) {
		log_msg(verbosity, LOG_ERR, "Failed to connect to login server (%s): %s", c.server, strerror(errno));
		return -1;
	}
	// Declared after the socket: freed before it closes.
	tls_channel_ptr tls;
	transport link{sock.get(), nullptr};
	if (c.tls && transport_secure(link, tls, tls_settings{c.server, c.tls_ca_file, c.tls_pin}, verbosity) != 0) {
		// Refused as a connection is: nothing has been sent.
		log_msg(verbosity, LOG_ERR, "Failed to connect to login server (%s): %s", c.server, strerror(errno));
		return -1;
	}

	char request[REQUEST_SIZE];
	switch (kind.compose(c, verbosity, request)) {
	case compose_result::ok:
		break;
	case compose_result::too_long:
		sock.close_now();
		log_msg(verbosity, LOG_ERR, "Request for %s is too long, not sent.", c.*kind.page);
		return -1;
	case compose_result::failed:
		return -1;
	}
	log_msg(verbosity, LOG_DEBUG, "%s", request);

	if (kind.cannot_send != nullptr) {
		auto deadline = wait_clock::now() + std::chrono::seconds(SERVER_WAIT_SECONDS);
		if (wait_until(sock.get(), POLLOUT, deadline) < 0) {
			int err = errno;
			sock.close_now();
			kind.cannot_send(c, verbosity, err);
			return -1;
		}
	}

	if (transport_send(link, request, strlen(request)) == -1) {
		int err = errno;
		kind.send_failed(c, verbosity, err);
		return -1;
	}

	kind.waiting(c, verbosity);
	if (kind.keeps_page && c.login_form)
		return read_whole_page(s, link, verbosity, kind);
	return read_reply(s, link, verbosity, kind);
}

bool reply_has(const login_session &s, const char *marker)
{
	// An empty marker would be found in every reply, even in none.
	return marker[0] != '\0' && strstr(s.reply, marker) != nullptr;
}

void show_reply(const login_session &s, unsigned verbosity, const char *operation)
{
	if (verbosity & MODE_DEBUG)
		log_msg(verbosity, LOG_DEBUG, "%s(): Here is the reply:\n%s", operation, s.reply);
	else
		log_msg(verbosity, LOG_INFO, "%s(): Start %s with --verbose --debug to see whole reply.", operation,
		        "kavri");
}

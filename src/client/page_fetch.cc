#include "client/page_fetch.h"

#include <poll.h>
#include <strings.h>

#include <cerrno>
#include <cstring>

#include "base/unique_fd.h"
#include "log/log.h"
#include "net/connect.h"
#include "net/wait.h"

int read_page(const transport &link, std::string *bytes)
{
	auto deadline = wait_clock::now() + std::chrono::seconds(SERVER_WAIT_SECONDS);
	bytes->clear();
	short want = POLLIN;
	char buf[16384];
	for (;;) {
		if (!transport_pending(link)) {
			int r = wait_until(link.fd, want, deadline);
			if (r <= 0) {
				if (bytes->empty()) {
					if (r == 0)
						errno = ETIMEDOUT;
					return -1;
				}
				return 0;  // what arrived in time is the reply
			}
		}
		size_t room = REPLY_READ_MAX - bytes->size();
		ssize_t n = transport_read(link, buf, room < sizeof buf ? room : sizeof buf, &want);
		if (n < 0) {
			if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
				continue;
			return bytes->empty() ? -1 : 0;
		}
		if (n == 0)
			return 0;
		bytes->append(buf, static_cast<size_t>(n));
		if (bytes->size() >= REPLY_READ_MAX)
			return 0;
		http_reply r = read_reply(*bytes, false);
		if (r.complete || r.cut)
			return 0;
	}
}

bool host_is_serv(const login_config &c, const std::string &host)
{
	std::string serv = c.server;
	if (serv.size() > 2 && serv.front() == '[' && serv.back() == ']')
		serv = serv.substr(1, serv.size() - 2);
	return strcasecmp(serv.c_str(), host.c_str()) == 0;
}

std::string serv_url(const login_config &c, const char *page)
{
	bool v6 = strchr(c.server, ':') != nullptr && c.server[0] != '[';
	std::string u = c.tls ? "https://" : "http://";
	if (v6)
		u += '[';
	u += c.server;
	if (v6)
		u += ']';
	if (c.port != (c.tls ? 443 : 80)) {
		u += ':';
		u += std::to_string(c.port);
	}
	if (page[0] != '/')
		u += '/';
	u += page;
	return u;
}

int fetch_page(const login_config &c, const url &where, const std::string &request, const char *shown,
               unsigned verbosity, fetched_page *out)
{
	out->bytes.clear();
	out->reply = http_reply{};
	log_msg(verbosity, LOG_INFO, "Requesting %s.", shown);
	unique_fd sock(server_connect(where.host.c_str(), static_cast<uint16_t>(where.port), c.interface, verbosity));
	if (sock.get() < 0) {
		log_msg(verbosity, LOG_ERR, "Failed to connect to %s: %s", where.host.c_str(), strerror(errno));
		return -1;
	}
	// Declared after the socket: freed before it closes.
	tls_channel_ptr tls;
	transport link{sock.get(), nullptr};
	if (where.scheme == "https") {
		tls_settings s{where.host.c_str(), c.tls_ca_file, host_is_serv(c, where.host) ? c.tls_pin : nullptr};
		if (transport_secure(link, tls, s, verbosity) != 0) {
			log_msg(verbosity, LOG_ERR, "Failed to connect to %s: %s", where.host.c_str(), strerror(errno));
			return -1;
		}
	}
	// With a form's fields the text shows the password: only with --debug.
	log_msg(verbosity, LOG_DEBUG, "%s", request.c_str());
	if (transport_send(link, request.data(), request.size()) == -1) {
		log_msg(verbosity, LOG_ERR, "Failed to send the request for %s: %s", shown, strerror(errno));
		return -1;
	}
	log_msg(verbosity, LOG_INFO, "Waiting for reply from server...");
	if (read_page(link, &out->bytes) != 0) {
		if (errno == ETIMEDOUT)
			log_msg(verbosity, LOG_ERR, "No reply from %s.", where.host.c_str());
		else
			log_msg(verbosity, LOG_ERR, "Failed to read the reply from %s: %s", where.host.c_str(),
			        strerror(errno));
		return -1;
	}
	out->reply = read_reply(out->bytes, true);
	log_msg(verbosity, LOG_DEBUG, "Reply from %s:\n%s", where.host.c_str(), out->bytes.c_str());
	if (out->reply.cut)
		log_msg(verbosity, LOG_DEBUG, "The reply from %s goes on past %zu bytes: it was cut there.",
		        where.host.c_str(), REPLY_BODY_MAX);
	if (out->reply.malformed || !out->reply.head_complete) {
		log_msg(verbosity, LOG_ERR, "The reply from %s is not an HTTP reply.", where.host.c_str());
		return -1;
	}
	return 0;
}

void keep_reply(login_session *s, const std::string &bytes)
{
	size_t n = bytes.size() < REPLY_SIZE ? bytes.size() : REPLY_SIZE;
	memcpy(s->reply, bytes.data(), n);
	s->reply[n] = '\0';
}

bool page_has_marker(const login_session &s, const std::string &bytes)
{
	const char *marker = s.conf->logged_in_string;
	return marker[0] != '\0' && bytes.find(marker) != std::string::npos;
}

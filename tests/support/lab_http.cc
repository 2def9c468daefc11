#include "lab_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <strings.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using clock_type = std::chrono::steady_clock;

// A TCP socket of the namespace `netns_fd` (a socket belongs to the
// namespace of the thread that made it, wherever it is used from), or -1.
int socket_in(int netns_fd)
{
	int fd = -1, err = 0;
	std::thread t([&] {
		if (setns(netns_fd, CLONE_NEWNET) != 0) {
			err = errno;
			return;
		}
		fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
		err = errno;
	});
	t.join();
	errno = err;
	return fd;
}

int ms_left(clock_type::time_point deadline)
{
	auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
	return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_for(int fd, short events, clock_type::time_point deadline)
{
	for (;;) {
		pollfd p{fd, events, 0};
		int n = poll(&p, 1, ms_left(deadline));
		if (n > 0)
			return true;
		if (n == 0 || errno != EINTR)
			return false;
	}
}

bool send_all(int fd, const std::string &text, clock_type::time_point deadline)
{
	for (size_t done = 0; done < text.size();) {
		ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
		if (n > 0)
			done += static_cast<size_t>(n);
		else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
			if (!wait_for(fd, POLLOUT, deadline))
				return false;
		} else
			return false;
	}
	return true;
}

std::string header_value(const std::string &head, const std::string &name)
{
	for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
		size_t line = at + 2;
		if (strncasecmp(head.c_str() + line, (name + ":").c_str(), name.size() + 1) != 0)
			continue;
		size_t v = head.find_first_not_of(" \t", line + name.size() + 1);
		size_t end = head.find("\r\n", line);
		return v == std::string::npos || v >= end ? "" : head.substr(v, end - v);
	}
	return "";
}

}  // namespace

HttpReply http_get(int netns_fd, const std::string &address, int port, const std::string &target,
                   const std::string &host, const std::string &extra_headers, int timeout_ms)
{
	HttpReply r;
	auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
		r.error = "not an IPv4 address: " + address;
		return r;
	}
	unique_fd s(socket_in(netns_fd));
	if (!s) {
		r.error = std::string("no socket in the namespace: ") + strerror(errno);
		return r;
	}
	if (connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
		r.error = std::string("connect: ") + strerror(errno);
		return r;
	}
	int err = 0;
	socklen_t len = sizeof err;
	if (!wait_for(s.get(), POLLOUT, deadline) || getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 ||
	    err != 0) {
		r.error = "connect to " + address + ":" + std::to_string(port) + ": " +
		          (err != 0 ? strerror(err) : "no answer in time");
		return r;
	}
	std::string req = "GET " + target + " HTTP/1.0\r\nHost: " + (host.empty() ? address : host) +
	                  "\r\nUser-Agent: Mozilla/5.0 (kavri lab)\r\nAccept: */*\r\n" + extra_headers + "\r\n";
	if (!send_all(s.get(), req, deadline)) {
		r.error = std::string("send: ") + strerror(errno);
		return r;
	}
	std::string got;
	char buf[4096];
	for (;;) {
		ssize_t n = recv(s.get(), buf, sizeof buf, 0);
		if (n > 0) {
			got.append(buf, static_cast<size_t>(n));
			continue;
		}
		if (n == 0)
			break;
		if ((errno == EAGAIN || errno == EINTR) && wait_for(s.get(), POLLIN, deadline))
			continue;
		r.error = errno == EAGAIN ? "no whole reply in time" : std::string("recv: ") + strerror(errno);
		return r;
	}
	size_t end = got.find("\r\n\r\n");
	int status = 0;
	if (end == std::string::npos || sscanf(got.c_str(), "HTTP/%*d.%*d %d", &status) != 1) {
		r.error = "not an HTTP reply: " + got.substr(0, 200);
		return r;
	}
	r.status = status;
	r.head = got.substr(0, end);
	r.body = got.substr(end + 4);
	r.location = header_value(r.head, "Location");
	return r;
}

bool split_http_url(const std::string &url, std::string *address, int *port, std::string *target)
{
	const std::string scheme = "http://";
	if (url.compare(0, scheme.size(), scheme) != 0)
		return false;
	size_t slash = url.find('/', scheme.size());
	std::string authority = url.substr(scheme.size(), slash == std::string::npos ? std::string::npos
	                                                                           : slash - scheme.size());
	*target = slash == std::string::npos ? "/" : url.substr(slash);
	size_t colon = authority.find(':');
	*address = authority.substr(0, colon);
	*port = colon == std::string::npos ? 80 : atoi(authority.c_str() + colon + 1);
	return !address->empty() && *port > 0;
}

namespace {

// The value of attribute `name` in the tag text `tag`, which must be
// written name="value"; empty when it has none.
std::string attribute(const std::string &tag, const std::string &name)
{
	const std::string key = " " + name + "=\"";
	size_t at = tag.find(key);
	if (at == std::string::npos)
		return "";
	at += key.size();
	size_t end = tag.find('"', at);
	return end == std::string::npos ? "" : tag.substr(at, end - at);
}

}  // namespace

bool first_form_get(const std::string &page, const std::string &page_url, std::string *url)
{
	size_t open = page.find("<form");
	size_t close = page.find("</form>", open);
	if (open == std::string::npos || close == std::string::npos)
		return false;
	std::string form = page.substr(open, close - open);
	std::string action = attribute(form.substr(0, form.find('>')), "action");
	std::string query;
	for (size_t at = form.find("<input"); at != std::string::npos; at = form.find("<input", at + 1)) {
		std::string tag = form.substr(at, form.find('>', at) - at);
		std::string name = attribute(tag, "name");
		if (name.empty())
			continue;
		if (!query.empty())
			query += '&';
		query += form_encode(name);
		query += '=';
		query += form_encode(attribute(tag, "value"));
	}
	std::string base = page_url.substr(0, page_url.find('?'));
	if (action.empty())
		action = base;
	else if (action[0] == '/') {
		size_t path = base.find('/', strlen("http://"));
		action = base.substr(0, path) + action;
	}
	*url = action + "?" + query;
	return true;
}

std::string form_encode(const std::string &value)
{
	std::string out;
	for (unsigned char c : value) {
		if (isalnum(c) || c == '*' || c == '-' || c == '.' || c == '_')
			out += static_cast<char>(c);
		else if (c == ' ')
			out += '+';
		else {
			char hex[4];
			snprintf(hex, sizeof hex, "%%%02X", c);
			out += hex;
		}
	}
	return out;
}

UpstreamServer::UpstreamServer(int netns_fd)
{
	unique_fd s(socket_in(netns_fd));
	int one = 1;
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(80);
	a.sin_addr.s_addr = htonl(INADDR_ANY);
	if (!s || setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
	    bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s.get(), 16) != 0) {
		error_ = std::string("the upstream server cannot listen on port 80: ") + strerror(errno);
		return;
	}
	int wake[2];
	if (pipe2(wake, O_CLOEXEC) != 0) {
		error_ = "pipe failed";
		return;
	}
	wake_read_.reset(wake[0]);
	wake_write_.reset(wake[1]);
	listen_ = std::move(s);
	thread_ = std::thread([this] { serve(); });
}

UpstreamServer::~UpstreamServer()
{
	if (thread_.joinable()) {
		wake_write_.close_now();
		thread_.join();
	}
}

void UpstreamServer::serve()
{
	for (;;) {
		pollfd p[2] = {{listen_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
		if (poll(p, 2, -1) < 0 && errno != EINTR)
			return;
		if (p[1].revents != 0)
			return;
		if ((p[0].revents & POLLIN) == 0)
			continue;
		unique_fd c(accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
		if (!c)
			continue;
		auto deadline = clock_type::now() + std::chrono::seconds(5);
		std::string req;
		char buf[2048];
		while (req.find("\r\n\r\n") == std::string::npos && req.size() < 65536) {
			ssize_t n = recv(c.get(), buf, sizeof buf, 0);
			if (n > 0)
				req.append(buf, static_cast<size_t>(n));
			else if (n < 0 && (errno == EAGAIN || errno == EINTR) && wait_for(c.get(), POLLIN, deadline))
				continue;
			else
				break;
		}
		if (req.find("\r\n\r\n") == std::string::npos)
			continue;
		size_t sp = req.find(' ');
		std::string path = sp == std::string::npos ? "" : req.substr(sp + 1, req.find(' ', sp + 1) - sp - 1);
		std::string reply;
		if (path.compare(0, 13, "/generate_204") == 0)
			reply = "HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n";
		else {
			std::string page = std::string("<html><body><p>") + UPSTREAM_MARKER + "</p></body></html>\n";
			reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
			        "\r\n\r\n" + page;
		}
		send_all(c.get(), reply, deadline);
		answered_++;
		shutdown(c.get(), SHUT_WR);
	}
}

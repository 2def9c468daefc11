#include "fake_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <strings.h>

#include "http_wire.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t request_cap = 64 * 1024;  // enough for any request we take
constexpr int settle_ms = 2000;            // how long to wait for the client's last bytes

int index_of(Page p)
{
	return static_cast<int>(p);
}

int ms_left(Clock::time_point deadline)
{
	// Rounded up: a pause never ends early.
	auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
	return left > 0 ? static_cast<int>(left) : 0;
}

size_t content_length(const std::string &s, size_t hend)
{
	static const char name[] = "content-length:";
	size_t pos = 0;
	while (pos < hend) {
		size_t eol = s.find('\n', pos);
		if (eol == std::string::npos || eol > hend)
			eol = hend;
		if (eol - pos > sizeof name - 1 && strncasecmp(s.data() + pos, name, sizeof name - 1) == 0) {
			size_t from = pos + sizeof name - 1;
			return http_content_length(std::string_view(s).substr(from, eol - from), request_cap);
		}
		pos = eol + 1;
	}
	return 0;
}

bool request_complete(const std::string &s)
{
	size_t hend = http_header_end(s);
	return hend != std::string::npos && s.size() >= hend + content_length(s, hend);
}

// Blank lines of HTML whitespace: no marker can hide in it.
std::string filler(size_t n)
{
	std::string f(n, ' ');
	for (size_t i = 79; i < n; i += 80)
		f[i] = '\n';
	return f;
}

std::string html(const std::string &title, const std::string &inner)
{
	return "<html><head><title>" + title + "</title></head><body>\n" + inner + "\n</body></html>\n";
}

std::string http_head(Page page, size_t body_len)
{
	const char *status = page == Page::other ? "404 Not Found" : "200 OK";
	return std::string("HTTP/1.0 ") + status + "\r\nContent-Type: text/html\r\nContent-Length: " +
	       std::to_string(body_len) + "\r\n\r\n";
}

}  // namespace

FakeServer::FakeServer(const FakeServerOptions &o) : opts_(o)
{
	if (!o.address.empty()) {
		listen_elsewhere(o);
		return;
	}
	unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
	if (!s)
		return;
	int one = 1;
	setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(o.port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s.get(), 64) != 0)
		return;
	socklen_t len = sizeof a;
	if (getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &len) != 0)
		return;
	port_ = ntohs(a.sin_port);
	start_acceptor(std::move(s));
}

void FakeServer::start_acceptor(unique_fd listener)
{
	loop_.start(std::move(listener), [this](unique_fd conn) { serve(std::move(conn)); });
}

void FakeServer::listen_elsewhere(const FakeServerOptions &o)
{
	addrinfo hints{};
	hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
	hints.ai_socktype = SOCK_STREAM;
	addrinfo *res = nullptr;
	if (getaddrinfo(o.address.c_str(), std::to_string(o.port).c_str(), &hints, &res) != 0)
		return;
	unique_fd s(socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
	int one = 1;
	bool ok = s && setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
	          bind(s.get(), res->ai_addr, res->ai_addrlen) == 0 && listen(s.get(), 64) == 0;
	freeaddrinfo(res);
	sockaddr_storage a{};
	socklen_t len = sizeof a;
	if (!ok || getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &len) != 0)
		return;
	port_ = ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port
	                                      : reinterpret_cast<sockaddr_in *>(&a)->sin_port);
	start_acceptor(std::move(s));
}

FakeServer::~FakeServer()
{
	loop_.stop();
}

int FakeServer::port() const
{
	return port_;
}

bool FakeServer::listening() const
{
	return loop_.listening();
}

void FakeServer::set_behaviour(Page page, Behaviour b, int delay_ms)
{
	std::lock_guard lk(mu_);
	rules_[index_of(page)] = {b, delay_ms};
}

void FakeServer::set_logged_in(bool on)
{
	std::lock_guard lk(mu_);
	logged_in_ = on;
}

bool FakeServer::logged_in() const
{
	std::lock_guard lk(mu_);
	return logged_in_;
}

void FakeServer::set_accept_login(bool on)
{
	std::lock_guard lk(mu_);
	accept_login_ = on;
}

std::vector<RecordedRequest> FakeServer::requests() const
{
	std::unique_lock lk(mu_);
	cv_.wait_for(lk, std::chrono::milliseconds(settle_ms + 500), [this] {
		for (const auto &e : entries_)
			if (e.settling)
				return false;
		return true;
	});
	std::vector<RecordedRequest> out;
	out.reserve(entries_.size());
	for (const auto &e : entries_)
		out.push_back(e.req);
	return out;
}

size_t FakeServer::count(Page page) const
{
	std::lock_guard lk(mu_);
	size_t n = 0;
	for (const auto &e : entries_)
		n += e.req.page == page;
	return n;
}

bool FakeServer::wait_for(Page page, size_t n, int timeout_ms) const
{
	std::unique_lock lk(mu_);
	return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
		size_t c = 0;
		for (const auto &e : entries_)
			c += e.req.page == page;
		return c >= n;
	});
}

void FakeServer::clear_requests()
{
	std::lock_guard lk(mu_);
	entries_.clear();
}

// Waits for `events` on fd, or for the server to stop; fd < 0 just sleeps.
FakeServer::Wait FakeServer::wait_fd(int fd, short events, int timeout_ms) const
{
	auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
	for (;;) {
		if (loop_.stopping())
			return Wait::stop;
		pollfd p[2] = {{loop_.wake_fd(), POLLIN, 0}, {fd, events, 0}};
		int r = poll(p, fd >= 0 ? 2 : 1, timeout_ms < 0 ? -1 : ms_left(deadline));
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0 || p[0].revents != 0)
			return Wait::stop;
		if (r == 0)
			return Wait::timeout;
		return Wait::ready;
	}
}

bool FakeServer::pause(int ms) const
{
	return wait_fd(-1, 0, ms) == Wait::timeout;
}

bool FakeServer::send_all(int fd, const char *p, size_t n) const
{
	while (n > 0) {
		ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
		if (w > 0) {
			p += w;
			n -= static_cast<size_t>(w);
		} else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
			if (wait_fd(fd, POLLOUT, -1) != Wait::ready)
				return false;
		} else {
			return false;  // the client went away
		}
	}
	return true;
}

// Reads until the headers and Content-Length body bytes are in, then takes
// whatever else is already there (the login's extra line feed).
void FakeServer::read_request(int fd, std::string &got) const
{
	char buf[16384];
	bool complete = false;
	for (;;) {
		ssize_t n = read(fd, buf, sizeof buf);
		if (n > 0) {
			got.append(buf, static_cast<size_t>(n));
			if (got.size() >= request_cap)
				return;
			complete = complete || request_complete(got);
			continue;
		}
		if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
			return;
		if (complete)
			return;
		if (errno == EINTR)
			continue;
		if (wait_fd(fd, POLLIN, -1) != Wait::ready)
			return;
	}
}

Page FakeServer::classify(const std::string &req) const
{
	std::string line = req.substr(0, req.find('\n'));
	if (!line.empty() && line.back() == '\r')
		line.pop_back();
	size_t sp1 = line.find(' ');
	if (sp1 == std::string::npos)
		return Page::other;
	size_t sp2 = line.find(' ', sp1 + 1);
	std::string method = line.substr(0, sp1);
	std::string target = line.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
	if (method == "GET" && target == opts_.init_page)
		return Page::status;
	if (method == "POST" && target == opts_.login_page)
		return Page::login;
	if (method == "GET" && target == opts_.logout_page)
		return Page::logout;
	return Page::other;
}

// The page's content; a login or logout changes the state here.
std::string FakeServer::page_locked(Page page)
{
	const std::string form = "<form method=\"post\" action=\"" + opts_.login_page +
	                         "\">\n<input name=\"username\"> <input name=\"password\" type=\"password\">\n"
	                         "<input type=\"submit\" name=\"submitForm\" value=\"Login\">\n</form>";
	switch (page) {
	case Page::status:
		if (logged_in_)
			return html("Access server", "<p>Session active.</p>\n<a href=\"" + opts_.logged_in_marker +
			                                 "\">" + opts_.logged_in_marker + "</a>");
		return html("Access server", "<p>Please sign in.</p>\n" + form);
	case Page::login:
		if (accept_login_) {
			logged_in_ = true;
			return html("Access server", "<p>Welcome.</p>\n<a href=\"" + opts_.logged_in_marker + "\">" +
			                                 opts_.logged_in_marker + "</a>");
		}
		return html("Access server", "<p>Wrong user name or password.</p>\n" + form);
	case Page::logout:
		logged_in_ = false;
		return html("Access server", "<p>Signed out.</p>\n<a href=\"" + opts_.init_page + "\">" +
		                                 opts_.logged_out_marker + "</a>");
	case Page::other:
		break;
	}
	return html("Not found", "<p>No such page.</p>");
}

void FakeServer::append_raw(uint64_t id, const char *p, size_t n)
{
	std::lock_guard lk(mu_);
	for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
		if (it->id == id) {
			it->req.raw.append(p, n);
			return;
		}
}

void FakeServer::set_settling(uint64_t id, bool on)
{
	{
		std::lock_guard lk(mu_);
		for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
			if (it->id == id) {
				it->settling = on;
				break;
			}
	}
	cv_.notify_all();
}

// No answer: keep taking what the client sends until it closes.
void FakeServer::hold(int fd, uint64_t id)
{
	char buf[4096];
	for (;;) {
		if (wait_fd(fd, POLLIN, -1) != Wait::ready)
			return;
		ssize_t n = read(fd, buf, sizeof buf);
		if (n > 0)
			append_raw(id, buf, static_cast<size_t>(n));
		else if (n == 0 || (errno != EAGAIN && errno != EINTR))
			return;
	}
}

// End of answer: FIN, then the client's last bytes until it closes, so that
// nothing is left unread (which would make close() send a reset).
void FakeServer::settle(int fd, uint64_t id)
{
	set_settling(id, true);
	shutdown(fd, SHUT_WR);
	char buf[4096];
	auto deadline = Clock::now() + std::chrono::milliseconds(settle_ms);
	for (;;) {
		ssize_t n = read(fd, buf, sizeof buf);
		if (n > 0) {
			append_raw(id, buf, static_cast<size_t>(n));
			continue;
		}
		if (n == 0 || (errno != EAGAIN && errno != EINTR))
			break;
		int left = ms_left(deadline);
		if (left == 0 || wait_fd(fd, POLLIN, left) != Wait::ready)
			break;
	}
	set_settling(id, false);
}

void FakeServer::serve(unique_fd conn)
{
	int fd = conn.get();
	std::string got;
	read_request(fd, got);
	if (got.empty())
		return;

	Page page = classify(got);
	Rule rule;
	uint64_t id;
	std::string body;
	{
		std::lock_guard lk(mu_);
		rule = rules_[index_of(page)];
		id = next_id_++;
		entries_.push_back({id, {page, got}, false});
		switch (rule.b) {
		case Behaviour::silent:
		case Behaviour::close_at_once:
		case Behaviour::reset:
		case Behaviour::garbage:
			break;
		default:
			body = page_locked(page);
		}
	}
	cv_.notify_all();

	switch (rule.b) {
	case Behaviour::silent:
		hold(fd, id);
		return;
	case Behaviour::reset: {
		// Zero linger: close() drops the connection with RST at once.
		linger l{1, 0};
		setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
		return;
	}
	case Behaviour::close_at_once:
		break;
	case Behaviour::garbage: {
		static const char junk[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"
		                           "~~ *** not a web server *** ~~\r\n\xde\xad\xbe\xef\x7f\x80\x81";
		send_all(fd, junk, sizeof junk - 1);
		break;
	}
	case Behaviour::oversize:
		body = filler(6000) + body;
		break;
	case Behaviour::nul_before_marker:
		body.insert(0, 1, '\0');
		break;
	case Behaviour::stream_1mib:
		body = filler(1024 * 1024) + body;
		break;
	default:
		break;
	}

	std::string head = http_head(page, body.size());
	switch (rule.b) {
	case Behaviour::close_at_once:
	case Behaviour::garbage:
		break;
	case Behaviour::delay:
		if (!pause(rule.delay_ms))
			return;
		if (send_all(fd, head.data(), head.size()))
			send_all(fd, body.data(), body.size());
		break;
	case Behaviour::split:
		if (send_all(fd, head.data(), head.size()) && pause(rule.delay_ms > 0 ? rule.delay_ms : 200))
			send_all(fd, body.data(), body.size());
		break;
	case Behaviour::trickle: {
		std::string all = head + body;
		int step = rule.delay_ms > 0 ? rule.delay_ms : 100;
		for (size_t i = 0; i < all.size(); i++)
			if (!send_all(fd, &all[i], 1) || (i + 1 < all.size() && !pause(step)))
				break;
		break;
	}
	default: {
		std::string all = head + body;
		send_all(fd, all.data(), all.size());
	}
	}
	if (!loop_.stopping())
		settle(fd, id);
}

FullBacklogListener::FullBacklogListener()
{
	unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	if (!s)
		return;
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof a;
	if (bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s.get(), 0) != 0 ||
	    getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &len) != 0)
		return;
	port_ = ntohs(a.sin_port);
	listen_ = std::move(s);

	// Connect until one stays pending: from then on the queue is full and
	// every new SYN is dropped.
	for (int i = 0; i < 8 && !ok_; i++) {
		unique_fd c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
		if (!c)
			return;
		if (connect(c.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
			if (errno != EINPROGRESS)
				return;
			pollfd p{c.get(), POLLOUT, 0};
			if (poll(&p, 1, 300) == 0)
				ok_ = true;
		}
		fillers_.push_back(std::move(c));
	}
}

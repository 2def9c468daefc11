#include "fake_portal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <strings.h>

#include "base/text.h"
#include "http_wire.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t request_cap = 256 * 1024;  // more than any request a client sends
constexpr int read_wait_ms = 5000;          // a request that stalls longer is dropped
constexpr int settle_ms = 2000;             // how long to wait for the client's close
constexpr int send_wait_ms = 5000;          // a client that reads nothing this long is gone

bool same_name(const std::string &a, const std::string &b)
{
	return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string trim(const std::string &s)
{
	size_t b = s.find_first_not_of(" \t");
	if (b == std::string::npos)
		return "";
	size_t e = s.find_last_not_of(" \t\r");
	return s.substr(b, e - b + 1);
}

size_t content_length(const PortalFields &headers)
{
	for (const auto &[name, value] : headers)
		if (same_name(name, "Content-Length"))
			return http_content_length(value, request_cap);
	return 0;
}

// The request line and headers of `s` up to `hend`.
PortalRequest parse_head(const std::string &s, size_t hend)
{
	PortalRequest r;
	size_t pos = 0;
	bool first = true;
	while (pos < hend) {
		size_t eol = s.find('\n', pos);
		if (eol == std::string::npos || eol > hend)
			eol = hend;
		std::string line = s.substr(pos, eol - pos);
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		pos = eol + 1;
		if (first) {
			first = false;
			size_t sp1 = line.find(' ');
			size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
			r.method = line.substr(0, sp1);
			if (sp1 != std::string::npos)
				r.target = line.substr(sp1 + 1, sp2 == std::string::npos ? sp2 : sp2 - sp1 - 1);
			continue;
		}
		if (line.empty())
			break;
		size_t colon = line.find(':');
		if (colon == std::string::npos)
			continue;
		r.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
	}
	size_t q = r.target.find('?');
	r.path = r.target.substr(0, q);
	if (q != std::string::npos)
		r.query = r.target.substr(q + 1);
	return r;
}

std::string percent_decode(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] == '+') {
			out += ' ';
		} else if (s[i] == '%' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 &&
		           hex_digit(s[i + 2]) >= 0) {
			out += static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
			i += 2;
		} else {
			out += s[i];
		}
	}
	return out;
}

const char *reason(int status)
{
	switch (status) {
	case 200: return "OK";
	case 204: return "No Content";
	case 301: return "Moved Permanently";
	case 302: return "Found";
	case 303: return "See Other";
	case 307: return "Temporary Redirect";
	case 308: return "Permanent Redirect";
	case 400: return "Bad Request";
	case 403: return "Forbidden";
	case 404: return "Not Found";
	case 405: return "Method Not Allowed";
	case 511: return "Network Authentication Required";
	default: return "Status";
	}
}

}  // namespace

std::string PortalRequest::header(const std::string &name) const
{
	for (const auto &[n, v] : headers)
		if (same_name(n, name))
			return v;
	return "";
}

bool PortalRequest::has_header(const std::string &name) const
{
	for (const auto &h : headers)
		if (same_name(h.first, name))
			return true;
	return false;
}

std::string PortalRequest::cookie(const std::string &name) const
{
	for (const auto &[n, v] : headers) {
		if (!same_name(n, "Cookie"))
			continue;
		size_t pos = 0;
		while (pos <= v.size()) {
			size_t semi = v.find(';', pos);
			std::string pair = trim(v.substr(pos, semi == std::string::npos ? semi : semi - pos));
			size_t eq = pair.find('=');
			if (eq != std::string::npos && pair.substr(0, eq) == name)
				return pair.substr(eq + 1);
			if (semi == std::string::npos)
				break;
			pos = semi + 1;
		}
	}
	return "";
}

bool PortalRequest::has_cookie(const std::string &name) const
{
	std::string all;
	for (const auto &[n, v] : headers)
		if (same_name(n, "Cookie"))
			all += "; " + v;
	return all.find("; " + name + "=") != std::string::npos ||
	       all.find(";" + name + "=") != std::string::npos;
}

PortalFields PortalRequest::fields() const
{
	return decode_form(method == "GET" || method == "HEAD" ? query : body);
}

std::string PortalRequest::field(const std::string &name) const
{
	for (const auto &[n, v] : fields())
		if (n == name)
			return v;
	return "";
}

bool PortalRequest::has_field(const std::string &name) const
{
	for (const auto &f : fields())
		if (f.first == name)
			return true;
	return false;
}

PortalFields decode_form(const std::string &text)
{
	PortalFields out;
	size_t pos = 0;
	while (pos < text.size()) {
		size_t amp = text.find('&', pos);
		std::string part = text.substr(pos, amp == std::string::npos ? amp : amp - pos);
		pos = amp == std::string::npos ? text.size() : amp + 1;
		if (part.empty())
			continue;
		size_t eq = part.find('=');
		out.emplace_back(percent_decode(part.substr(0, eq)),
		                 eq == std::string::npos ? "" : percent_decode(part.substr(eq + 1)));
	}
	return out;
}

PortalReply &PortalReply::header(const std::string &name, const std::string &value)
{
	headers.emplace_back(name, value);
	return *this;
}

std::string PortalReply::text() const
{
	std::string out = "HTTP/1.0 " + std::to_string(status) + " " + reason(status) + "\r\n";
	if (!content_type.empty())
		out += "Content-Type: " + content_type + "\r\n";
	out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
	for (const auto &[n, v] : headers)
		out += n + ": " + v + "\r\n";
	return out + "\r\n" + body;
}

PortalReply html_page(const std::string &body, int status)
{
	PortalReply r;
	r.status = status;
	r.body = body;
	return r;
}

PortalReply redirect_to(const std::string &location, int status)
{
	PortalReply r;
	r.status = status;
	r.body = "<html><body><a href=\"" + location + "\">moved</a></body></html>\n";
	r.header("Location", location);
	return r;
}

FakePortal::FakePortal(const std::string &address, int port) : address_(address)
{
	unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
	if (!s)
		return;
	int one = 1;
	setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	// Loopback only: anything else is refused here.
	if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 || (ntohl(a.sin_addr.s_addr) >> 24) != 127)
		return;
	if (bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s.get(), 64) != 0)
		return;
	socklen_t len = sizeof a;
	if (getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &len) != 0)
		return;
	port_ = ntohs(a.sin_port);
	loop_.start(std::move(s), [this](unique_fd conn) { serve(std::move(conn)); });
}

FakePortal::~FakePortal()
{
	loop_.stop();
}

std::string FakePortal::url(const std::string &path) const
{
	return "http://" + address_ + ":" + std::to_string(port_) + path;
}

void FakePortal::route(const std::string &method, const std::string &path, PortalHandler handler)
{
	std::lock_guard lk(mu_);
	routes_.push_back({method, path, std::move(handler)});
}

std::vector<PortalRequest> FakePortal::requests() const
{
	std::lock_guard lk(mu_);
	return requests_;
}

size_t FakePortal::count() const
{
	std::lock_guard lk(mu_);
	return requests_.size();
}

size_t FakePortal::count(const std::string &method, const std::string &path) const
{
	std::lock_guard lk(mu_);
	size_t n = 0;
	for (const auto &r : requests_)
		n += (method.empty() || r.method == method) && r.path == path;
	return n;
}

void FakePortal::clear_requests()
{
	std::lock_guard lk(mu_);
	requests_.clear();
}

std::string FakePortal::issue_token()
{
	static thread_local std::mt19937_64 gen{std::random_device{}()};
	std::lock_guard lk(mu_);
	char t[17];
	snprintf(t, sizeof t, "%016llx", static_cast<unsigned long long>(gen() ^ ++token_seq_));
	tokens_.insert(t);
	return t;
}

bool FakePortal::redeem_token(const std::string &t)
{
	std::lock_guard lk(mu_);
	return tokens_.erase(t) == 1;
}

size_t FakePortal::unfinished_replies() const
{
	std::lock_guard lk(mu_);
	return unfinished_;
}

// Waits for `events` on fd: false on a timeout or once the server stops.
bool FakePortal::wait_fd(int fd, short events, int timeout_ms) const
{
	auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
	for (;;) {
		if (loop_.stopping())
			return false;
		auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
		if (left <= 0)
			return false;
		pollfd p[2] = {{loop_.wake_fd(), POLLIN, 0}, {fd, events, 0}};
		int r = poll(p, 2, static_cast<int>(left));
		if (r < 0 && errno == EINTR)
			continue;
		return r > 0 && p[0].revents == 0;
	}
}

// Reads until the headers and Content-Length body bytes are in; false
// when the client closed or stalled before.
bool FakePortal::read_request(int fd, std::string &got) const
{
	char buf[16384];
	for (;;) {
		size_t hend = http_header_end(got);
		if (hend != std::string::npos &&
		    got.size() >= hend + content_length(parse_head(got, hend).headers))
			return true;
		if (got.size() >= request_cap)
			return false;
		ssize_t n = read(fd, buf, sizeof buf);
		if (n > 0) {
			got.append(buf, static_cast<size_t>(n));
			continue;
		}
		if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
			return false;
		if (errno != EINTR && !wait_fd(fd, POLLIN, read_wait_ms))
			return false;
	}
}

bool FakePortal::send_all(int fd, const std::string &bytes) const
{
	const char *p = bytes.data();
	size_t n = bytes.size();
	while (n > 0) {
		ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
		if (w > 0) {
			p += w;
			n -= static_cast<size_t>(w);
		} else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
			if (!wait_fd(fd, POLLOUT, send_wait_ms))
				return false;
		} else {
			return false;  // the client went away
		}
	}
	return true;
}

PortalHandler FakePortal::handler_for(const PortalRequest &r) const
{
	std::lock_guard lk(mu_);
	for (const auto &rt : routes_)
		if ((rt.method.empty() || rt.method == r.method) && (rt.path == "*" || rt.path == r.path))
			return rt.handler;
	return nullptr;
}

void FakePortal::serve(unique_fd conn)
{
	int fd = conn.get();
	std::string got;
	if (!read_request(fd, got))
		return;
	size_t hend = http_header_end(got);
	PortalRequest r = parse_head(got, hend);
	r.body = got.substr(hend);
	r.raw = got;
	{
		std::lock_guard lk(mu_);
		requests_.push_back(r);
	}
	PortalHandler h = handler_for(r);
	std::string reply = h ? h(r) : std::string(html_page("<html><body>Not Found</body></html>\n", 404));
	if (!send_all(fd, reply)) {
		std::lock_guard lk(mu_);
		unfinished_++;
		return;
	}
	// Then wait for the client's close, so that it never sees a reset.
	shutdown(fd, SHUT_WR);
	char buf[4096];
	auto deadline = Clock::now() + std::chrono::milliseconds(settle_ms);
	while (Clock::now() < deadline) {
		ssize_t n = read(fd, buf, sizeof buf);
		if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
			return;
		if (n < 0 && errno != EINTR && !wait_fd(fd, POLLIN, settle_ms))
			return;
	}
}

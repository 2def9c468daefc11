// A programmable web portal of the tests' own: an HTTP/1.0 server on a
// loopback address (127.0.0.1, or 127.0.0.2 and so on where a test needs a
// second host) whose routes hand the parsed request to the test's handlers
// and send back the bytes they return. Every request is recorded, so that
// a test checks what the client sent: the method, the target, the headers,
// the cookies, the fields. Per-visit tokens are issued and redeemed here.
//
// A connection carries one request. After the reply the server shuts its
// sending side and reads on until the client closes (at most 2 s); a client
// that stops reading a long reply ends the connection, nothing more.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "accept_loop.h"

using PortalFields = std::vector<std::pair<std::string, std::string>>;

// One request as the portal read it.
struct PortalRequest {
	std::string method;  // "GET", "POST"...
	std::string target;  // as sent: path and query
	std::string path;    // the target up to '?'
	std::string query;   // after '?', without it; "" when none
	PortalFields headers;  // in order, names as sent, values trimmed
	std::string body;
	std::string raw;  // every byte the request came as

	// The first header of that name (any letter case), "" when none.
	std::string header(const std::string &name) const;
	bool has_header(const std::string &name) const;
	// The value of a cookie of the Cookie header(s), "" when none.
	std::string cookie(const std::string &name) const;
	bool has_cookie(const std::string &name) const;
	// The form fields, decoded (the query of a GET, the body of a POST).
	PortalFields fields() const;
	std::string field(const std::string &name) const;  // first value, "" when none
	bool has_field(const std::string &name) const;
};

// Decode application/x-www-form-urlencoded text ('+' is a space, %XX a byte).
PortalFields decode_form(const std::string &text);

// One reply; `text()` (or the conversion a handler's return makes) gives
// its bytes: status line, Content-Type, Content-Length, the headers, body.
struct PortalReply {
	int status = 200;
	std::string body;
	PortalFields headers;  // added after Content-Type and Content-Length
	std::string content_type = "text/html";

	PortalReply &header(const std::string &name, const std::string &value);
	PortalReply &set_cookie(const std::string &value) { return header("Set-Cookie", value); }
	std::string text() const;
	operator std::string() const { return text(); }
};

PortalReply html_page(const std::string &body, int status = 200);
PortalReply redirect_to(const std::string &location, int status = 302);

// The reply bytes for one request: a handler sees the request and returns
// whatever the portal sends (a PortalReply converts; raw bytes go as they are).
using PortalHandler = std::function<std::string(const PortalRequest &)>;

class FakePortal {
public:
	// `address`: a numeric IPv4 loopback address; `port` 0 takes a free one.
	explicit FakePortal(const std::string &address = "127.0.0.1", int port = 0);
	~FakePortal();  // stops the server, ends every connection
	FakePortal(const FakePortal &) = delete;
	FakePortal &operator=(const FakePortal &) = delete;

	bool listening() const { return loop_.listening(); }
	int port() const { return port_; }
	const std::string &address() const { return address_; }
	// "http://ADDRESS:PORT" followed by `path`.
	std::string url(const std::string &path = "/") const;

	// Requests of `method` ("" for any) on `path` ("*" for any path) go to
	// `handler`; the first route that matches, in the order added, serves.
	// Requests no route takes are answered 404.
	void route(const std::string &method, const std::string &path, PortalHandler handler);

	// Every request read so far, in the order they came.
	std::vector<PortalRequest> requests() const;
	size_t count() const;
	// Requests of that method ("" any) and path.
	size_t count(const std::string &method, const std::string &path) const;
	void clear_requests();

	// A fresh token (16 hex digits) that redeem() takes once.
	std::string issue_token();
	// True when `t` was issued and not redeemed yet; it is used up then.
	bool redeem_token(const std::string &t);

	// How many replies were cut short because the client stopped reading.
	size_t unfinished_replies() const;

private:
	struct Route {
		std::string method, path;
		PortalHandler handler;
	};
	void serve(unique_fd conn);
	bool wait_fd(int fd, short events, int timeout_ms) const;
	bool read_request(int fd, std::string &got) const;
	bool send_all(int fd, const std::string &bytes) const;
	PortalHandler handler_for(const PortalRequest &r) const;

	std::string address_;
	int port_ = 0;

	mutable std::mutex mu_;
	std::vector<Route> routes_;
	std::vector<PortalRequest> requests_;
	std::set<std::string> tokens_;
	unsigned long long token_seq_ = 0;
	size_t unfinished_ = 0;

	// Last: stopped first, while what the connections use still exists.
	AcceptLoop loop_;
};

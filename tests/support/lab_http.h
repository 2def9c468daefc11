// Plain HTTP in network namespaces of a test's own, for the lab of a real
// gateway: one GET sent from inside a namespace, as a browser sends it, and
// the small web server that stands for the Internet behind the gateway.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "base/unique_fd.h"

struct HttpReply {
	int status = 0;        // 0: no reply (no connection, timeout, garbage)
	std::string error;     // why there is no reply
	std::string head;      // status line and headers
	std::string body;
	std::string location;  // the Location header's value, if any
};

// GET `target` (path and query, as sent) from `address`:`port` over a
// socket made in the network namespace `netns_fd`, with HTTP/1.0, a Host
// header `host` (empty: the address), a User-Agent and `extra_headers`
// (each line ending in CRLF). At most `timeout_ms` in all.
HttpReply http_get(int netns_fd, const std::string &address, int port, const std::string &target,
                   const std::string &host = "", const std::string &extra_headers = "", int timeout_ms = 5000);

// "scheme://host[:port]" and the rest of an absolute http URL; false for
// anything else.
bool split_http_url(const std::string &url, std::string *address, int *port, std::string *target);

// The first form of `page` as a browser submits it with GET: its action
// resolved against `page_url` (an absolute http URL, a path, or the page
// itself when empty), a "?" and its named inputs in document order as
// NAME=VALUE, form-encoded, joined by "&". For the gateway's own pages,
// which quote every attribute with "; false when the page has no form.
bool first_form_get(const std::string &page, const std::string &page_url, std::string *url);

// Percent-encoding of a form value as a browser encodes it (space as +).
std::string form_encode(const std::string &value);

// The web server of the lab's Internet, listening on port 80 of every
// address of the namespace `netns_fd`: "/generate_204" (and anything below
// it) is answered 204 No Content, every other GET 200 with a page that holds
// UPSTREAM_MARKER. One connection at a time, each answer HTTP/1.0 and then
// closed.
inline constexpr const char *UPSTREAM_MARKER = "UPSTREAM-OK: the lab's Internet";

class UpstreamServer {
public:
	explicit UpstreamServer(int netns_fd);
	~UpstreamServer();
	UpstreamServer(const UpstreamServer &) = delete;
	UpstreamServer &operator=(const UpstreamServer &) = delete;

	// False, with error(), when it could not listen.
	bool ok() const { return error_.empty(); }
	const std::string &error() const { return error_; }
	// Requests answered so far.
	int answered() const { return answered_; }

private:
	void serve();

	unique_fd listen_, wake_read_, wake_write_;
	std::string error_;
	std::atomic<int> answered_{0};
	std::thread thread_;
};

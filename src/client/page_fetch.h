// One request to a URL taken from a page, a redirect or PROBE_URL, on any
// host: connect (net/connect), TLS for https (each host checked as TLS
// checks SERV: the trust store or TLS_CA_FILE; TLS_PIN for SERV only),
// send, read the reply as HTTP up to its cap, close. One connection per
// request; every wait is bounded by 5 seconds, as the other exchanges'.
#pragma once

#include <string>

#include "base/session.h"
#include "http/reply.h"
#include "http/url.h"
#include "net/transport.h"

struct fetched_page {
	std::string bytes;  // as read, at most REPLY_READ_MAX
	http_reply reply;   // its body at most REPLY_BODY_MAX
};

// Send `request` to `where` and read its reply. `shown` names the URL in
// the messages (a form's URL without the user's fields in its query).
// 0 with the reply read (-d shows it, and says so when it was cut), -1
// after one reported failure (connect, TLS, send, no reply, read, not
// HTTP).
int fetch_page(const login_config &c, const url &where, const std::string &request, const char *shown,
               unsigned verbosity, fetched_page *out);

// Read until the server closes, the bytes make a complete HTTP reply, the
// reply is over REPLY_READ_MAX, or 5 seconds from the first wait have
// passed. 0, or -1 with errno when nothing came: ETIMEDOUT without an
// answer, else the read's error.
int read_page(const transport &link, std::string *bytes);

// The URL of `page` (a path) on SERV: http, or https with TLS, the port
// only when it is not the scheme's default.
std::string serv_url(const login_config &c, const char *page);

// The start of `bytes` into the session's reply buffer, so that the
// usual reports show the latest reply.
void keep_reply(login_session *s, const std::string &bytes);

// Whether the logged-in marker occurs anywhere in `bytes`.
bool page_has_marker(const login_session &s, const std::string &bytes);

// Whether `host` (a URL's) is SERV, so that TLS_PIN applies to it.
bool host_is_serv(const login_config &c, const std::string &host);

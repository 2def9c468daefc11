// The requests a form login composes for URLs taken from pages, replies
// and PROBE_URL: HTTP/1.0 with what a browser sends. Text only; no I/O.
#pragma once

#include <string>
#include <string_view>

#include "http/url.h"

// The User-Agent every request of kavri that names one sends.
extern const char KAVRI_USER_AGENT[];

struct page_request {
	bool post = false;    // POST with `body` as application/x-www-form-urlencoded, else GET
	url target;           // where the request goes
	std::string referer;  // the page's URL (url_referer); empty: none
	std::string cookie;   // the jar's Cookie value for `target`; empty: none
	std::string body;     // a POST's encoded fields
};

// The request's text: "GET|POST target HTTP/1.0", then Host (with the
// port when it is not the scheme's default), User-Agent, Accept: */*,
// Referer and Cookie when there are any, and for a POST Content-Type and
// the exact Content-Length before the body; every line ends in CRLF.
std::string compose_page_request(const page_request &r);

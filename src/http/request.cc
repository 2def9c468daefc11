#include "http/request.h"

#include <cstdio>
#include <cstring>

namespace {

// snprintf's count tells whether the text fitted; a request that did not
// is never sent in part, so the buffer is left empty.
int fitted(int n, char *out, size_t size)
{
	if (n < 0 || static_cast<size_t>(n) >= size) {
		if (size > 0)
			out[0] = '\0';
		return -1;
	}
	return n;
}

// The server as the Host and Referer headers write it: an IPv6 address
// (the only form with a colon) in brackets, as a URL needs it, and
// without its zone ("%wlan0"), which names an interface of this host and
// means nothing to the server. `name` holds the text up to `length`.
struct host_text {
	const char *open, *name, *close;
	int length;
};

host_text host_of(const char *server)
{
	bool v6 = strchr(server, ':') != nullptr;
	size_t n = v6 ? strcspn(server, "%") : strlen(server);
	return {v6 ? "[" : "", server, v6 ? "]" : "", static_cast<int>(n)};
}

// The scheme of the Referer: the one the exchange speaks.
const char *scheme_of(const login_config &c)
{
	return c.tls ? "https" : "http";
}

size_t len_or_zero(const char *text)
{
	return text != nullptr ? strlen(text) : 0;
}

}  // namespace

int compose_probe_request(const login_config &c, char *out, size_t size)
{
	host_text h = host_of(c.server);
	int n = snprintf(out, size, "GET %s HTTP/1.0\r\nReferer: %s://%s%.*s%s\r\nHost: %s%.*s%s\r\nAccept: */*\r\n\r\n",
	                 c.init_page, scheme_of(c), h.open, h.length, h.name, h.close, h.open, h.length, h.name, h.close);
	return fitted(n, out, size);
}

int compose_logout_request(const login_config &c, char *out, size_t size)
{
	host_text h = host_of(c.server);
	int n = snprintf(out, size,
	                 "GET %s HTTP/1.0\r\nReferer: %s://%s%.*s%s%s\r\nHost: %s%.*s%s\r\nAccept: */*\r\n\r\n",
	                 c.logout_page, scheme_of(c), h.open, h.length, h.name, h.close, c.init_page, h.open, h.length,
	                 h.name, h.close);
	return fitted(n, out, size);
}

int compose_login_request(const login_config &c, const char *form, char *out, size_t size)
{
	int content_length = static_cast<int>(strlen(form)) + 1;
	host_text h = host_of(c.server);
	int n = snprintf(out, size,
	                 "POST %s HTTP/1.0\r\nHost: %s%.*s%s\r\nUser-Agent: kavri v" KAVRI_VERSION "\r\nAccept: */*\r\n"
	                 "Referer: %s://%s%.*s%s%s\r\nContent-type: application/x-www-form-urlencoded\r\n"
	                 "Content-length: %d\r\n\r\n%s\n\n",
	                 c.login_page, h.open, h.length, h.name, h.close, scheme_of(c), h.open, h.length, h.name, h.close,
	                 c.init_page, content_length, form);
	return fitted(n, out, size);
}

size_t login_form_capacity(const login_config &c)
{
	return len_or_zero(c.login_header) + len_or_zero(c.username_key) + len_or_zero(c.username) +
	       len_or_zero(c.password_key) + len_or_zero(c.password) + len_or_zero(c.login_footer) + 22;
}

int compose_login_form(const login_config &c, char *out, size_t size)
{
	size_t used = 0;
	auto put = [&](int n) {
		if (n > 0)
			used += static_cast<size_t>(n);
		if (used >= size)
			used = size - 1;
	};
	out[0] = '\0';
	if (c.login_header != nullptr)
		put(snprintf(out, size, "%s&", c.login_header));
	put(snprintf(out + used, size - used, "%s=%s&%s=%s", c.username_key, c.username, c.password_key,
	             c.password));
	if (c.login_footer != nullptr)
		put(snprintf(out + used, size - used, "&%s", c.login_footer));
	return static_cast<int>(used);
}

void plus_for_spaces(const char *form, char *out)
{
	for (;; form++, out++) {
		*out = *form == ' ' ? '+' : *form;
		if (*form == '\0')
			break;
	}
}

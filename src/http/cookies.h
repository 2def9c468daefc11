// Cookies for one login, as RFC 6265 has a user agent read Set-Cookie
// (section 5.2), store it (5.3) and send it back (5.4). Kept in memory,
// for the login that received them; a cookie's lifetime is that login,
// so of Expires and Max-Age only the removal they ask for matters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/url.h"

// A hostile server can store this much and no more: the bytes of one
// cookie (name, value, domain, path), the cookies, and their bytes in all.
inline constexpr size_t COOKIE_SIZE_MAX = 4096;
inline constexpr size_t COOKIES_MAX = 50;
inline constexpr size_t COOKIE_JAR_SIZE_MAX = 16384;

// A Set-Cookie header's value, as section 5.2 parses it.
struct set_cookie {
	std::string name;
	std::string value;
	std::optional<std::string> domain;  // lower case, its leading "." removed
	std::optional<std::string> path;    // only a path that starts with "/"
	std::optional<int64_t> max_age;     // seconds
	std::optional<int64_t> expires;     // seconds since the epoch
	bool secure = false;
	bool http_only = false;  // read, and of no use to a client without scripts
};

// Empty when the cookie is to be ignored: no "=" in its name-value pair,
// an empty name, or a control character other than a tab anywhere (it
// would end up in a request's Cookie header).
std::optional<set_cookie> parse_set_cookie(std::string_view header_value);
// Section 5.1.1's cookie-date, as seconds since the epoch.
std::optional<int64_t> parse_cookie_date(std::string_view text);

// Sections 5.1.3 and 5.1.4, on canonical (lower-case) host names.
bool domain_match(std::string_view string, std::string_view domain_string);
std::string default_path(std::string_view uri_path);
bool path_match(std::string_view request_path, std::string_view cookie_path);

struct cookie {
	std::string name;
	std::string value;
	std::string domain;
	std::string path;
	bool host_only;
	bool secure_only;
};

// The cookies of one login, oldest first.
struct cookie_jar {
	std::vector<cookie> cookies;
	size_t size = 0;  // the bytes of all its cookies
};

enum class cookie_stored { stored, removed, ignored };

// Section 5.3: the cookie a reply to `request` set, at time `now`
// (seconds since the epoch). It replaces the cookie of the same name,
// domain and path. Max-Age <= 0, or an Expires in the past without a
// Max-Age, removes that cookie. Ignored: what parse_set_cookie ignores, a
// Domain the request's host does not domain-match, a Domain of one label
// ("com", "local": taken for a public suffix, kept host-only when it is
// the request's host itself), a cookie over COOKIE_SIZE_MAX, one that
// would take the jar over COOKIES_MAX or COOKIE_JAR_SIZE_MAX.
cookie_stored cookie_jar_store(cookie_jar &jar, std::string_view set_cookie_value, const url &request,
			       int64_t now);
// Section 5.4: the Cookie header's value for a request to `request`
// (empty: send none). Longer paths first, then older cookies first.
std::string cookie_header(const cookie_jar &jar, const url &request);

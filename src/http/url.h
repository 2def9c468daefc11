// URLs as RFC 3986 reads them: a reference split into its five parts, the
// resolution of a reference against a base (section 5.2), and the one
// record of a parsed absolute URL that the requests are made from.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// A URI reference split as RFC 3986 appendix B splits it. A part that is
// absent is not the same as one that is empty ("http://a/?" has an empty
// query), hence the optionals; the path is always there, maybe empty.
struct uri_reference {
	std::optional<std::string> scheme;
	std::optional<std::string> authority;
	std::string path;
	std::optional<std::string> query;
	std::optional<std::string> fragment;
};

// Appendix B: every string splits; nothing is decoded. The part before
// the first ":" is taken as the scheme only when section 3.1's grammar
// allows it (ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )), so that
// "a b:c" or "1:x" stays a relative path, as browsers read it.
uri_reference split_reference(std::string_view text);
// Section 5.3: the parts written back as one string.
std::string recompose(const uri_reference &u);
// Section 5.2.4 and section 5.2.3.
std::string remove_dot_segments(std::string_view input);
std::string merge(const uri_reference &Base, std::string_view R_path);
// Section 5.2.2, strict (a reference with a scheme is never relative):
// the target T of the reference R against the base URI Base.
uri_reference resolve_reference(const uri_reference &Base, const uri_reference &R);

// A parsed absolute URL. Scheme and host are lower-cased; an IPv6 host is
// kept without its brackets in the canonical text inet_ntop writes, and
// its zone (RFC 6874) apart; the path has no dot segments, and is "/" at
// least for http and https.
struct url {
	std::string scheme;
	bool web = false;  // http or https: the only schemes a request can go to
	bool has_authority = false;  // always for http and https
	std::optional<std::string> userinfo;
	std::string host;  // empty only for a scheme other than http and https
	bool ipv6 = false;
	std::string zone;  // an IPv6 zone id as written after "%25"; empty when none
	int port = 0;      // the one given, else the scheme's default (0 when it has none)
	bool port_given = false;
	std::string path;
	std::optional<std::string> query;
	std::optional<std::string> fragment;
};

// The default port of a scheme: 80 for http, 443 for https, else 0.
int default_port(std::string_view scheme);

// An absolute URL as a page or a reply writes it, read as browsers read it
// first (the WHATWG URL standard): leading and trailing spaces and control
// characters trimmed, tabs and line ends removed anywhere, a backslash
// before the query read as "/" when the scheme is http or https, and in
// the path, query and fragment every control character, space, byte
// above 0x7e and `"<>` percent-encoded (the path also `#?{}` and the
// backquote, the fragment the backquote). Empty when the text is not an
// absolute URL or its authority is unusable: a host that is not a
// reg-name of unreserved and sub-delims characters (a percent-encoded
// host included), a bad IPv6 literal, an IPvFuture, a port that is not a
// number from 1 to 65535, an http or https URL without a host.
std::optional<url> url_parse(std::string_view text);
// A reference from a page or a reply (a Location, an action, a refresh
// target) resolved against the page's URL, read as url_parse reads text;
// a reference without a scheme takes the base's for the backslash rule.
std::optional<url> url_resolve(const url &base, std::string_view reference);

// The URL as text: the explicit port only when it is not the default.
std::string url_text(const url &u);
// The text a Referer carries: url_text without userinfo and fragment.
std::string url_referer(const url &u);
// The request target: path and "?query" when there is a query.
std::string url_target(const url &u);
// The Host header's value: the host, an IPv6 host in brackets without its
// zone, and ":port" only when the port is not the scheme's default.
std::string url_host_header(const url &u);

#include "http/url.h"

#include <arpa/inet.h>

#include <cstdint>

namespace {

bool is_alpha(unsigned char c)
{
	return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}

bool is_digit(unsigned char c)
{
	return c >= '0' && c <= '9';
}

char lower(char c)
{
	return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}

std::string lowered(std::string_view s)
{
	std::string out(s);
	for (char &c : out)
		c = lower(c);
	return out;
}

// Section 3.1: scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
bool is_scheme(std::string_view s)
{
	if (s.empty() || !is_alpha(s[0]))
		return false;
	for (unsigned char c : s)
		if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.')
			return false;
	return true;
}

bool is_unreserved(unsigned char c)
{
	return is_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool is_sub_delim(unsigned char c)
{
	switch (c) {
	case '!': case '$': case '&': case '\'': case '(': case ')':
	case '*': case '+': case ',': case ';': case '=':
		return true;
	}
	return false;
}

// The WHATWG URL standard's percent-encode sets: which bytes of a path,
// query or fragment a browser writes as %XX.
enum class part { path, query, fragment };

bool encoded_in(part p, unsigned char c)
{
	if (c <= 0x20 || c > 0x7e || c == '"' || c == '<' || c == '>')
		return true;
	switch (p) {
	case part::path:
		return c == '#' || c == '?' || c == '`' || c == '{' || c == '}';
	case part::query:
		return c == '#';
	case part::fragment:
		return c == '`';
	}
	return false;
}

std::string percent_encoded(part p, std::string_view s)
{
	static constexpr char hex[] = "0123456789ABCDEF";
	std::string out;
	out.reserve(s.size());
	for (unsigned char c : s) {
		if (encoded_in(p, c)) {
			out += '%';
			out += hex[c >> 4];
			out += hex[c & 15];
		} else {
			out += char(c);
		}
	}
	return out;
}

// What a browser does to a URL's text before it reads it: trim C0
// controls and spaces at both ends, drop tabs and line ends anywhere,
// and for http and https read a backslash before the query as "/".
// `web_base`: the base a scheme-less reference resolves against is http
// or https.
std::string browser_cleaned(std::string_view text, bool web_base)
{
	size_t b = 0, e = text.size();
	while (b < e && static_cast<unsigned char>(text[b]) <= 0x20)
		b++;
	while (e > b && static_cast<unsigned char>(text[e - 1]) <= 0x20)
		e--;
	std::string s;
	for (char c : text.substr(b, e - b))
		if (c != '\t' && c != '\n' && c != '\r')
			s += c;
	size_t colon = s.find_first_of(":/?#");
	bool web = web_base;
	if (colon != std::string::npos && s[colon] == ':' && is_scheme(std::string_view(s).substr(0, colon))) {
		std::string scheme = lowered(std::string_view(s).substr(0, colon));
		web = scheme == "http" || scheme == "https";
	}
	if (web)
		for (char &c : s) {
			if (c == '?' || c == '#')
				break;
			if (c == '\\')
				c = '/';
		}
	return s;
}

// host [ ":" port ] of an authority, userinfo removed, into u.
bool parse_host_port(std::string_view hp, url &u)
{
	std::string_view port;
	if (!hp.empty() && hp[0] == '[') {
		size_t close = hp.find(']');
		if (close == std::string_view::npos)
			return false;
		std::string_view literal = hp.substr(1, close - 1);
		std::string_view rest = hp.substr(close + 1);
		if (!rest.empty()) {
			if (rest[0] != ':')
				return false;
			port = rest.substr(1);
		}
		// RFC 6874: IPv6addrz = IPv6address "%25" ZoneID
		size_t pct = literal.find('%');
		std::string_view addr = literal.substr(0, pct);
		if (pct != std::string_view::npos) {
			std::string_view z = literal.substr(pct);
			if (z.substr(0, 3) != "%25" || z.size() == 3)
				return false;
			for (unsigned char c : z.substr(3))
				if (!is_unreserved(c) && c != '%')
					return false;
			u.zone = z.substr(3);
		}
		std::string a(addr);
		unsigned char bytes[16];
		char text[INET6_ADDRSTRLEN];
		if (inet_pton(AF_INET6, a.c_str(), bytes) != 1 || !inet_ntop(AF_INET6, bytes, text, sizeof text))
			return false;
		u.host = text;
		u.ipv6 = true;
	} else {
		size_t colon = hp.rfind(':');
		std::string_view name = hp.substr(0, colon);
		if (colon != std::string_view::npos)
			port = hp.substr(colon + 1);
		for (unsigned char c : name)
			if (!is_unreserved(c) && !is_sub_delim(c))
				return false;
		u.host = lowered(name);
	}
	u.port = default_port(u.scheme);
	if (!port.empty()) {
		long v = 0;
		for (unsigned char c : port) {
			if (!is_digit(c))
				return false;
			v = v * 10 + (c - '0');
			if (v > 65535)
				return false;
		}
		if (v == 0)
			return false;
		u.port = int(v);
		u.port_given = true;
	}
	return true;
}

// An absolute URI T, its parts percent-encoded, as the record.
std::optional<url> url_of(const uri_reference &T)
{
	if (!T.scheme)
		return std::nullopt;
	url u;
	u.scheme = lowered(*T.scheme);
	u.web = u.scheme == "http" || u.scheme == "https";
	u.port = default_port(u.scheme);
	if (T.authority) {
		std::string_view a = *T.authority;
		size_t at = a.rfind('@');
		if (at != std::string_view::npos) {
			for (unsigned char c : a.substr(0, at))
				if (c <= 0x20 || c > 0x7e)
					return std::nullopt;
			u.userinfo = a.substr(0, at);
			a = a.substr(at + 1);
		}
		u.has_authority = true;
		if (!parse_host_port(a, u))
			return std::nullopt;
	}
	if (u.web && u.host.empty())
		return std::nullopt;
	u.path = T.path;
	if (u.web && u.path.empty())
		u.path.assign(1, '/');  // section 6.2.3
	u.query = T.query;
	u.fragment = T.fragment;
	return u;
}

// The reference as split, each part percent-encoded as browsers encode it.
uri_reference encoded_reference(std::string_view cleaned)
{
	uri_reference R = split_reference(cleaned);
	R.path = percent_encoded(part::path, R.path);
	if (R.query)
		R.query = percent_encoded(part::query, *R.query);
	if (R.fragment)
		R.fragment = percent_encoded(part::fragment, *R.fragment);
	return R;
}

}  // namespace

uri_reference split_reference(std::string_view s)
{
	// ^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\?([^#]*))?(#(.*))?
	uri_reference r;
	size_t i = s.find_first_of(":/?#");
	if (i != std::string_view::npos && s[i] == ':' && is_scheme(s.substr(0, i))) {
		r.scheme = s.substr(0, i);
		s.remove_prefix(i + 1);
	}
	if (s.substr(0, 2) == "//") {
		s.remove_prefix(2);
		i = s.find_first_of("/?#");
		r.authority = s.substr(0, i);
		s.remove_prefix(i == std::string_view::npos ? s.size() : i);
	}
	i = s.find_first_of("?#");
	r.path = s.substr(0, i);
	s.remove_prefix(i == std::string_view::npos ? s.size() : i);
	if (!s.empty() && s[0] == '?') {
		i = s.find('#');
		r.query = s.substr(1, i == std::string_view::npos ? std::string_view::npos : i - 1);
		s.remove_prefix(i == std::string_view::npos ? s.size() : i);
	}
	if (!s.empty() && s[0] == '#')
		r.fragment = s.substr(1);
	return r;
}

std::string recompose(const uri_reference &u)
{
	std::string result;
	if (u.scheme)
		result += *u.scheme + ":";
	if (u.authority)
		result += "//" + *u.authority;
	result += u.path;
	if (u.query)
		result += "?" + *u.query;
	if (u.fragment)
		result += "#" + *u.fragment;
	return result;
}

std::string remove_dot_segments(std::string_view input)
{
	// The input buffer is read from i on; "replace that prefix with '/'"
	// writes the "/" over the prefix's last byte and moves i onto it.
	std::string in(input);
	size_t i = 0;
	std::string output;
	auto rest = [&] { return std::string_view(in).substr(i); };
	auto remove_last_segment = [&] {
		size_t slash = output.rfind('/');
		output.erase(slash == std::string::npos ? 0 : slash);
	};
	while (i < in.size()) {
		std::string_view r = rest();
		if (r.starts_with("../")) {  // A
			i += 3;
		} else if (r.starts_with("./")) {
			i += 2;
		} else if (r.starts_with("/./")) {  // B
			i += 2;
		} else if (r == "/.") {
			in[i + 1] = '/';
			i += 1;
		} else if (r.starts_with("/../")) {  // C
			i += 3;
			remove_last_segment();
		} else if (r == "/..") {
			in[i + 2] = '/';
			i += 2;
			remove_last_segment();
		} else if (r == "." || r == "..") {  // D
			i = in.size();
		} else {  // E
			size_t next = in.find('/', i + 1);
			if (next == std::string::npos)
				next = in.size();
			output.append(in, i, next - i);
			i = next;
		}
	}
	return output;
}

std::string merge(const uri_reference &Base, std::string_view R_path)
{
	if (Base.authority && Base.path.empty())
		return std::string(1, '/').append(R_path);
	size_t slash = Base.path.rfind('/');
	if (slash == std::string::npos)
		return std::string(R_path);
	return Base.path.substr(0, slash + 1) + std::string(R_path);
}

uri_reference resolve_reference(const uri_reference &Base, const uri_reference &R)
{
	uri_reference T;
	if (R.scheme) {
		T.scheme = R.scheme;
		T.authority = R.authority;
		T.path = remove_dot_segments(R.path);
		T.query = R.query;
	} else {
		if (R.authority) {
			T.authority = R.authority;
			T.path = remove_dot_segments(R.path);
			T.query = R.query;
		} else {
			if (R.path.empty()) {
				T.path = Base.path;
				T.query = R.query ? R.query : Base.query;
			} else {
				if (R.path[0] == '/') {
					T.path = remove_dot_segments(R.path);
				} else {
					T.path = merge(Base, R.path);
					T.path = remove_dot_segments(T.path);
				}
				T.query = R.query;
			}
			T.authority = Base.authority;
		}
		T.scheme = Base.scheme;
	}
	T.fragment = R.fragment;
	return T;
}

int default_port(std::string_view scheme)
{
	if (scheme == "http")
		return 80;
	if (scheme == "https")
		return 443;
	return 0;
}

std::optional<url> url_parse(std::string_view text)
{
	uri_reference R = encoded_reference(browser_cleaned(text, false));
	if (!R.scheme)
		return std::nullopt;
	return url_of(resolve_reference(uri_reference{}, R));
}

std::optional<url> url_resolve(const url &base, std::string_view reference)
{
	uri_reference R = encoded_reference(browser_cleaned(reference, base.web));
	return url_of(resolve_reference(split_reference(url_text(base)), R));
}

namespace {

std::string authority_text(const url &u, bool with_userinfo)
{
	std::string a;
	if (with_userinfo && u.userinfo)
		a += *u.userinfo + "@";
	if (u.ipv6) {
		a += "[" + u.host;
		if (!u.zone.empty())
			a += "%25" + u.zone;
		a += "]";
	} else {
		a += u.host;
	}
	if (u.port_given && u.port != default_port(u.scheme))
		a.append(1, ':').append(std::to_string(u.port));
	return a;
}

std::string text_of(const url &u, bool referer)
{
	std::string t = u.scheme + ":";
	if (u.has_authority)
		t.append("//").append(authority_text(u, !referer));
	t += u.path;
	if (u.query)
		t += "?" + *u.query;
	if (u.fragment && !referer)
		t += "#" + *u.fragment;
	return t;
}

}  // namespace

std::string url_text(const url &u)
{
	return text_of(u, false);
}

std::string url_referer(const url &u)
{
	return text_of(u, true);
}

std::string url_target(const url &u)
{
	std::string t = u.path.empty() ? "/" : u.path;
	if (u.query)
		t += "?" + *u.query;
	return t;
}

std::string url_host_header(const url &u)
{
	std::string h = u.ipv6 ? "[" + u.host + "]" : u.host;
	if (u.port != default_port(u.scheme))
		h.append(1, ':').append(std::to_string(u.port));
	return h;
}

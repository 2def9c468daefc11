#include "http/host_match.h"

#include <arpa/inet.h>

#include <cstring>
#include <optional>
#include <string>

namespace {

struct in6 {
	unsigned char bytes[16];
};

// An IPv6 address, in brackets or not, its zone left out.
std::optional<in6> ipv6_of(std::string_view s)
{
	if (s.size() >= 2 && s.front() == '[' && s.back() == ']')
		s = s.substr(1, s.size() - 2);
	s = s.substr(0, s.find('%'));
	std::string text(s);
	in6 a;
	if (text.find(':') == std::string::npos || inet_pton(AF_INET6, text.c_str(), a.bytes) != 1)
		return std::nullopt;
	return a;
}

bool is_ipv4(std::string_view s)
{
	std::string text(s);
	unsigned char a[4];
	return inet_pton(AF_INET, text.c_str(), a) == 1;
}

// A host name as it compares: lower case, without its trailing dot.
std::string name_of(std::string_view s)
{
	if (!s.empty() && s.back() == '.')
		s.remove_suffix(1);
	std::string out(s);
	for (char &c : out)
		if (c >= 'A' && c <= 'Z')
			c = char(c + 32);
	return out;
}

bool entry_matches(std::string_view host, std::string_view entry)
{
	auto h6 = ipv6_of(host);
	if (h6 || ipv6_of(entry)) {
		auto e6 = ipv6_of(entry);
		return h6 && e6 && memcmp(h6->bytes, e6->bytes, 16) == 0;
	}
	std::string h = name_of(host);
	if (entry.front() == '.') {
		std::string domain = name_of(entry.substr(1));
		if (domain.empty() || h.empty() || is_ipv4(h))
			return false;
		return h == domain ||
		       (h.size() > domain.size() && h.ends_with(domain) && h[h.size() - domain.size() - 1] == '.');
	}
	return !h.empty() && h == name_of(entry);
}

std::string_view trimmed(std::string_view s)
{
	while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
		s.remove_prefix(1);
	while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
		s.remove_suffix(1);
	return s;
}

}  // namespace

bool host_gets_password(std::string_view host, std::string_view serv, std::string_view portal_hosts)
{
	serv = trimmed(serv);
	if (!serv.empty() && entry_matches(host, serv))
		return true;
	while (!portal_hosts.empty()) {
		size_t comma = portal_hosts.find(',');
		std::string_view entry = trimmed(portal_hosts.substr(0, comma));
		portal_hosts.remove_prefix(comma == std::string_view::npos ? portal_hosts.size() : comma + 1);
		if (!entry.empty() && entry_matches(host, entry))
			return true;
	}
	return false;
}

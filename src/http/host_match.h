// The one rule for where the user's name and password may go.
#pragma once

#include <string_view>

// Whether a form posted to `host` may carry the user's fields: `host`
// (a URL's host; an IPv6 address with or without brackets) is `serv`, or
// one entry of `portal_hosts`, a comma-separated list with blanks allowed
// around its entries. Host names compare case-insensitively with a
// trailing dot ignored; an entry ".example.net" matches example.net and
// every name under it, never an address ("." alone matches nothing);
// IPv6 addresses compare as addresses ("[::1]" is "0::1"; zones are left
// out), IPv4 addresses as written.
bool host_gets_password(std::string_view host, std::string_view serv, std::string_view portal_hosts);

// The captive-portal API that the network announced (RFC 8910: DHCPv4
// option 114), as the machine's network software recorded it. The
// parsers take a file's text and return the URI; announced_api reads the
// files, in this order, and the first source that knows the interface
// decides:
//   1. systemd-networkd's link state, /run/systemd/netif/links/IFINDEX
//      ("CAPTIVE_PORTAL=" line), unless it says the link is unmanaged;
//   2. dhcpcd's lease, /var/lib/dhcpcd/IFNAME.lease, then
//      /var/lib/dhcpcd/dhcpcd-IFNAME.lease (the DHCP message itself);
//   3. dhclient's leases, /var/lib/dhcp/dhclient.IFNAME.leases, then
//      /var/lib/dhcp/dhclient.leases (its last lease for the interface);
//   4. NetworkManager's dhclient leases, the newest
//      /var/lib/NetworkManager/dhclient-*-IFNAME.lease.
// The files under /run describe this boot, so they come first.
// NetworkManager's own DHCP client keeps its options on D-Bus only, where
// kavri does not look. A URI that is empty or holds a blank or another
// control character counts as none.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// networkd's link state file: the value of CAPTIVE_PORTAL=, or none.
std::optional<std::string> networkd_captive_portal(std::string_view text);
// Whether networkd's link state file says that networkd manages the link.
bool networkd_manages(std::string_view text);

// A DHCPv4 message (RFC 2131) as dhcpcd keeps a lease: option 114, its
// parts joined (RFC 3396), or none. A message too short for its fixed
// part, or without the magic cookie, has none.
std::optional<std::string> dhcp_message_captive_portal(std::string_view bytes);

// dhclient's lease file: in the last lease block whose interface is
// `ifname` (or that names none), the option with code 114 under any name
// dhclient writes it with ("default-url", "captive-portal", "unknown-114",
// "option-114"), quoted text or colon-separated hex bytes; whether the
// file has such a lease at all in `*has_lease`.
std::optional<std::string> dhclient_captive_portal(std::string_view text, std::string_view ifname,
                                                   bool *has_lease = nullptr);

// /proc/net/route: the interface of the IPv4 default route with the lowest
// metric, or none.
std::optional<std::string> default_route_interface(std::string_view text);

struct announced {
	std::string ifname;           // the interface asked about
	std::optional<std::string> uri;  // none: no source recorded an API for it
	std::string source;           // the file that decided, or empty
};

// The API announced for `ifname`, or, when it is null or empty, for the
// interface of the default route. False when there is no such interface.
bool announced_api(const char *ifname, announced *out);

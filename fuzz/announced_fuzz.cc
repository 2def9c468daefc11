// The records of the network's programs, which carry what a DHCP server
// on the network sent, and the captive-portal API's reply: whatever the
// bytes, a verdict, and a URI read from them is never empty and holds no
// NUL.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/captive_api.h"
#include "net/announced_api.h"

static void check(const std::optional<std::string> &uri)
{
	if (uri && (uri->empty() || uri->find('\0') != std::string::npos))
		__builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string_view text(reinterpret_cast<const char *>(data), size);
	check(dhcp_message_captive_portal(text));
	bool has = false;
	check(dhclient_captive_portal(text, "wlan0", &has));
	check(networkd_captive_portal(text));
	networkd_manages(text);
	default_route_interface(text);

	captive_state s;
	std::string why;
	bool ok = read_captive_reply(read_reply(text, true), &s, &why);
	if (ok == !why.empty() || (s.seconds_remaining && *s.seconds_remaining < 0) ||
	    (s.bytes_remaining && *s.bytes_remaining < 0))
		__builtin_trap();
	return 0;
}

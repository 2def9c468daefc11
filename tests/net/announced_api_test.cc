// The captive-portal API a network announced, as each network program
// records it: one file text per row, the URI read from it.
#include "net/announced_api.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string show(const std::optional<std::string> &uri)
{
	return uri ? *uri : "(none)";
}

TEST(AnnouncedApi, NetworkdLinkState)
{
	struct Case {
		std::string text;
		std::string uri;
		bool manages;
	} cases[] = {
		{"# This is private data. Do not parse.\nADMIN_STATE=configured\nOPER_STATE=routable\n"
		 "CAPTIVE_PORTAL=https://portal.example/api\nDNS=10.0.0.1\n",
		 "https://portal.example/api", true},
		{"ADMIN_STATE=configured\nCAPTIVE_PORTAL=\n", "(none)", true},
		{"ADMIN_STATE=configured\n", "(none)", true},
		{"ADMIN_STATE=unmanaged\nCAPTIVE_PORTAL=https://a/\n", "https://a/", false},
		{"ADMIN_STATE=configured\r\nCAPTIVE_PORTAL=https://a/b\r\n", "https://a/b", true},
		{"NOT_CAPTIVE_PORTAL=https://x/\nCAPTIVE_PORTALX=https://y/\n", "(none)", false},
		{"", "(none)", false},
		{std::string("ADMIN_STATE=configured\nCAPTIVE_PORTAL=https://a/\0b\n", 51), "(none)", true},
		{"ADMIN_STATE=configured\nCAPTIVE_PORTAL=https://a/ b\n", "(none)", true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		EXPECT_EQ(show(networkd_captive_portal(c.text)), c.uri);
		EXPECT_EQ(networkd_manages(c.text), c.manages);
	}
}

// A DHCPACK with the options given, after the fixed part and the cookie.
std::string dhcp_message(const std::string &options, bool cookie = true)
{
	std::string m(236, '\0');
	m[0] = 2;  // BOOTREPLY
	m += cookie ? std::string("\x63\x82\x53\x63", 4) : std::string(4, '\0');
	return m + options;
}

std::string option(int code, const std::string &data)
{
	return std::string(1, static_cast<char>(code)) + std::string(1, static_cast<char>(data.size())) + data;
}

TEST(AnnouncedApi, DhcpcdLease)
{
	const std::string ack = option(53, "\x05") + option(1, std::string("\xff\xff\xff\x00", 4));
	struct Case {
		const char *name;
		std::string bytes;
		std::string uri;
	} cases[] = {
		{"option 114", dhcp_message(ack + option(114, "https://p.example/api") + "\xff"), "https://p.example/api"},
		{"after pads", dhcp_message(std::string(3, '\0') + option(114, "https://a/") + "\xff"), "https://a/"},
		{"in two parts (RFC 3396)", dhcp_message(option(114, "https://ex") + ack + option(114, "ample/") + "\xff"),
		 "https://example/"},
		{"ended by a NUL", dhcp_message(option(114, std::string("https://a/\0", 11)) + "\xff"), "https://a/"},
		{"a NUL inside", dhcp_message(option(114, std::string("https://a\0/", 11)) + "\xff"), "(none)"},
		{"none", dhcp_message(ack + "\xff"), "(none)"},
		{"after the end", dhcp_message(ack + "\xff" + option(114, "https://a/")), "(none)"},
		{"cut short", dhcp_message(ack + "\x72\x20https://a"), "(none)"},
		{"no magic cookie", dhcp_message(option(114, "https://a/"), false), "(none)"},
		{"too short", std::string(100, '\0'), "(none)"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(show(dhcp_message_captive_portal(c.bytes)), c.uri);
	}
}

TEST(AnnouncedApi, DhclientLeases)
{
	const std::string old_lease = "lease {\n  interface \"wlan0\";\n  fixed-address 10.0.0.9;\n"
	                              "  option default-url \"https://old.example/api\";\n  expire 1 2026/01/01 00:00:00;\n}\n";
	struct Case {
		const char *name;
		std::string text;
		std::string uri;
		bool has;
	} cases[] = {
		{"default-url", old_lease, "https://old.example/api", true},
		{"the last lease counts",
		 old_lease + "lease {\n  interface \"wlan0\";\n  option default-url \"https://new.example/api\";\n}\n",
		 "https://new.example/api", true},
		{"the last lease has none", old_lease + "lease {\n  interface \"wlan0\";\n  option routers 10.0.0.1;\n}\n",
		 "(none)", true},
		{"another interface's lease",
		 old_lease + "lease {\n  interface \"eth0\";\n  option default-url \"https://eth.example/\";\n}\n",
		 "https://old.example/api", true},
		{"only another interface's",
		 "lease {\n  interface \"eth0\";\n  option default-url \"https://eth.example/\";\n}\n", "(none)", false},
		{"no interface named", "lease { option captive-portal \"https://a/\"; }", "https://a/", true},
		{"unknown-114 as text", "lease {\n interface \"wlan0\";\n option unknown-114 \"https://a/b?c=\\\"d\\\"\";\n}",
		 "https://a/b?c=\"d\"", true},
		{"option-114", "lease { option option-114 \"https://a/\"; }", "https://a/", true},
		{"unknown-114 as hex", "lease {\n option unknown-114 68:74:74:70:73:3a:2f:2f:61:2f;\n}", "https://a/", true},
		{"octal escape", "lease { option default-url \"https://a/\\000\"; }", "https://a/", true},
		{"bad hex", "lease { option unknown-114 68:7:zz; }", "(none)", true},
		{"a line end inside", "lease { option default-url \"https://a/\\012b\"; }", "(none)", true},
		{"a ';' and '}' in quotes", "lease { option domain-name \"x;}y\"; option default-url \"https://a/\"; }",
		 "https://a/", true},
		{"a comment", "# lease { option default-url \"https://c/\"; }\nlease { interface \"wlan0\"; }", "(none)",
		 true},
		{"a default duid line first", "default-duid \"\\000\\001\";\nlease { option default-url \"https://a/\"; }",
		 "https://a/", true},
		{"empty", "", "(none)", false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		bool has = false;
		EXPECT_EQ(show(dhclient_captive_portal(c.text, "wlan0", &has)), c.uri);
		EXPECT_EQ(has, c.has);
	}
}

TEST(AnnouncedApi, DefaultRouteInterface)
{
	const std::string head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
	struct Case {
		const char *name;
		std::string text;
		std::string ifname;
	} cases[] = {
		{"one", head + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
		               "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n",
		 "eth0"},
		{"lowest metric", head + "wlan0\t00000000\t0100000A\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
		                         "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
		 "eth0"},
		{"not up", head + "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", "(none)"},
		{"no default", head + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", "(none)"},
		{"header only", head, "(none)"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(show(default_route_interface(c.text)), c.ifname);
	}
}

}  // namespace

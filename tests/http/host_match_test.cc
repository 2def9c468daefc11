// Where the password may go: one row per host, SERV and PORTAL_HOSTS.
#include "http/host_match.h"

#include <gtest/gtest.h>

namespace {

struct Row {
	const char *host;
	const char *serv;
	const char *portal_hosts;
	bool gets;
};

const Row rows[] = {
	{"192.168.1.1", "192.168.1.1", "", true},
	{"192.168.1.10", "192.168.1.1", "", false},
	{"192.168.1.1", "192.168.001.001", "", false},  // IPv4 as written
	{"gw.example", "GW.Example.", "", true},
	{"gw.example.", "gw.example", "", true},
	{"gw.example.evil", "gw.example", "", false},
	{"evil-gw.example", "gw.example", "", false},
	{"login.example", "gw", "a.example, login.example ,b.example", true},
	{"login.example", "gw", "\tlogin.example\t", true},
	{"login.example", "gw", "login.example.net,example", false},
	{"login.example", "gw", ",,", false},
	{"login.example", "", "", false},
	{"", "", "", false},
	// Domains: the name itself and what is under it.
	{"wifi.campus.example", "gw", ".campus.example", true},
	{"a.b.campus.example", "gw", ".CAMPUS.example.", true},
	{"campus.example", "gw", ".campus.example", true},
	{"evilcampus.example", "gw", ".campus.example", false},
	{"campus.example.evil", "gw", ".campus.example", false},
	{"anything.example", "gw", ".", false},
	{"192.168.1.1", "gw", ".1.1", false},
	{"192.168.1.1", "gw", ".168.1.1", false},
	// IPv6: as addresses.
	{"::1", "[::1]", "", true},
	{"::1", "0::1", "", true},
	{"[0:0::1]", "gw", "x, [::0:1] ", true},
	{"fe80::1", "gw", "fe80::1%eth0", true},
	{"::2", "::1", "", false},
	{"::1", "gw", ".1", false},
	{"::ffff:192.168.1.1", "192.168.1.1", "", false},
};

TEST(HostGetsPassword, ServAndPortalHosts)
{
	for (const Row &r : rows)
		EXPECT_EQ(host_gets_password(r.host, r.serv, r.portal_hosts), r.gets)
			<< "host \"" << r.host << "\", SERV \"" << r.serv << "\", PORTAL_HOSTS \"" << r.portal_hosts << "\"";
}

}  // namespace

// The bounded connect: a server that never takes the connection costs the
// connection step its bound and no more; the name's lookup is inside the
// bound too; an address that never answers does not hide the next one
// (RFC 8305); an IPv6 address with a zone connects through that zone.
#include "net/connect.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "capture.h"
#include "client_support.h"
#include "fake_server.h"
#include "helpers.h"
#include "isolation.h"
#include "netlab.h"

using namespace client_test;

namespace {

// A server that never completes the handshake: the connection step gives
// up after its bound with the text for ETIMEDOUT.
TEST(ConnectTimeout, BoundedToFiveSeconds)
{
	FullBacklogListener black_hole;
	if (!black_hole.ok())
		SKIP_OR_FAIL("no listener with a full accept queue");
	StreamCapture cap;
	auto t0 = std::chrono::steady_clock::now();
	int fd = server_connect("127.0.0.1", static_cast<uint16_t>(black_hole.port()), nullptr, 0);
	int err = errno;
	auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
	cap.stop();
	EXPECT_EQ(fd, -1);
	EXPECT_EQ(err, ETIMEDOUT);
	EXPECT_GE(ms, 4900);
	EXPECT_LT(ms, 20000);
	EXPECT_EQ(messages(cap.err(), getpid()),
	          (std::vector<Msg>{{'E', std::string("Failed to connect to login server (127.0.0.1): ") + strerror(ETIMEDOUT)}}));
	EXPECT_EQ(cap.out(), "");
}

// In a test's isolated child: into a private network, or skip.
#define ENTER_PRIVATE_NETWORK()            \
	do {                                   \
		std::string why_;                  \
		if (!enter_private_network(&why_)) \
			SKIP_OR_FAIL(why_);            \
	} while (0)

bool ip_here(const std::vector<std::string> &args)
{
	std::string why;
	bool done = run_ip(args, &why);
	if (!done)
		ADD_FAILURE() << why;
	return done;
}

// Bind `file` over the system's `path` in the isolated child's own mounts.
void mount_over(const std::string &path, const std::string &file)
{
	ASSERT_EQ(mount(file.c_str(), path.c_str(), nullptr, MS_BIND, nullptr), 0) << path << ": " << strerror(errno);
}

std::string config(const std::string &serv, int port, const TempDir &dir)
{
	return "SERV = " + serv + "\nSERVER_PORT = " + std::to_string(port) +
	       "\nUSER = joe\nPASS = secret\nDEAMON_S = false\nPID_FILE = " + dir.file("pid") + "\n";
}

// A name with an IPv6 address first, whose packets a far namespace drops
// without a word (a blackhole route there), and a working IPv4 address after
// it: the IPv4 attempt starts 250 ms into the first one and wins, so the
// login (a probe and the login, one connection each) takes well under a
// second instead of the whole bound.
TEST(HappyEyeballs, DeadIpv6AddressDoesNotHideWorkingIpv4)
{
	RUN_ISOLATED(true, [] {
		ENTER_PRIVATE_NETWORK();
		FarSide far("up0", "sv0");
		ASSERT_TRUE(far.ok()) << far.error();
		ASSERT_TRUE(far.ip({"addr", "add", "192.0.2.1/24", "dev", "sv0"})) << far.error();
		ASSERT_TRUE(far.ip({"addr", "add", "2001:db8:2::1/64", "dev", "sv0", "nodad"})) << far.error();
		// Dropped there without a word: no route would answer with ICMP.
		ASSERT_TRUE(far.ip({"-6", "route", "add", "blackhole", "2001:db8:dead::/48"})) << far.error();
		ASSERT_TRUE(ip_here({"link", "set", "up0", "up"}));
		ASSERT_TRUE(ip_here({"addr", "add", "192.0.2.2/24", "dev", "up0"}));
		ASSERT_TRUE(ip_here({"addr", "add", "2001:db8:2::2/64", "dev", "up0", "nodad"}));
		ASSERT_TRUE(ip_here({"route", "add", "2001:db8:dead::/48", "via", "2001:db8:2::1", "dev", "up0"}));
		std::unique_ptr<FakeServer> server = far.server("192.0.2.1");
		ASSERT_NE(server, nullptr);

		TempDir dir;
		write_file(dir.file("hosts"), "127.0.0.1 localhost\n2001:db8:dead::1 portal.example\n"
		                              "192.0.2.1 portal.example\n");
		mount_over("/etc/hosts", dir.file("hosts"));
		write_file(dir.file("kavri.conf"), config("portal.example", server->port(), dir));
		auto t0 = std::chrono::steady_clock::now();
		RunResult login = run_program({"-v", "-l", "-c", dir.file("kavri.conf")});
		double took = seconds_since(t0);
		EXPECT_EQ(login.status, 0) << login.err;
		EXPECT_NE(login.out.find("SUCCESSFUL LOGIN"), std::string::npos) << login.out;
		EXPECT_EQ(server->count(Page::status), 1u);
		EXPECT_EQ(server->count(Page::login), 1u);
		EXPECT_LT(took, 2.0) << "the dead address held the run";
		EXPECT_EQ(strip_prefixes(login.err), "");
	});
}

// A name server that takes every query and never answers (a UDP socket
// of the test's, named by a resolv.conf of the test's own): the resolver
// alone would retry for 10 seconds; the connection step ends within its
// bound with the resolver's lines, and nothing is sent (a status probe:
// one exchange).
TEST(HappyEyeballs, ResolverThatNeverAnswersEndsWithinTheBound)
{
	RUN_ISOLATED(true, [] {
		ENTER_PRIVATE_NETWORK();
		unique_fd dns(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
		struct sockaddr_in a = {};
		a.sin_family = AF_INET;
		a.sin_port = htons(53);
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		ASSERT_EQ(bind(dns.get(), reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0) << strerror(errno);
		TempDir dir;
		write_file(dir.file("hosts"), "127.0.0.1 localhost\n");
		write_file(dir.file("resolv.conf"), "nameserver 127.0.0.1\n");
		mount_over("/etc/hosts", dir.file("hosts"));
		mount_over("/etc/resolv.conf", dir.file("resolv.conf"));
		FakeServer server;
		write_file(dir.file("kavri.conf"), config("portal.example", server.port(), dir));

		auto t0 = std::chrono::steady_clock::now();
		RunResult r = run_program({"-s", "-c", dir.file("kavri.conf")});
		double took = seconds_since(t0);
		const std::string dns_lines = "ERR: DNS lookup of login server portal.example failed to resolve to an IP#\n"
		                              "ERR: Try the commands nslookup, host or dig for more details.\n"
		                              "ERR: gethostbyname() returns: Temporary failure in name resolution\n"
		                              "ERR: Failed to connect to login server (portal.example): " +
		                              std::string(strerror(ETIMEDOUT)) + "\n";
		EXPECT_EQ(strip_prefixes(r.err).substr(0, dns_lines.size()), dns_lines) << r.err;
		// One exchange (the probe) within its bound and some slack; the
		// resolver's own retries would take 10 s.
		EXPECT_GE(took, 4.5);
		EXPECT_LT(took, 8.0) << r.err;
		EXPECT_EQ(server.requests().size(), 0u);
	});
}

// A link-local IPv6 address reaches its server only through its zone; the
// zone names this host's interface and goes in no header.
TEST(AddressWithZone, ConnectsThroughTheZoneAndLeavesItOutOfHeaders)
{
	RUN_ISOLATED(true, [] {
		ENTER_PRIVATE_NETWORK();
		FarSide far("up0", "sv0");
		ASSERT_TRUE(far.ok()) << far.error();
		ASSERT_TRUE(far.ip({"addr", "add", "fe80::1/64", "dev", "sv0", "nodad"})) << far.error();
		ASSERT_TRUE(ip_here({"link", "set", "up0", "up"}));
		ASSERT_TRUE(ip_here({"addr", "add", "fe80::2/64", "dev", "up0", "nodad"}));
		std::unique_ptr<FakeServer> server = far.server("fe80::1%sv0");
		ASSERT_NE(server, nullptr);
		TempDir dir;
		write_file(dir.file("kavri.conf"), config("fe80::1%up0", server->port(), dir));
		RunResult r = run_program({"-v", "-l", "-c", dir.file("kavri.conf")});
		EXPECT_EQ(r.status, 0) << r.err;
		auto got = server->requests();
		ASSERT_EQ(got.size(), 2u) << r.err;
		EXPECT_EQ(got[0].raw, probe_bytes("/sd/init", "[fe80::1]"));
		EXPECT_EQ(got[1].raw, login_bytes("/sd/login", "[fe80::1]", "/sd/init",
		                                  "username=joe&password=secret&submitForm=Login"));
	});
}

}  // namespace

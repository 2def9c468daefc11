// The daemon follows the network, with real links: the test moves into a
// network namespace of its own, where kavri and its daemon run, and joins
// it by veth pairs to far namespaces where fake login servers listen.
// Links come up, bounce and flap under the test's hand; the daemon must
// check within seconds when it matters, once per settled change, only for
// its chosen interface, and never when told not to watch. The client side:
// IPv6 addresses and names, and an interface that cannot be used.
// Traffic never leaves the namespaces the test made.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kavri_world.h"
#include "fake_server.h"
#include "helpers.h"
#include "isolation.h"
#include "netlab.h"
#include "syslog_sink.h"

namespace {

using Clock = std::chrono::steady_clock;

// The address of the login server in every far namespace, reached from
// the near side only through a default route (documentation ranges).
const std::string SERVER_V4 = "198.51.100.1";
const std::string NOTICE = "Network changed, checking now.";

// In a test's isolated child: into a private network, or skip.
#define ENTER_PRIVATE_NETWORK()                  \
	do {                                         \
		std::string why_;                        \
		if (!enter_private_network(&why_))       \
			SKIP_OR_FAIL(why_);                  \
	} while (0)

std::string all_lines(pid_t pid)
{
	std::string s;
	for (const auto &l : syslog_lines(pid))
		s += "  " + l.message + "\n";
	return s;
}

// One uplink: `near_if` here with NET.2/24, the far namespace's end with
// NET.1/24 and the server's address, and the server listening there.
struct Uplink {
	std::string near_if, net;
	FarSide far;
	std::unique_ptr<FakeServer> server;

	Uplink(const std::string &near, const std::string &far_if, const std::string &net_prefix)
		: near_if(near), net(net_prefix), far(near, far_if)
	{
		if (far.ok() && far.ip({"addr", "add", net + ".1/24", "dev", far_if}) &&
		    far.ip({"addr", "add", SERVER_V4 + "/32", "dev", far_if}))
			server = far.server(SERVER_V4);
	}
	bool ok() const { return far.ok() && server != nullptr; }

	// The default route through this link (replacing one that is there).
	bool route(const std::string &metric = "0")
	{
		return ip({"route", "replace", "default", "via", net + ".1", "dev", near_if, "metric", metric});
	}
	// Up with its address and the default route, as after a DHCP lease.
	bool bring_up(const std::string &metric = "0")
	{
		return ip({"link", "set", near_if, "up"}) && ip({"addr", "add", net + ".2/24", "dev", near_if}) &&
		       route(metric);
	}
	// Down and up again, and the lease's route back (a link that goes down
	// loses its routes).
	bool bounce(const std::string &metric = "0")
	{
		return ip({"link", "set", near_if, "down"}) && ip({"link", "set", near_if, "up"}) && route(metric);
	}
	static bool ip(const std::vector<std::string> &args)
	{
		std::string why;
		bool done = run_ip(args, &why);
		if (!done)
			ADD_FAILURE() << why;
		return done;
	}
};

class NetworkDaemon : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SYSLOG_CAPTURE();
	}
};

// Started before the uplink (at boot, kavri before the network): the first
// login cannot reach the server; the link, its address and its route
// appear, and within 3 seconds the daemon probes and logs in.
TEST_F(NetworkDaemon, FirstLoginFollowsTheRouteAppearing)
{
	RUN_ISOLATED(true, [] {
		ENTER_PRIVATE_NETWORK();
		Uplink a("up0", "sv0", "192.0.2");
		ASSERT_TRUE(a.ok()) << a.far.error();
		Kavri k(SERVER_V4, a.server->port(), "DEAMON_S = true\n");
		RunResult fg;
		pid_t pid = k.start(&fg);
		ASSERT_GT(pid, 0);
		EXPECT_EQ(fg.status, 255) << "the first login reached nothing";
		EXPECT_TRUE(syslog_wait_for(pid, "Login FAILED!", 0)) << all_lines(pid);
		EXPECT_EQ(a.server->requests().size(), 0u);

		auto t0 = Clock::now();
		ASSERT_TRUE(a.bring_up());
		ASSERT_TRUE(a.server->wait_for(Page::status, 1, 10000)) << all_lines(pid);
		EXPECT_LT(seconds_since(t0), 3.0) << "the probe came late";
		ASSERT_TRUE(a.server->wait_for(Page::login, 1, 5000)) << all_lines(pid);
		ASSERT_TRUE(syslog_wait_for(pid, "Login successful.", 5000)) << all_lines(pid);
		EXPECT_EQ(count_lines(pid, NOTICE), 1u) << all_lines(pid);
		EXPECT_EQ(count_lines(pid, "Forced relogin successful."), 1u) << all_lines(pid);
	});
}

// A Wi-Fi reconnect after the server dropped the session: a new login
// within 3 seconds; with WATCH_NETWORK = no, the bounce goes unnoticed
// until the timer's check, minutes away.
TEST_F(NetworkDaemon, LinkBounceChecksOnlyWhenWatched)
{
	struct Case {
		const char *name;
		const char *extra;
		bool checks;
	} cases[] = {
		{"watched by default", "", true},
		{"WATCH_NETWORK = yes", "WATCH_NETWORK = yes\n", true},
		{"WATCH_NETWORK = no", "WATCH_NETWORK = no\n", false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			ENTER_PRIVATE_NETWORK();
			Uplink a("up0", "sv0", "192.0.2");
			ASSERT_TRUE(a.ok()) << a.far.error();
			ASSERT_TRUE(a.bring_up());
			Kavri k(SERVER_V4, a.server->port(), std::string("DEAMON_S = true\n") + c.extra);
			RunResult fg;
			pid_t pid = k.start(&fg);
			ASSERT_GT(pid, 0);
			EXPECT_EQ(fg.status, 0) << fg.err;
			EXPECT_TRUE(syslog_wait_for(pid, "Login successful.", 0)) << all_lines(pid);

			a.server->set_logged_in(false);
			a.server->clear_requests();
			auto t0 = Clock::now();
			ASSERT_TRUE(a.bounce());
			if (c.checks) {
				ASSERT_TRUE(a.server->wait_for(Page::login, 1, 10000)) << all_lines(pid);
				EXPECT_LT(seconds_since(t0), 3.0) << "the new login came late";
				EXPECT_TRUE(syslog_wait_for(pid, "Forced relogin successful.", 5000)) << all_lines(pid);
				EXPECT_EQ(count_lines(pid, NOTICE), 1u) << all_lines(pid);
				EXPECT_TRUE(a.server->logged_in());
			} else {
				std::this_thread::sleep_for(std::chrono::seconds(5));
				EXPECT_EQ(a.server->requests().size(), 0u) << all_lines(pid);
				EXPECT_EQ(count_lines(pid, NOTICE), 0u) << all_lines(pid);
			}
		});
	}
}

// A running link whose MTU, alias or queue length changes has not come up:
// no check. Down and up again is a link coming up: one check.
TEST_F(NetworkDaemon, OnlyALinkComingUpCounts)
{
	RUN_ISOLATED(true, [] {
		ENTER_PRIVATE_NETWORK();
		Uplink a("up0", "sv0", "192.0.2");
		ASSERT_TRUE(a.ok()) << a.far.error();
		ASSERT_TRUE(a.bring_up());
		Kavri k(SERVER_V4, a.server->port(), "DEAMON_S = true\n");
		RunResult fg;
		pid_t pid = k.start(&fg);
		ASSERT_GT(pid, 0);
		EXPECT_EQ(fg.status, 0) << fg.err;
		// Well past the second that follows the start, when no pass may begin.
		std::this_thread::sleep_for(std::chrono::milliseconds(1500));
		a.server->clear_requests();

		ASSERT_TRUE(Uplink::ip({"link", "set", "up0", "mtu", "1400"}));
		ASSERT_TRUE(Uplink::ip({"link", "set", "up0", "alias", "foo"}));
		ASSERT_TRUE(Uplink::ip({"link", "set", "up0", "txqueuelen", "500"}));
		std::this_thread::sleep_for(std::chrono::seconds(4));
		EXPECT_EQ(a.server->requests().size(), 0u) << all_lines(pid);
		EXPECT_EQ(count_lines(pid, NOTICE), 0u) << all_lines(pid);

		ASSERT_TRUE(a.bounce());
		ASSERT_TRUE(a.server->wait_for(Page::status, 1, 10000)) << all_lines(pid);
		std::this_thread::sleep_for(std::chrono::seconds(4));
		EXPECT_EQ(a.server->count(Page::status), 1u) << all_lines(pid);
		EXPECT_EQ(count_lines(pid, NOTICE), 1u) << all_lines(pid);
	});
}

// 50 flaps within a second: one check, once the network has settled.
TEST_F(NetworkDaemon, FlappingLinkMakesOneCheck)
{
	RUN_ISOLATED(true, [] {
		ENTER_PRIVATE_NETWORK();
		Uplink a("up0", "sv0", "192.0.2");
		ASSERT_TRUE(a.ok()) << a.far.error();
		ASSERT_TRUE(a.bring_up());
		Kavri k(SERVER_V4, a.server->port(), "DEAMON_S = true\n");
		RunResult fg;
		pid_t pid = k.start(&fg);
		ASSERT_GT(pid, 0);
		// Well past the second that follows the start, when no pass may begin.
		std::this_thread::sleep_for(std::chrono::milliseconds(1500));
		a.server->clear_requests();

		std::string batch;
		for (int i = 0; i < 50; i++)
			batch += "link set up0 down\nlink set up0 up\n";
		batch += "route replace default via 192.0.2.1 dev up0\n";
		write_file(k.dir.file("flaps"), batch);
		auto t0 = Clock::now();
		ASSERT_TRUE(Uplink::ip({"-batch", k.dir.file("flaps")}));
		double took = seconds_since(t0);
		ASSERT_LT(took, 1.0) << "the flaps took too long to count as one burst";

		ASSERT_TRUE(a.server->wait_for(Page::status, 1, 10000)) << all_lines(pid);
		EXPECT_GE(seconds_since(t0), took + 0.9) << "checked before the network settled";
		std::this_thread::sleep_for(std::chrono::seconds(4));
		EXPECT_EQ(a.server->count(Page::status), 1u) << all_lines(pid);
		EXPECT_EQ(a.server->count(Page::login), 0u);
		EXPECT_EQ(count_lines(pid, NOTICE), 1u) << all_lines(pid);
		EXPECT_EQ(count_lines(pid, "Forced relogin successful."), 1u) << all_lines(pid);
	});
}

// Two uplinks to two servers with the same address; the default route
// goes through the first. With INTERFACE naming the second, every request
// goes to the second server, and only the second link's events count.
TEST_F(NetworkDaemon, InterfaceChoosesTheUplinkAndItsEvents)
{
	RUN_ISOLATED(true, [] {
		ENTER_PRIVATE_NETWORK();
		Uplink a("up0", "sv0", "192.0.2");
		Uplink b("up1", "sv1", "203.0.113");
		ASSERT_TRUE(a.ok()) << a.far.error();
		ASSERT_TRUE(b.ok()) << b.far.error();
		ASSERT_TRUE(a.bring_up());
		ASSERT_TRUE(b.bring_up("200"));
		ASSERT_EQ(a.server->port(), a.server->port());
		// The same port on both servers, so that only the link decides.
		FakeServerOptions same;
		same.port = a.server->port();
		b.server = b.far.server(SERVER_V4, same);
		ASSERT_NE(b.server, nullptr) << "no second server on port " << same.port;

		Kavri k(SERVER_V4, a.server->port(), "DEAMON_S = true\nINTERFACE = up1\n");
		RunResult fg;
		pid_t pid = k.start(&fg);
		ASSERT_GT(pid, 0);
		EXPECT_EQ(fg.status, 0) << fg.err;
		EXPECT_EQ(b.server->count(Page::status), 1u);
		EXPECT_EQ(b.server->count(Page::login), 1u);
		RunResult status = k.run({"-s", "-v"});
		EXPECT_NE(status.out.find("Current status: CONNECTED"), std::string::npos) << status.out << status.err;
		EXPECT_EQ(b.server->count(Page::status), 2u);

		// The first link bounces: not the daemon's concern.
		ASSERT_TRUE(a.bounce());
		std::this_thread::sleep_for(std::chrono::seconds(4));
		EXPECT_EQ(b.server->count(Page::status), 2u) << all_lines(pid);
		EXPECT_EQ(count_lines(pid, NOTICE), 0u) << all_lines(pid);

		// The second one bounces: a check, through it.
		ASSERT_TRUE(b.bounce("200"));
		ASSERT_TRUE(b.server->wait_for(Page::status, 3, 10000)) << all_lines(pid);
		EXPECT_TRUE(syslog_wait_for(pid, "Forced relogin successful.", 5000)) << all_lines(pid);
		EXPECT_EQ(count_lines(pid, NOTICE), 1u) << all_lines(pid);

		RunResult out = k.run({"-o"});
		EXPECT_EQ(out.status, 0) << out.err;
		EXPECT_EQ(b.server->count(Page::logout), 1u);
		EXPECT_EQ(a.server->requests().size(), 0u) << "a request went out through the default route";
		for (const auto &r : b.server->requests())
			EXPECT_NE(r.raw.find("Host: " + SERVER_V4 + "\r\n"), std::string::npos) << r.raw;
	});
}

// The client alone, in a private network too.
class NetworkClient : public testing::Test {};

// SERV as an IPv6 address, and as a name that resolves only to IPv6 (a
// hosts file of the test's own, in its private mount namespace): login,
// status and logout work, and the requests carry the address in brackets.
TEST_F(NetworkClient, Ipv6AddressAndName)
{
	struct Case {
		const char *name;
		std::string serv;
		std::string host;  // as the Host and Referer headers write it
	} cases[] = {
		{"IPv6 address", "2001:db8:1::1", "[2001:db8:1::1]"},
		{"name with only an IPv6 address", "portal.example", "portal.example"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(true, [&] {
			ENTER_PRIVATE_NETWORK();
			FarSide far("up0", "sv0");
			ASSERT_TRUE(far.ok()) << far.error();
			ASSERT_TRUE(far.ip({"addr", "add", "2001:db8:1::1/64", "dev", "sv0", "nodad"})) << far.error();
			ASSERT_TRUE(Uplink::ip({"link", "set", "up0", "up"}));
			ASSERT_TRUE(Uplink::ip({"addr", "add", "2001:db8:1::2/64", "dev", "up0", "nodad"}));
			std::unique_ptr<FakeServer> server = far.server("2001:db8:1::1");
			ASSERT_NE(server, nullptr);

			TempDir dir;
			std::string hosts = dir.file("hosts");
			write_file(hosts, "127.0.0.1 localhost\n2001:db8:1::1 portal.example\n");
			ASSERT_EQ(mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0) << strerror(errno);

			std::string conf = dir.file("kavri.conf");
			write_file(conf, "SERV = " + c.serv + "\nSERVER_PORT = " + std::to_string(server->port()) +
			                     "\nUSER = joe\nPASS = secret\nDEAMON_S = false\nPID_FILE = " + dir.file("pid") + "\n");
			RunResult login = run_program({"-v", "-l", "-c", conf});
			EXPECT_EQ(login.status, 0) << login.err;
			EXPECT_NE(login.out.find("SUCCESSFUL LOGIN"), std::string::npos) << login.out;
			RunResult status = run_program({"-v", "-s", "-c", conf});
			EXPECT_NE(status.out.find("Current status: CONNECTED"), std::string::npos) << status.out << status.err;
			RunResult logout = run_program({"-o", "-c", conf});
			EXPECT_EQ(logout.status, 0) << logout.err;

			const std::string h = c.host;
			const std::string probe = "GET /sd/init HTTP/1.0\r\nReferer: http://" + h + "\r\nHost: " + h +
			                          "\r\nAccept: */*\r\n\r\n";
			const std::string form = "username=joe&password=secret&submitForm=Login";
			const std::vector<std::string> expected = {
				probe,
				"POST /sd/login HTTP/1.0\r\nHost: " + h + "\r\nUser-Agent: kavri v1.3.3\r\nAccept: */*\r\nReferer: http://" +
					h + "/sd/init\r\nContent-type: application/x-www-form-urlencoded\r\nContent-length: " +
					std::to_string(form.size() + 1) + "\r\n\r\n" + form + "\n\n",
				probe,
				"GET /sd/logout HTTP/1.0\r\nReferer: http://" + h + "/sd/init\r\nHost: " + h +
					"\r\nAccept: */*\r\n\r\n",
			};
			std::vector<std::string> got;
			for (const auto &r : server->requests())
				got.push_back(r.raw);
			EXPECT_EQ(got, expected);
		});
	}
}

// An interface that does not exist, or whose name the system could only
// cut short: one line names it with the system's reason, then the
// exchange's own line, and nothing is sent.
TEST_F(NetworkClient, InterfaceThatCannotBeUsed)
{
	for (const std::string name : {"nosuch0", "a-name-too-long-for-any-interface"}) {
		SCOPED_TRACE(name);
		RUN_ISOLATED(true, [&] {
			ENTER_PRIVATE_NETWORK();
			FakeServer server;
			TempDir dir;
			std::string conf = dir.file("kavri.conf");
			write_file(conf, loopback_config(server.port(), "INTERFACE = " + name + "\n"));
			RunResult r = run_program({"-s", "-c", conf});
			EXPECT_EQ(r.status, 255);
			EXPECT_EQ(strip_prefixes(r.err), "ERR: Cannot bind to interface " + name +
			                                     ": No such device\nERR: Failed to connect to login server "
			                                     "(127.0.0.1): No such device\n");
			EXPECT_EQ(server.requests().size(), 0u);
			// The loopback interface named: the probe goes through it.
			write_file(conf, loopback_config(server.port(), "INTERFACE = lo\n"));
			RunResult lo = run_program({"-s", "-v", "-c", conf});
			EXPECT_NE(lo.out.find("Current status: "), std::string::npos) << lo.out << lo.err;
			EXPECT_EQ(server.count(Page::status), 1u);
		});
	}
}

}  // namespace

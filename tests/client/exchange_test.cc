// The messages, results and replies of the three exchanges against
// servers that answer, refuse and misbehave, with mode words 0, 1 and 5.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "capture.h"
#include "client/probe.h"
#include "client/exchange.h"
#include "client_support.h"
#include "fake_server.h"
#include "transcript.h"

using namespace client_test;

namespace {

const unsigned modes[] = {0, MODE_VERBOSE, MODE_VERBOSE | MODE_DEBUG};
const char default_form[] = "username=joe&password=secret&submitForm=Login";

struct Scenario {
	const char *name;
	std::vector<Path> paths;  // the one it must take (the first that fits)
	// Prepare the server and the session for the exchange.
	void (*setup)(FakeServer &, Page, Exch, Session &);
	// A further check on the reply the exchange kept.
	void (*check_reply)(const Session &);
};

void PrintTo(const Scenario &s, std::ostream *os)
{
	*os << s.name;
}

void normal(FakeServer &, Page, Exch, Session &) {}
void any_reply(const Session &) {}

const Scenario scenarios[] = {
	{"marker_present", {Path::found}, normal, any_reply},
	{"marker_absent", {Path::absent},
	 [](FakeServer &, Page, Exch e, Session &s) { marker_of(e, s) = "no such marker"; }, any_reply},
	{"refused", {Path::refused}, [](FakeServer &, Page, Exch, Session &s) { s.port = closed_port(); },
	 [](const Session &s) { EXPECT_STREQ(s.reply, ""); }},
	{"closes_at_once", {Path::absent},
	 [](FakeServer &f, Page p, Exch, Session &) { f.set_behaviour(p, Behaviour::close_at_once); },
	 [](const Session &s) { EXPECT_STREQ(s.reply, ""); }},
	// The request is read, then the connection is reset: the read fails
	// (or, had the reset come first, the send); the process lives on.
	{"resets", {Path::read_failed, Path::send_failed},
	 [](FakeServer &f, Page p, Exch, Session &) { f.set_behaviour(p, Behaviour::reset); },
	 [](const Session &s) { EXPECT_STREQ(s.reply, ""); }},
	{"split_reply", {Path::found},
	 [](FakeServer &f, Page p, Exch, Session &) { f.set_behaviour(p, Behaviour::split, 300); },
	 [](const Session &s) { EXPECT_NE(strstr(s.reply, "</html>"), nullptr); }},
	{"oversize_reply", {Path::absent},
	 [](FakeServer &f, Page p, Exch, Session &) { f.set_behaviour(p, Behaviour::oversize); },
	 [](const Session &s) { EXPECT_EQ(strlen(s.reply), REPLY_SIZE); }},
	{"endless_reply", {Path::absent},
	 [](FakeServer &f, Page p, Exch, Session &) { f.set_behaviour(p, Behaviour::stream_1mib); },
	 [](const Session &s) { EXPECT_EQ(strlen(s.reply), REPLY_SIZE); }},
	{"not_http", {Path::absent},
	 [](FakeServer &f, Page p, Exch, Session &) { f.set_behaviour(p, Behaviour::garbage); },
	 [](const Session &s) {
		 EXPECT_GT(strlen(s.reply), 0u);
		 EXPECT_EQ(strstr(s.reply, "HTTP"), nullptr);
	 }},
	{"nul_before_marker", {Path::absent},
	 [](FakeServer &f, Page p, Exch, Session &) { f.set_behaviour(p, Behaviour::nul_before_marker); },
	 [](const Session &s) {
		 std::string r = s.reply;
		 EXPECT_EQ(r.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << r;
		 EXPECT_EQ(r.substr(r.size() - 4), "\r\n\r\n") << r;  // the headers, and no more
	 }},
	// Only the low 16 bits reach the connection; the message shows all.
	{"port_above_65535", {Path::found},
	 [](FakeServer &, Page, Exch, Session &s) { s.port += 3 * 65536; }, any_reply},
};

class Exchange : public testing::TestWithParam<std::tuple<Scenario, Exch>> {};

TEST_P(Exchange, MessagesResultAndReply)
{
	const Scenario &sc = std::get<0>(GetParam());
	Exch e = std::get<1>(GetParam());
	FakeServer server;
	ASSERT_TRUE(server.listening());
	for (unsigned mode : modes) {
		SCOPED_TRACE("mode " + std::to_string(mode));
		Session s = make_session(server.port());
		server.set_logged_in(true);  // the status page shows the marker
		sc.setup(server, page_of(e), e, s);
		s.logged_in = 1 - logged_in_after(e, sc.paths[0]);  // the call must change it

		StreamCapture cap;
		int rc = call(e, &s, mode);
		cap.stop();

		Seen seen{s, default_form};
		Path taken = sc.paths[0];
		for (Path p : sc.paths)
			if (streams_follow(e, p, mode, seen, cap.out(), cap.err(), getpid()))
				taken = p;
		EXPECT_TRUE(streams_follow(e, taken, mode, seen, cap.out(), cap.err(), getpid()));
		EXPECT_EQ(rc, result_of(e, taken));
		EXPECT_EQ(s.logged_in, logged_in_after(e, taken));
		EXPECT_EQ(client_sockets_to(server.port()), 0) << "the exchange's socket is closed";
		sc.check_reply(s);
	}
}

INSTANTIATE_TEST_SUITE_P(Servers, Exchange,
                         testing::Combine(testing::ValuesIn(scenarios),
                                          testing::Values(Exch::probe, Exch::login, Exch::logout)),
                         [](const testing::TestParamInfo<std::tuple<Scenario, Exch>> &i) {
	                         return std::string(std::get<0>(i.param).name) + "_" +
	                                exch_name(std::get<1>(i.param));
                         });

// Each exchange and mode word in a child of its own, all at once, so that
// the 5-second waits overlap.
struct Parallel {
	Exch e;
	unsigned mode;
	std::unique_ptr<Child> child;
};

// A server that takes the request and never answers: each exchange ends
// with its own line after its 5-second bound, not before, and not much
// later.
TEST(SilentServer, EachExchangeGivesUpAfterFiveSeconds)
{
	// The children are forked first and get the server's port through a
	// pipe: a fork while the server's threads serve an earlier child could
	// copy a lock one of them holds.
	int gate[2];
	ASSERT_EQ(pipe(gate), 0);
	Session base = make_session(0);
	std::vector<Parallel> runs;
	for (Exch e : {Exch::probe, Exch::login, Exch::logout})
		for (unsigned mode : modes)
			runs.push_back({e, mode, std::make_unique<Child>([e, mode, base, gate]() mutable {
				                close(gate[1]);
				                if (read(gate[0], &base.port, sizeof base.port) != sizeof base.port)
					                return std::string("no port");
				                auto t0 = std::chrono::steady_clock::now();
				                base.logged_in = 1;
				                int rc = call(e, &base, mode);
				                if (client_sockets_to(base.port) != 0)
					                return std::string("socket left open");
				                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
				                              std::chrono::steady_clock::now() - t0)
				                              .count();
				                return report(rc, base, static_cast<long>(ms));
			                })});
	close(gate[0]);
	FakeServer server;
	for (Page p : {Page::status, Page::login, Page::logout})
		server.set_behaviour(p, Behaviour::silent);
	base.port = server.port();
	for (size_t i = 0; i < runs.size() && server.listening(); i++) {
		ssize_t w = write(gate[1], &base.port, sizeof base.port);
		(void)w;
	}
	close(gate[1]);
	ASSERT_TRUE(server.listening());
	for (auto &r : runs) {
		SCOPED_TRACE(std::string(exch_name(r.e)) + " mode " + std::to_string(r.mode));
		ChildResult c = r.child->wait();
		ASSERT_EQ(c.status, 0) << "signal " << c.signal;
		Report got = parse(c.report, base);
		EXPECT_EQ(got.rc, -1);
		EXPECT_EQ(got.logged_in, 0);
		EXPECT_GE(got.ms, 4900);
		EXPECT_LT(got.ms, 20000);
		EXPECT_TRUE(streams_follow(r.e, Path::no_reply, r.mode, Seen{got.s, default_form}, c.out, c.err, c.pid));
	}
}

// A server that sends one byte every 100 ms: the reply ends with what came
// within the one 5-second deadline, and counts as an answer.
TEST(TricklingServer, ReplyCutOffAfterFiveSeconds)
{
	FakeServer server;
	ASSERT_TRUE(server.listening());
	server.set_behaviour(Page::status, Behaviour::trickle, 100);
	Session s = make_session(server.port());
	StreamCapture cap;
	auto t0 = std::chrono::steady_clock::now();
	int rc = http_pre_login(&s, 0);
	auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
	cap.stop();
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(cap.out() + cap.err(), "");
	EXPECT_GE(ms, 4900);
	EXPECT_LT(ms, 20000);
	std::string reply = s.reply;
	EXPECT_EQ(std::string("HTTP/1.0 200 OK\r\n").rfind(reply.substr(0, 17), 0), 0u) << reply;
	EXPECT_GE(reply.size(), 10u) << reply;  // about 50 at 100 ms a byte
	EXPECT_LT(reply.size(), 100u) << reply;
}

// A name under the reserved .invalid domain, looked up in a network
// namespace of its own: no interface is up there, so no query can leave.
TEST(UnresolvableName, ThreeLookupLinesThenTheConnectionLine)
{
	Session base = make_session(80);  // never contacted: the name does not resolve
	base.server = "nowhere.invalid";

	std::vector<Parallel> runs;
	for (Exch e : {Exch::probe, Exch::login, Exch::logout})
		for (unsigned mode : modes)
			runs.push_back({e, mode, std::make_unique<Child>([e, mode, base]() mutable -> std::string {
				                if (unshare(CLONE_NEWNET) != 0)
					                return std::string("no namespace: ") + strerror(errno);
				                // Proof of isolation: no route to anything but loopback.
				                int probe = socket(AF_INET, SOCK_DGRAM, 0);
				                sockaddr_in a{};
				                a.sin_family = AF_INET;
				                a.sin_port = htons(53);
				                a.sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1, never reached
				                if (connect(probe, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ||
				                    errno != ENETUNREACH)
					                return "not isolated";
				                close(probe);
				                base.logged_in = 1;
				                int rc = call(e, &base, mode);
				                return report(rc, base, 0);
			                })});
	for (auto &r : runs) {
		SCOPED_TRACE(std::string(exch_name(r.e)) + " mode " + std::to_string(r.mode));
		ChildResult c = r.child->wait();
		ASSERT_EQ(c.status, 0) << "signal " << c.signal;
		if (c.report.rfind("no namespace", 0) == 0)
			SKIP_OR_FAIL(c.report);
		ASSERT_NE(c.report, "not isolated");
		Report got = parse(c.report, base);
		EXPECT_EQ(got.rc, -1);
		EXPECT_EQ(got.logged_in, 0);
		EXPECT_TRUE(streams_follow(r.e, Path::unresolved, r.mode, Seen{got.s, default_form}, c.out, c.err, c.pid));
	}
}

// A network namespace of our own with loopback up and a send buffer of
// 4 KiB for every socket, so that a request of a few KiB does not fit into
// the socket at once. An empty text on success, else why not.
std::string small_send_buffers()
{
	if (unshare(CLONE_NEWNET) != 0)
		return std::string("no namespace: ") + strerror(errno);
	int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	ifreq ifr{};
	strcpy(ifr.ifr_name, "lo");
	bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && ((ifr.ifr_flags |= IFF_UP), ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
	if (s >= 0)
		close(s);
	if (!up)
		return "no namespace: loopback stays down";
	int fd = open("/proc/sys/net/ipv4/tcp_wmem", O_WRONLY | O_CLOEXEC);
	bool set = fd >= 0 && write(fd, "4096 4096 4096", 14) == 14;
	if (fd >= 0)
		close(fd);
	return set ? "" : "no namespace: tcp_wmem not writable";
}

// One connection through the smallest receive window. A reader takes the
// request only after a pause, so that the client's socket fills up
// meanwhile, and once `want` bytes are in answers with both markers. A
// server that never reads holds the connection until told to stop.
class SlowReader {
public:
	SlowReader(size_t want, bool reads) : want_(want), reads_(reads)
	{
		listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		int tiny = 1;  // the kernel's minimum
		setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
		sockaddr_in a{};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t len = sizeof a;
		if (pipe2(stop_, O_CLOEXEC) != 0 || bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
		    listen(listen_, 1) != 0 || getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
			return;
		port_ = ntohs(a.sin_port);
		thread_ = std::thread([this] { serve(); });
	}
	~SlowReader()
	{
		received();
		close(listen_);
		close(stop_[0]);
	}
	SlowReader(const SlowReader &) = delete;
	SlowReader &operator=(const SlowReader &) = delete;

	int port() const { return port_; }
	// What arrived; call once the exchange is over.
	const std::string &received()
	{
		if (stop_[1] >= 0) {
			close(stop_[1]);
			stop_[1] = -1;
		}
		if (thread_.joinable())
			thread_.join();
		return got_;
	}

private:
	// Whether `fd` became readable before the test said stop.
	bool wait_readable(int fd, int timeout_ms)
	{
		pollfd p[2] = {{stop_[0], POLLIN, 0}, {fd, POLLIN, 0}};
		return poll(p, 2, timeout_ms) > 0 && p[0].revents == 0 && p[1].revents != 0;
	}

	void serve()
	{
		if (!wait_readable(listen_, 10000))
			return;
		int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
		if (c < 0)
			return;
		if (!reads_) {
			wait_readable(stop_[0], 20000);
			close(c);
			return;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
		char buf[512];
		while (got_.size() < want_ && wait_readable(c, 8000)) {
			ssize_t n = read(c, buf, sizeof buf);
			if (n <= 0)
				break;
			got_.append(buf, static_cast<size_t>(n));
		}
		if (got_.size() == want_) {
			static const char reply[] = "HTTP/1.0 200 OK\r\n\r\n/sd/create_session_window Login again\n";
			ssize_t w = send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
			(void)w;
			shutdown(c, SHUT_WR);
			while (read(c, buf, sizeof buf) > 0) {
			}
		}
		close(c);
	}

	size_t want_;
	bool reads_;
	int listen_ = -1;
	int stop_[2] = {-1, -1};
	int port_ = 0;
	std::string got_;
	std::thread thread_;
};

// The socket takes a long request only in parts: the exchange sends the
// rest as room comes free, and the server gets it whole and answers. When
// the server takes nothing, the send gives up after its 5 seconds.
TEST(ShortSendBuffer, WholeRequestOrSendFailureWithinBound)
{
	std::string long_text(3800, 'x');  // every request near 4 KiB
	std::string long_page = "/" + long_text;
	// Each exchange's request grown past what the socket takes at once;
	// the bytes the server must get.
	auto grow = [&long_text, &long_page](Exch e, Session &s) {
		if (e == Exch::probe) {
			s.init_page = long_page.c_str();
			return probe_bytes(long_page, s.server);
		}
		if (e == Exch::login) {
			s.password = long_text.c_str();
			return login_bytes(s.login_page, s.server, s.init_page,
			                   "username=joe&password=" + long_text + "&submitForm=Login");
		}
		s.logout_page = long_page.c_str();
		return logout_bytes(long_page, s.server, s.init_page);
	};
	struct Case {
		Exch e;
		bool reads;
		std::unique_ptr<Child> child;
	};
	std::vector<Case> runs;
	for (bool reads : {true, false})
		for (Exch e : {Exch::probe, Exch::login, Exch::logout})
			runs.push_back({e, reads, std::make_unique<Child>([e, reads, &grow]() {
				                std::string why = small_send_buffers();
				                if (!why.empty())
					                return why;
				                Session base = make_session(0);
				                std::string want = grow(e, base);
				                SlowReader server(want.size(), reads);
				                base.port = server.port();
				                auto t0 = std::chrono::steady_clock::now();
				                int rc = call(e, &base, 0);
				                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
				                              std::chrono::steady_clock::now() - t0)
				                              .count();
				                if (reads && server.received() != want)
					                return "request cut: " + std::to_string(server.received().size()) + " of " +
					                       std::to_string(want.size()) + " bytes";
				                return report(rc, base, static_cast<long>(ms));
			                })});
	std::vector<ChildResult> results;  // every child reaped before any check
	for (Case &r : runs)
		results.push_back(r.child->wait());
	for (size_t i = 0; i < runs.size(); i++) {
		const Case &r = runs[i];
		const ChildResult &c = results[i];
		SCOPED_TRACE(std::string(exch_name(r.e)) + (r.reads ? " read" : " never read"));
		ASSERT_EQ(c.signal, 0);
		if (c.report.rfind("no namespace", 0) == 0)
			SKIP_OR_FAIL(c.report);
		Session start = make_session(0);
		grow(r.e, start);
		Report got = parse(c.report, start);
		if (got.ms < 0) {
			ADD_FAILURE() << c.report;
			continue;
		}
		Path p = r.reads ? Path::found : Path::send_failed;
		EXPECT_EQ(got.rc, result_of(r.e, p));
		EXPECT_EQ(got.logged_in, logged_in_after(r.e, p));
		EXPECT_TRUE(streams_follow(r.e, p, 0, Seen{got.s, default_form}, c.out, c.err, c.pid));
		if (r.reads) {
			EXPECT_LT(got.ms, 4000);
		} else {
			EXPECT_GE(got.ms, 4900);
			EXPECT_LT(got.ms, 12000);
			if (r.e != Exch::probe) {  // the probe's lines name no cause
				EXPECT_NE(c.err.find(strerror(ETIMEDOUT)), std::string::npos) << c.err.substr(0, 300);
			}
		}
	}
}

}  // namespace

namespace {

// A failed exchange never shows a login, whatever the marker: here one
// that every text holds, the empty one (which loading refuses).
TEST(FailedExchange, NeverSetsTheLoginFlag)
{
	Session base = make_session(closed_port());
	base.logged_in_string = "";
	for (Exch e : {Exch::probe, Exch::login}) {
		SCOPED_TRACE(exch_name(e));
		Child child([e, base]() mutable -> std::string {
			base.logged_in = 1;
			int rc = call(e, &base, 0);
			return std::to_string(rc) + " " + std::to_string(base.logged_in);
		});
		ChildResult r = child.wait();
		ASSERT_EQ(r.status, 0) << "signal " << r.signal;
		EXPECT_EQ(r.report, "-1 0") << r.err;
	}
}

}  // namespace

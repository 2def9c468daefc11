// Every exchange against every kind of faulty server, with the bound each
// must keep: at most 5 s to connect, for the login at most 5 s more for
// the socket to become writable, then one 5-second deadline for the whole
// reply. (On loopback a fresh socket takes the request at once, so the
// waits before and during sending never run out here; exchange_test has a
// server that takes nothing.) Each case runs in a child of its own with a
// server of its own, all at once, so that the 5-second waits overlap.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "net/wait.h"
#include "client_support.h"
#include "fake_server.h"
#include "transcript.h"

using namespace client_test;

namespace {

// Which wait a fault must run into: none (the exchange ends as soon as
// the server acts), the connection's, or the reply's.
enum class Runs { promptly, into_connect_bound, into_reply_bound };

struct Fault {
	const char *name;
	bool full_backlog;  // no server: a listener whose queue is full
	Behaviour b;
	int delay_ms;
	std::vector<Path> paths;  // the paths it may take; the first is the usual one
	Runs runs;
	void (*check_reply)(const std::string &reply);
};

void reply_empty(const std::string &r)
{
	EXPECT_EQ(r, "");
}

void reply_full(const std::string &r)
{
	EXPECT_EQ(r.size(), REPLY_SIZE);
}

const Fault faults[] = {
	{"never_answers", false, Behaviour::silent, 0, {Path::no_reply}, Runs::into_reply_bound, reply_empty},
	{"closes_at_once", false, Behaviour::close_at_once, 0, {Path::absent}, Runs::promptly, reply_empty},
	// The reset follows the request, so the read fails; had it come
	// first, the send would have.
	{"resets", false, Behaviour::reset, 0, {Path::read_failed, Path::send_failed}, Runs::promptly, reply_empty},
	// About 50 bytes in 5 s: what came in time is the reply.
	{"trickles_byte_per_100ms", false, Behaviour::trickle, 100, {Path::absent}, Runs::into_reply_bound,
	 [](const std::string &r) {
		 EXPECT_EQ(std::string("HTTP/1.0 200 OK\r\n").rfind(r.substr(0, 17), 0), 0u) << r;
		 EXPECT_GE(r.size(), 10u);
		 EXPECT_LT(r.size(), 100u);
	 }},
	{"streams_1mib", false, Behaviour::stream_1mib, 0, {Path::absent}, Runs::promptly, reply_full},
	{"headers_then_body", false, Behaviour::split, 300, {Path::found}, Runs::promptly,
	 [](const std::string &r) { EXPECT_NE(r.find("</html>"), std::string::npos) << r; }},
	{"marker_after_nul", false, Behaviour::nul_before_marker, 0, {Path::absent}, Runs::promptly,
	 [](const std::string &r) { EXPECT_TRUE(r.ends_with("\r\n\r\n")) << r; }},  // headers only
	{"marker_past_4091", false, Behaviour::oversize, 0, {Path::absent}, Runs::promptly, reply_full},
	{"not_http", false, Behaviour::garbage, 0, {Path::absent}, Runs::promptly,
	 [](const std::string &r) {
		 EXPECT_GT(r.size(), 0u);
		 EXPECT_EQ(r.find("HTTP"), std::string::npos);
	 }},
	{"full_backlog", true, Behaviour::normal, 0, {Path::connect_timeout}, Runs::into_connect_bound, reply_empty},
};

const char *runs_name(Runs r)
{
	return r == Runs::promptly ? "promptly" : r == Runs::into_connect_bound ? "connect bound" : "reply bound";
}

// The bounds as measured: a wait that must run out lasts its 5 s; no case
// takes longer than its bound, with slack for a loaded machine.
constexpr long BOUND_MS = SERVER_WAIT_SECONDS * 1000;
constexpr long FLOOR_MS = BOUND_MS - 100;
constexpr long PROMPT_MS = 4000;   // far from any 5-second wait
constexpr long CEILING_MS = 12000;  // the bound, and generous slack

const unsigned mode = MODE_VERBOSE | MODE_DEBUG;  // every line is written
const char default_form[] = "username=joe&password=secret&submitForm=Login";

struct Case {
	const Fault *f;
	Exch e;
	std::unique_ptr<Child> child;
};

TEST(FaultMatrix, EveryExchangeEndsWithinItsBound)
{
	Session base = make_session(0);
	std::vector<Case> runs;
	for (const Fault &f : faults)
		for (Exch e : {Exch::probe, Exch::login, Exch::logout})
			runs.push_back({&f, e, std::make_unique<Child>([&f, e, base]() mutable -> std::string {
				                std::unique_ptr<FullBacklogListener> black_hole;
				                std::unique_ptr<FakeServer> server;
				                if (f.full_backlog) {
					                black_hole = std::make_unique<FullBacklogListener>();
					                if (!black_hole->ok())
						                return "no listener with a full accept queue";
					                base.port = black_hole->port();
				                } else {
					                server = std::make_unique<FakeServer>();
					                if (!server->listening())
						                return "no server";
					                server->set_logged_in(true);  // the status page shows the marker
					                server->set_behaviour(page_of(e), f.b, f.delay_ms);
					                base.port = server->port();
				                }
				                base.logged_in = 1 - logged_in_after(e, f.paths[0]);  // must change
				                int sockets_before = client_sockets_to(base.port);
				                auto t0 = std::chrono::steady_clock::now();
				                int rc = call(e, &base, mode);
				                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
				                              std::chrono::steady_clock::now() - t0)
				                              .count();
				                // Only more sockets than before is one left open: a
				                // filler of a full queue may drop out on its own.
				                int sockets_after = client_sockets_to(base.port);
				                if (sockets_after > sockets_before)
					                return "socket left open: " + std::to_string(sockets_before) + " before, " +
					                       std::to_string(sockets_after) + " after";
				                return report(rc, base, static_cast<long>(ms));
			                })});

	std::string table = "exchange  fault                    waits          ms\n";
	std::vector<ChildResult> results;  // every child reaped before any check
	for (Case &r : runs)
		results.push_back(r.child->wait());
	for (size_t i = 0; i < runs.size(); i++) {
		const Case &r = runs[i];
		const ChildResult &c = results[i];
		const Fault &f = *r.f;
		SCOPED_TRACE(std::string(exch_name(r.e)) + " / " + f.name);
		EXPECT_EQ(c.signal, 0) << "crashed";
		EXPECT_EQ(c.status, 0) << c.err;
		if (c.report == "no listener with a full accept queue")
			SKIP_OR_FAIL(c.report);
		Report got = parse(c.report, base);
		if (got.ms < 0) {
			ADD_FAILURE() << c.report;
			continue;
		}

		char line[128];
		snprintf(line, sizeof line, "%-9s %-24s %-14s %5ld\n", exch_name(r.e), f.name, runs_name(f.runs), got.ms);
		table += line;
		EXPECT_LT(got.ms, CEILING_MS);
		if (f.runs == Runs::promptly)
			EXPECT_LT(got.ms, PROMPT_MS);
		else
			EXPECT_GE(got.ms, FLOOR_MS);

		Path taken = f.paths[0];
		for (Path p : f.paths)
			if (streams_follow(r.e, p, mode, Seen{got.s, default_form}, c.out, c.err, c.pid))
				taken = p;
		EXPECT_TRUE(streams_follow(r.e, taken, mode, Seen{got.s, default_form}, c.out, c.err, c.pid));
		EXPECT_EQ(got.rc, result_of(r.e, taken));
		EXPECT_EQ(got.logged_in, logged_in_after(r.e, taken));
		f.check_reply(got.s.reply);
	}
	printf("%s", table.c_str());
}

}  // namespace

// The retry schedule of a relogin, path by path, with the pauses recorded
// instead of slept; and once with the real pauses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "capture.h"
#include "client/retry.h"
#include "client_support.h"
#include "fake_server.h"
#include "transcript.h"

using namespace client_test;

namespace {

// What the server does in one stage of the schedule: the stage before any
// pause, after the 5-second one and after the 10-second one.
enum class Probe { fail, marker, none };
enum class Login { fail, marker, none };
struct Stage {
	Probe probe;
	Login login;
};

void apply(FakeServer &f, const Stage &st)
{
	f.set_behaviour(Page::status, st.probe == Probe::fail ? Behaviour::reset : Behaviour::normal);
	f.set_logged_in(st.probe == Probe::marker);
	f.set_behaviour(Page::login, st.login == Login::fail ? Behaviour::reset : Behaviour::normal);
	f.set_accept_login(st.login == Login::marker);
}

// The schedule's own lines, by the names the table below uses.
const Want first = {ALL_RUNS, 'E', "http_do_login(): failed first login attempt."};
const Want wait = {WITH_V, 'I', "http_do_login(): waiting a while before retrying..."};
const Want no_page = {WITH_D, 'D', "http_do_login(): failed to bring up login page."};
const Want no_login2 = {WITH_V, 'I', "http_do_login(): failed to send login (attempt #2)."};
const Want no_login3 = {WITH_V, 'I', "http_do_login(): failed to send login (attempt #3)."};
const Want give_up = {ALL_RUNS, 'E', "http_do_login(): failed 3 retries - backing off for a while."};
const Want success = {WITH_D, 'D', "http_do_login(): Success."};

struct RetryCase {
	const char *name;
	std::vector<Stage> stages;
	int result;
	std::vector<unsigned> pauses;
	size_t logins, probes;
	std::vector<Want> lines;
};

void PrintTo(const RetryCase &c, std::ostream *os)
{
	*os << c.name;
}

const Probe x = Probe::none;  // stage 0 has no probe

const RetryCase retry_cases[] = {
	{"first_attempt_logs_in", {{x, Login::marker}}, 1, {}, 1, 0, {success}},
	{"first_attempt_answered_without_marker", {{x, Login::none}}, 0, {}, 1, 0, {success}},
	{"first_probe_finds_login", {{x, Login::fail}, {Probe::marker, Login::fail}}, 1, {5}, 1, 1,
	 {first, wait, success}},
	{"second_attempt_answered", {{x, Login::fail}, {Probe::none, Login::marker}}, 1, {5}, 2, 1,
	 {first, wait, success}},
	{"second_probe_finds_login",
	 {{x, Login::fail}, {Probe::none, Login::fail}, {Probe::marker, Login::fail}}, 1, {5, 10}, 2, 2,
	 {first, wait, no_login2, wait, success}},
	{"third_attempt_answered_without_marker",
	 {{x, Login::fail}, {Probe::none, Login::fail}, {Probe::none, Login::none}}, 0, {5, 10}, 3, 2,
	 {first, wait, no_login2, wait, success}},
	{"third_attempt_fails",
	 {{x, Login::fail}, {Probe::none, Login::fail}, {Probe::none, Login::fail}}, 0, {5, 10}, 3, 2,
	 {first, wait, no_login2, wait, no_login3, give_up}},
	{"first_probe_fails_then_login_found",
	 {{x, Login::fail}, {Probe::fail, Login::fail}, {Probe::marker, Login::fail}}, 1, {5, 10}, 1, 2,
	 {first, wait, no_page, wait, success}},
	{"first_probe_fails_then_third_attempt_logs_in",
	 {{x, Login::fail}, {Probe::fail, Login::fail}, {Probe::none, Login::marker}}, 1, {5, 10}, 2, 2,
	 {first, wait, no_page, wait, success}},
	{"both_probes_fail",
	 {{x, Login::fail}, {Probe::fail, Login::fail}, {Probe::fail, Login::fail}}, 0, {5, 10}, 1, 2,
	 {first, wait, no_page, wait, no_page, give_up}},
	{"second_probe_fails",
	 {{x, Login::fail}, {Probe::none, Login::fail}, {Probe::fail, Login::fail}}, 0, {5, 10}, 2, 2,
	 {first, wait, no_login2, wait, no_page, give_up}},
};

// The pause the schedule is given: recorded, and the server moved on to
// the next stage, instead of a sleep.
std::vector<unsigned> paused;
std::function<void()> next_stage;

void record_pause(unsigned seconds)
{
	paused.push_back(seconds);
	if (next_stage)
		next_stage();
}

// The recorded pauses and the stage switch of one test, cleared at its end.
class PauseRecorder {
public:
	PauseRecorder() = default;
	~PauseRecorder()
	{
		paused.clear();
		next_stage = nullptr;
	}
	PauseRecorder(const PauseRecorder &) = delete;
	PauseRecorder &operator=(const PauseRecorder &) = delete;
};

// The schedule's own lines that the mode word lets through, by stream.
void own_lines(const std::string &stream, std::vector<Msg> &out)
{
	for (const Msg &m : messages(stream, getpid()))
		if (m.text.rfind("http_do_login()", 0) == 0)
			out.push_back(m);
}

class Retry : public testing::TestWithParam<RetryCase> {};

TEST_P(Retry, FollowsTheSchedule)
{
	const RetryCase &c = GetParam();
	const unsigned modes[] = {0, MODE_VERBOSE, MODE_VERBOSE | MODE_DEBUG};
	for (unsigned mode : modes) {
		SCOPED_TRACE("mode " + std::to_string(mode));
		FakeServer server;
		ASSERT_TRUE(server.listening());
		PauseRecorder recorder;
		size_t stage = 0;
		apply(server, c.stages[0]);
		next_stage = [&] {
			if (++stage < c.stages.size())
				apply(server, c.stages[stage]);
		};
		Session s = make_session(server.port());
		s.logged_in = 1 - c.result;

		StreamCapture cap;
		int rc = http_do_login(&s, mode, record_pause);
		cap.stop();

		EXPECT_EQ(rc, c.result);
		EXPECT_EQ(s.logged_in, c.result);
		EXPECT_EQ(paused, c.pauses);
		EXPECT_EQ(server.count(Page::login), c.logins);
		EXPECT_EQ(server.count(Page::status), c.probes);

		std::vector<Want> want_out, want_err;
		split_for_mode(c.lines, mode, want_out, want_err);
		std::vector<Msg> got_out, got_err;
		own_lines(cap.out(), got_out);
		own_lines(cap.err(), got_err);
		EXPECT_TRUE(matches(want_out, got_out)) << "expected:\n" << show(want_out) << "got:\n" << show(got_out);
		EXPECT_TRUE(matches(want_err, got_err)) << "expected:\n" << show(want_err) << "got:\n" << show(got_err);
	}
}

INSTANTIATE_TEST_SUITE_P(Paths, Retry, testing::ValuesIn(retry_cases),
                         [](const testing::TestParamInfo<RetryCase> &i) { return std::string(i.param.name); });

// A port where nothing listens: every exchange is refused.
int refused_port()
{
	FakeServer gone;
	return gone.port();  // closed again when `gone` ends
}

std::vector<Want> unreachable_errors()
{
	const Want refused = {ALL_RUNS, 'E', "Failed to connect to login server (127.0.0.1): Connection refused"};
	// The called operations' lines come before the schedule's own.
	return {refused, refused, first, refused, refused, refused, refused, give_up};
}

// Nothing answers: one attempt, both probes, the give-up line; every
// error line of the run in its order.
TEST(RetrySchedule, UnreachableServerErrorLinesInOrder)
{
	PauseRecorder recorder;
	Session s = make_session(refused_port());
	StreamCapture cap;
	int rc = http_do_login(&s, 0, record_pause);
	cap.stop();
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(paused, (std::vector<unsigned>{5, 10}));
	EXPECT_EQ(cap.out(), "");
	std::vector<Want> want = unreachable_errors();
	auto got = messages(cap.err(), getpid());
	EXPECT_TRUE(matches(want, got)) << "expected:\n" << show(want) << "got:\n" << show(got);
}

// The real pauses: 5 and 10 seconds of sleep, no more than the slack of
// a busy machine besides.
TEST(RetrySchedule, RealPausesTakeFifteenSeconds)
{
	Session s = make_session(refused_port());
	StreamCapture cap;
	auto t0 = std::chrono::steady_clock::now();
	int rc = http_do_login(&s, 0, retry_sleep);
	auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
	cap.stop();
	EXPECT_EQ(rc, 0);
	EXPECT_GE(ms, 15000);
	EXPECT_LT(ms, 30000);
	std::vector<Want> want = unreachable_errors();
	auto got = messages(cap.err(), getpid());
	EXPECT_TRUE(matches(want, got)) << "expected:\n" << show(want) << "got:\n" << show(got);
}

}  // namespace

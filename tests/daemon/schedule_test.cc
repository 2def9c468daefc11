// The rules of the daemon's pause, on a clock the test sets: the full
// pause, a SIGHUP, the network settling, a second between passes, and time
// spent in suspend. The daemon reads CLOCK_BOOTTIME, which runs on while
// the machine sleeps; a real suspend cannot be brought about in a test, so
// here the clock simply reads later after the "sleep".
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "daemon/schedule.h"

namespace {

// What happens during one pause, at times in ms on the daemon's clock.
struct Step {
	enum { hup, net } what;
	msec at;
};

struct Outcome {
	pass_reason why;
	msec at;  // when the pass begins
};

// Run a pause as the daemon's loop does: wake at pause_wake_at or at the
// next step, whichever comes first, and ask pause_due each time.
// With `session_at` >= 0 the pause also ends for a session's end there.
Outcome run(msec begin, unsigned seconds, msec last_pass, const std::vector<Step> &steps, msec session_at = -1)
{
	pause_plan p = pause_begin(begin, seconds, last_pass);
	if (session_at >= 0)
		pause_session(p, session_at);
	size_t next = 0;
	msec now = begin;
	for (int guard = 0; guard < 10000; guard++) {
		pass_reason why = pause_due(p, now);
		if (why != pass_reason::none)
			return {why, now};
		msec wake = pause_wake_at(p);
		EXPECT_GT(wake, now) << "a wake-up that changes nothing would spin";
		if (next < steps.size() && steps[next].at <= wake) {
			now = std::max(now, steps[next].at);
			if (steps[next].what == Step::hup)
				pause_signal(p);
			else
				pause_network(p, now);
			next++;
		} else {
			now = wake;
		}
	}
	ADD_FAILURE() << "the pause never ended";
	return {pass_reason::none, -1};
}

const char *name(pass_reason r)
{
	switch (r) {
	case pass_reason::none:
		return "none";
	case pass_reason::periodic:
		return "periodic";
	case pass_reason::forced:
		return "forced";
	case pass_reason::network:
		return "network";
	case pass_reason::session:
		return "session";
	}
	return "?";
}

TEST(PauseSchedule, TableOfPauses)
{
	const msec T = 100000;  // the pause begins; the previous pass began at T - 2000
	struct Case {
		const char *name;
		unsigned seconds;
		msec last_pass;
		std::vector<Step> steps;
		pass_reason why;
		msec at;
	} cases[] = {
		{"a full pause", 300, T - 2000, {}, pass_reason::periodic, T + 300000},
		{"a SIGHUP ends it at once", 300, T - 2000, {{Step::hup, T + 5000}}, pass_reason::forced, T + 5000},
		{"one network event: a second later", 300, T - 2000, {{Step::net, T + 5000}}, pass_reason::network,
		 T + 6000},
		{"events less than a second apart: a second after the last", 300, T - 2000,
		 {{Step::net, T + 5000}, {Step::net, T + 5500}, {Step::net, T + 5900}}, pass_reason::network, T + 6900},
		{"events that never stop: three seconds after the first", 300, T - 2000,
		 [] {
			 std::vector<Step> s;
			 for (msec t = T + 5000; t < T + 20000; t += 500)
				 s.push_back({Step::net, t});
			 return s;
		 }(),
		 pass_reason::network, T + 8000},
		{"a SIGHUP while the network settles", 300, T - 2000, {{Step::net, T + 5000}, {Step::hup, T + 5200}},
		 pass_reason::forced, T + 5200},
		{"the pause ends while the network settles", 5, T - 2000, {{Step::net, T + 4500}}, pass_reason::periodic,
		 T + 5000},
		// A second between the beginnings of two passes, whatever asks.
		{"no pause at all", 0, T - 200, {}, pass_reason::periodic, T - 200 + 1000},
		{"no pause, a long pass before", 0, T - 5000, {}, pass_reason::periodic, T},
		{"a SIGHUP right after a pass", 300, T - 100, {{Step::hup, T}}, pass_reason::forced, T + 900},
		{"an event right after a pass", 0, T - 900, {{Step::net, T}}, pass_reason::periodic, T + 100},
	};
	for (const auto &c : cases) {
		Outcome o = run(T, c.seconds, c.last_pass, c.steps);
		EXPECT_STREQ(name(o.why), name(c.why)) << c.name;
		EXPECT_EQ(o.at, c.at) << c.name;
	}
}

// The check before a session's end: its time from the seconds the API
// gave, and the pause around it.
TEST(PauseSchedule, CheckBeforeTheSessionEnds)
{
	struct Margin {
		int64_t remaining_s;
		msec check_after;  // the reply
	} margins[] = {
		{120, 90000},           // 10% is 12 s: the 30-second margin
		{40, 10000},            //
		{300, 270000},          // 10% is 30 s
		{301, 270900},          // 10% is 30.1 s
		{3600, 3240000},        // 10% is 6 minutes
		{31, 1000},             //
		{30, 15000},            // no more than the margin: half of what is left
		{1, 500},               //
		{0, 0},                 // the session has ended: at once (a second after the last pass, below)
		{-5, 0},                //
		{INT64_MAX, (int64_t{1} << 40) * 900},  // far beyond any pause: the usual pause ends first
	};
	for (const auto &m : margins)
		EXPECT_EQ(session_check_at(1000000, m.remaining_s), 1000000 + m.check_after) << m.remaining_s << " s";

	const msec T = 100000;
	struct Case {
		const char *name;
		unsigned seconds;
		msec last_pass;
		std::vector<Step> steps;
		msec session_at;
		pass_reason why;
		msec at;
	} cases[] = {
		{"before the pause's end", 3600, T - 500, {}, T + 10000, pass_reason::session, T + 10000},
		{"after the pause's end: the usual pause", 60, T - 500, {}, T + 90000, pass_reason::periodic, T + 60000},
		{"a second after the last pass at least", 3600, T - 500, {}, T, pass_reason::session, T + 500},
		{"a SIGHUP first", 3600, T - 500, {{Step::hup, T + 2000}}, T + 10000, pass_reason::forced, T + 2000},
		{"the network first", 3600, T - 500, {{Step::net, T + 2000}}, T + 10000, pass_reason::network, T + 3000},
		{"the session's end while the network settles", 3600, T - 500, {{Step::net, T + 9500}}, T + 10000,
		 pass_reason::session, T + 10000},
	};
	for (const auto &c : cases) {
		Outcome o = run(T, c.seconds, c.last_pass, c.steps, c.session_at);
		EXPECT_STREQ(name(o.why), name(c.why)) << c.name;
		EXPECT_EQ(o.at, c.at) << c.name;
	}
}

// A machine that sleeps through the pause: the clock that counts suspend
// reads past the pause's end at the first look after the resume, and the
// pass is due at once; the clock that does not count it would have read
// only a moment later than before the sleep.
TEST(PauseSchedule, SuspendedTimeCounts)
{
	const msec begin = 50000;
	pause_plan p = pause_begin(begin, 300, begin - 10000);
	EXPECT_EQ(pause_due(p, begin + 1000), pass_reason::none);
	EXPECT_EQ(pause_wake_at(p), begin + 300000) << "the timer is armed for the pause's end on the same clock";
	const msec slept = 3600 * 1000;  // an hour in suspend, a second awake
	EXPECT_EQ(pause_due(p, begin + 1000 + slept), pass_reason::periodic);
	EXPECT_EQ(pause_due(p, begin + 1000), pass_reason::none) << "without the hour, still pausing";
}

// The longest pause (a wrapped DEAMON_D) stays in range.
TEST(PauseSchedule, LongestPause)
{
	pause_plan p = pause_begin(0, 4294967295u, -1000);
	EXPECT_EQ(pause_wake_at(p), 4294967295LL * 1000);
	EXPECT_EQ(pause_due(p, 4294967295LL * 1000 - 1), pass_reason::none);
}

}  // namespace

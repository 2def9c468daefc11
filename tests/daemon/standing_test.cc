// Where the daemon stands, in words: the verdict of a check and the status
// line that `systemctl status` shows.
#include "daemon/standing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

constexpr time_t AT = 1796897112;  // 2026-12-10 10:05:12 UTC

// The lines are in local time: the cases' is UTC.
class Standing : public testing::Test {
protected:
	void SetUp() override
	{
		const char *tz = getenv("TZ");
		had_tz_ = tz != nullptr;
		if (had_tz_)
			tz_ = tz;
		setenv("TZ", "UTC", 1);
		tzset();
	}
	void TearDown() override
	{
		if (had_tz_)
			setenv("TZ", tz_.c_str(), 1);
		else
			unsetenv("TZ");
		tzset();
	}

private:
	bool had_tz_ = false;
	std::string tz_;
};

TEST_F(Standing, CheckVerdicts)
{
	struct Case {
		int logged_in;
		bool answered;
		bool login_tried;
		login_state want;
	} cases[] = {
		{1, true, false, login_state::logged_in},
		{1, true, true, login_state::logged_in},
		{0, true, false, login_state::logged_out},
		{0, true, true, login_state::refused},
		{0, false, false, login_state::unreachable},
		{0, false, true, login_state::unreachable},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << c.logged_in << c.answered << c.login_tried);
		EXPECT_EQ(login_state_of(c.logged_in, c.answered, c.login_tried), c.want);
	}
}

TEST_F(Standing, StatusLines)
{
	struct Case {
		login_state state;
		const char *interface;
		bool logging_in;
		time_t next;
		const char *line;
	} cases[] = {
		{login_state::logged_in, nullptr, false, AT + 300,
		 "Logged in at portal.example.net; last check 10:05:12, next by 10:10:12"},
		{login_state::logged_in, "wlan0", false, AT + 300,
		 "Logged in at portal.example.net via wlan0; last check 10:05:12, next by 10:10:12"},
		{login_state::refused, nullptr, false, AT + 300,
		 "Not logged in: login refused; last check 10:05:12, next try by 10:10:12"},
		{login_state::unreachable, nullptr, false, AT + 60,
		 "Not logged in: server not reachable; last check 10:05:12, next try by 10:06:12"},
		{login_state::logged_out, nullptr, false, AT + 300,
		 "Not logged in: session lost; last check 10:05:12, next by 10:10:12"},
		{login_state::logged_out, nullptr, true, 0, "Not logged in: session lost; logging in again"},
		{login_state::unreachable, nullptr, true, 0, "Not logged in: server not reachable; logging in again"},
		// A next check on another day shows its date.
		{login_state::logged_in, nullptr, false, AT + 86400 * 3,
		 "Logged in at portal.example.net; last check 10:05:12, next by 2026-12-13 10:05:12"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.line);
		daemon_standing s;
		s.state = c.state;
		s.server = "portal.example.net";
		s.interface = c.interface;
		s.logging_in = c.logging_in;
		s.last_check = AT;
		s.next_check_by = c.next;
		EXPECT_EQ(status_line(s), c.line);
	}
}

TEST_F(Standing, Names)
{
	EXPECT_STREQ(login_state_name(login_state::none), "none");
	EXPECT_STREQ(login_state_name(login_state::logged_in), "logged_in");
	EXPECT_STREQ(login_state_name(login_state::logged_out), "logged_out");
	EXPECT_STREQ(login_state_name(login_state::refused), "refused");
	EXPECT_STREQ(login_state_name(login_state::unreachable), "unreachable");
	EXPECT_STREQ(check_reason_name(check_reason::start), "start");
	EXPECT_STREQ(check_reason_name(check_reason::periodic), "periodic");
	EXPECT_STREQ(check_reason_name(check_reason::forced), "forced");
	EXPECT_STREQ(check_reason_name(check_reason::network), "network");
}

}  // namespace

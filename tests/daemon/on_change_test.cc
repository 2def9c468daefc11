// The environment an ON_CHANGE program gets: the daemon's own, without the
// service manager's variables (which would let it speak for the daemon)
// or stale KAVRI_ ones, then the change's.
#include "daemon/on_change.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(OnChange, Environment)
{
	char *const environ_[] = {
		const_cast<char *>("PATH=/usr/bin:/bin"),
		const_cast<char *>("NOTIFY_SOCKET=/run/systemd/notify"),
		const_cast<char *>("WATCHDOG_USEC=300000000"),
		const_cast<char *>("WATCHDOG_PID=42"),
		const_cast<char *>("LISTEN_FDS=1"),
		const_cast<char *>("KAVRI_STATE=stale"),
		const_cast<char *>("KAVRI_STATE_FILE=/run/kavri/state.json"),
		const_cast<char *>("CREDENTIALS_DIRECTORY=/run/credentials/kavri.service"),
		const_cast<char *>("NOTIFY_SOCKETS_OF_MINE=kept"),
		nullptr,
	};
	struct Case {
		const char *interface;
		on_change_event event;
		std::vector<std::string> tail;  // after the kept variables
	} cases[] = {
		{nullptr,
		 {login_state::logged_in, login_state::none, check_reason::start},
		 {"KAVRI_STATE=logged_in", "KAVRI_PREVIOUS_STATE=none", "KAVRI_REASON=start",
		  "KAVRI_SERVER=portal.example.net", "KAVRI_INTERFACE="}},
		{"wlan0",
		 {login_state::unreachable, login_state::logged_out, check_reason::network},
		 {"KAVRI_STATE=unreachable", "KAVRI_PREVIOUS_STATE=logged_out", "KAVRI_REASON=network",
		  "KAVRI_SERVER=portal.example.net", "KAVRI_INTERFACE=wlan0"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.tail[0]);
		on_change_runner r;
		on_change_init(r, "/usr/local/bin/hook", "portal.example.net", c.interface, environ_);
		std::vector<std::string> want = {"PATH=/usr/bin:/bin",
		                                 "CREDENTIALS_DIRECTORY=/run/credentials/kavri.service",
		                                 "NOTIFY_SOCKETS_OF_MINE=kept"};
		want.insert(want.end(), c.tail.begin(), c.tail.end());
		EXPECT_EQ(on_change_environment(r, c.event), want);
	}
}

}  // namespace

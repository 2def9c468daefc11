// Where the daemon stands, as it tells the service manager, the state file
// and the ON_CHANGE program: the login state, since when, and the times of
// the last check and of the next.
#pragma once

#include <ctime>
#include <string>

// The login state as a check leaves it. `none` only before the first.
enum class login_state {
	none,
	logged_in,    // the check found the login, or made it
	logged_out,   // the server answered without the login, and none was tried
	refused,      // a login was tried; the server answered without taking it
	unreachable,  // the server did not answer
};

// What set off a check.
enum class check_reason { start, periodic, forced, network };

struct daemon_standing {
	login_state state = login_state::none;
	time_t since = 0;       // when the state began
	time_t last_check = 0;  // when the last check ended
	check_reason last_reason = check_reason::start;
	bool logging_in = false;   // the session was just lost and a login is under way
	time_t next_check_by = 0;  // the next check begins by then (unknown while logging_in)
	const char *server = "";
	int port = 0;
	const char *interface = nullptr;  // null: none
	long pid = 0;
};

// "none", "logged_in", "logged_out", "refused", "unreachable".
const char *login_state_name(login_state s);
// "start", "periodic", "forced", "network".
const char *check_reason_name(check_reason r);

// The state a check leaves: from the login flag, whether the last exchange
// got an answer, and whether that exchange was a login.
login_state login_state_of(int logged_in, bool answered, bool login_tried);

// The one line that `systemctl status` shows, times in local time:
// "Logged in at portal.example.net; last check 10:05:12, next by 10:10:12".
std::string status_line(const daemon_standing &s);

#include "daemon/standing.h"

#include <cstdio>

namespace {

// "10:05:12", or with the date when `t` falls on another day than `ref`.
std::string local_time(time_t t, time_t ref)
{
	struct tm at = {}, day = {};
	localtime_r(&t, &at);
	localtime_r(&ref, &day);
	bool same_day = at.tm_year == day.tm_year && at.tm_yday == day.tm_yday;
	char buf[64];
	if (strftime(buf, sizeof buf, same_day ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &at) == 0)
		return "?";
	return buf;
}

// Why there is no login, in words.
const char *why_not(login_state s)
{
	switch (s) {
	case login_state::refused:
		return "login refused";
	case login_state::unreachable:
		return "server not reachable";
	default:
		return "session lost";
	}
}

}  // namespace

const char *login_state_name(login_state s)
{
	switch (s) {
	case login_state::logged_in:
		return "logged_in";
	case login_state::logged_out:
		return "logged_out";
	case login_state::refused:
		return "refused";
	case login_state::unreachable:
		return "unreachable";
	case login_state::none:
		break;
	}
	return "none";
}

const char *check_reason_name(check_reason r)
{
	switch (r) {
	case check_reason::periodic:
		return "periodic";
	case check_reason::forced:
		return "forced";
	case check_reason::network:
		return "network";
	case check_reason::start:
		break;
	}
	return "start";
}

login_state login_state_of(int logged_in, bool answered, bool login_tried)
{
	if (logged_in)
		return login_state::logged_in;
	if (!answered)
		return login_state::unreachable;
	return login_tried ? login_state::refused : login_state::logged_out;
}

std::string status_line(const daemon_standing &s)
{
	std::string line;
	if (s.state == login_state::logged_in) {
		line = "Logged in at ";
		line += s.server;
		if (s.interface != nullptr) {
			line += " via ";
			line += s.interface;
		}
	} else {
		line = "Not logged in: ";
		line += why_not(s.state);
	}
	if (s.logging_in)
		return line + "; logging in again";
	line += "; last check " + local_time(s.last_check, s.last_check);
	// A daemon that logs in again tries; one that only checks, checks.
	bool tries = s.state == login_state::refused || s.state == login_state::unreachable;
	line += tries ? ", next try by " : ", next by ";
	return line + local_time(s.next_check_by, s.last_check);
}

// When the keep-alive daemon's next pass is due: the rules of its pause,
// on times that the caller reads from a clock of its choice. The daemon
// reads CLOCK_BOOTTIME, which runs on while the machine is suspended, so
// that a machine that slept past the pause checks as soon as it wakes.
#pragma once

#include <cstdint>

using msec = int64_t;  // milliseconds on the caller's clock

inline constexpr msec PASS_GAP_MS = 1000;      // passes begin at least this far apart
inline constexpr msec SETTLE_QUIET_MS = 1000;  // the network has settled after this long without an event,
inline constexpr msec SETTLE_MAX_MS = 3000;    // or this long after the first event, whichever comes first

enum class pass_reason {
	none,      // not yet
	periodic,  // the full pause is over
	forced,    // a SIGHUP was taken during the pause
	network,   // the network changed and has settled
	session,   // the captive-portal API's session is about to end
};

struct pause_plan {
	msec pause_end;         // the full pause is over here
	msec earliest;          // no pass begins before this
	bool forced = false;    // a SIGHUP was taken
	msec first_event = -1;  // the first network event of this pause, or -1
	msec last_event = -1;   // the latest one
	bool session = false;   // pause_end is the check before the session's end
};

// A pause of `seconds` that begins at `now`, after a pass that began at
// `last_pass`.
pause_plan pause_begin(msec now, unsigned seconds, msec last_pass);

// A SIGHUP was taken during the pause.
void pause_signal(pause_plan &p);

// A network event that counts was seen at `now`.
void pause_network(pause_plan &p, msec now);

// Why the next pass is due at `now`, or pass_reason::none. A SIGHUP
// comes before the network, the network before the end of the pause.
pass_reason pause_due(const pause_plan &p, msec now);

// The time at which pause_due next turns, unless an event comes first.
msec pause_wake_at(const pause_plan &p);

// The check before the end of a session that the captive-portal API said
// has `remaining_s` seconds left, in a reply read at `reply_at`: that
// much less a margin of 10% of it, and at least SESSION_MARGIN_MIN_MS;
// when the session has no more than the margin left, half of what is
// left. The pause's other rules still hold (pause_session).
inline constexpr msec SESSION_MARGIN_MIN_MS = 30000;
msec session_margin(int64_t remaining_s);
msec session_check_at(msec reply_at, int64_t remaining_s);

// The pause ends no later than `at`, and a pass then is due for the
// session. An `at` after the pause's end changes nothing; one before the
// earliest pass waits for it.
void pause_session(pause_plan &p, msec at);

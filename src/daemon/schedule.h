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
};

struct pause_plan {
	msec pause_end;         // the full pause is over here
	msec earliest;          // no pass begins before this
	bool forced = false;    // a SIGHUP was taken
	msec first_event = -1;  // the first network event of this pause, or -1
	msec last_event = -1;   // the latest one
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

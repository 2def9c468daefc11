// What the daemon tells about itself: the service manager, through the
// socket NOTIFY_SOCKET names (readiness, a status line, the watchdog, its
// end), scripts through the STATE_FILE, and the ON_CHANGE program. Each
// part does nothing when its variable or setting is absent.
#pragma once

#include <poll.h>

#include "base/session.h"
#include "daemon/schedule.h"
#include "daemon/standing.h"

// Descriptors that publish_poll_fds may add to the pause's poll.
inline constexpr int PUBLISH_POLL_FDS = 2;

// Before the signal listener starts: the settings, the daemon's PID, and
// what the service manager's variables ask for.
void publish_prepare(const login_config &c, long pid, msec now, unsigned verbosity);

// Once the daemon runs: its PID file written, the foreground's login
// result known (`first`). Sends READY=1 with the daemon's PID as the
// main one and the first status line, writes the state file and runs
// ON_CHANGE for the first state.
void publish_start(login_state first, unsigned pause_seconds, msec now);

// In a pass, after a probe that found the login gone, before the login
// that follows: the state is `found` until that login's outcome is known.
void publish_losing(login_state found, check_reason why, msec now);

// After each check: its outcome, what set it off, and the pause that
// follows it.
void publish_checked(login_state found, check_reason why, unsigned pause_seconds, msec now);

// The descriptors to wait on in the pause (at most PUBLISH_POLL_FDS).
int publish_poll_fds(struct pollfd *fds);

// After each wake-up of the pause: the watchdog's ping when it is due,
// the ON_CHANGE program's output and end. Never blocks.
void publish_service(msec now);

// When publish_service must run without an event (the watchdog's next
// ping, an ON_CHANGE deadline), or -1 for never.
msec publish_wake_at(msec now);

// SIGTERM, from the signal listener: STOPPING=1, the state file removed,
// a running ON_CHANGE program told to end.
void publish_stopping();

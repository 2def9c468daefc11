// Detaching into the background and the keep-alive loop.
#pragma once

#include "base/session.h"

// Fork twice and detach. In the invoking process: the child's PID, or -1
// when the first fork failed. In the daemon: 0. The intermediate process
// ends with status 0.
int daemonize();

// The daemon's life: claim the PID file, then probe every daemon_delay
// minutes and log in again when needed. Returns only when the start-up
// fails (the PID file cannot be written, or another process holds its
// lock). `verbosity` carries MODE_DAEMON.
void keepalive_loop(login_session *session, unsigned verbosity);

// The response to SIGHUP (check at once) and SIGTERM (remove the daemon's
// PID file, end with status 0).
// Called by the daemon's signal listener thread, never from a handler.
void daemon_signal(int sig);

// The status probe: is the login session at the server alive?
#pragma once

#include "base/session.h"

// GET the status page; logged_in from the logged-in marker. 0 when the
// server answered (possibly with nothing), -1 on failure.
int http_pre_login(login_session *session, unsigned verbosity);

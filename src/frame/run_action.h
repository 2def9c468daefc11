// Carrying out the run mode the command line chose.
#pragma once

#include "base/session.h"

// Log in, log out or report the state; the result becomes the exit status.
int run_action(login_session *session, int action, unsigned verbosity);

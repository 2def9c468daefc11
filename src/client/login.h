// The login: post the form, then judge and report the reply.
#pragma once

#include "base/session.h"

// The login exchange: post the form. 0 answered, -1 failed.
int http_login_request(login_session *session, unsigned verbosity);

// The login exchange and its evaluation and report; logged_in from the
// logged-in marker. Returns the exchange's result.
int http_internet_login(login_session *session, unsigned verbosity);

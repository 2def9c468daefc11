// The login server client: one short HTTP exchange per request.
#pragma once

#include "base/session.h"

// Status probe: GET the status page; logged_in from the logged-in marker.
// 0 when the server answered (possibly with nothing), -1 on failure.
int http_pre_login(login_session *session, unsigned verbosity);

// The login exchange: post the form. 0 answered, -1 failed.
int http_login_request(login_session *session, unsigned verbosity);

// The login exchange and its evaluation and report; logged_in from the
// logged-in marker. Returns the exchange's result.
int http_internet_login(login_session *session, unsigned verbosity);

// Up to three login attempts with pauses of 5 and 10 seconds and probes
// between them. Returns logged_in.
int http_do_login(login_session *session, unsigned verbosity);

// The logout exchange: 0 when the reply holds the logged-out marker, else
// -1. logged_in becomes 0 on every path.
int http_logout_request(login_session *session, unsigned verbosity);

// The logout exchange and the report of its failure.
int http_internet_logout(login_session *session, unsigned verbosity);

// How the retry schedule pauses; tests replace it to avoid real waits.
using pause_fn = void (*)(unsigned seconds);
extern pause_fn client_pause;

// The logout: request the logout page; only the logged-out marker confirms.
#pragma once

#include "base/session.h"

// The logout exchange: 0 when the reply holds the logged-out marker, else
// -1. logged_in becomes 0 on every path.
int http_logout_request(login_session *session, unsigned verbosity);

// The logout exchange and the report of its failure.
int http_internet_logout(login_session *session, unsigned verbosity);

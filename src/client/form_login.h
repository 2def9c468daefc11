// The login through the portal's own form (LOGIN_FORM): from the page the
// probe left, or LOGIN_PAGE on SERV, follow redirects, submit up to
// MAX_FORMS forms with the user's fields, keep one cookie jar for the
// whole login, and confirm with a second probe. At most
// MAX_LOGIN_REQUESTS requests within FORM_LOGIN_SECONDS.
#pragma once

#include "base/session.h"

// 0 when the servers answered (logged_in says whether the login took),
// -1 when an exchange failed or kavri's own rules refused a step (one
// error line said why). The session's page is given back on every path.
int http_form_login(login_session *session, unsigned verbosity);

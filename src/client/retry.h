// The retry schedule of a relogin: a first attempt, then after each pause
// of the table a probe and, unless it shows a login, one more attempt.
#pragma once

#include <cstddef>
#include <iterator>

#include "base/session.h"

// The pauses before the second and the third attempt, in seconds.
inline constexpr unsigned RETRY_PAUSES[] = {5, 10};

// The attempts of one schedule: the first and one after each pause.
inline constexpr int LOGIN_ATTEMPTS = 1 + static_cast<int>(std::size(RETRY_PAUSES));

// How the schedule pauses between attempts.
using pause_fn = void (*)(unsigned seconds);

// The real pause: a plain wait of whole seconds that a signal does not
// cut short.
void retry_sleep(unsigned seconds);

// Up to LOGIN_ATTEMPTS login attempts, `pause` called with each entry of
// RETRY_PAUSES between them, and a probe after each pause that may end
// the schedule early. Returns logged_in.
int http_do_login(login_session *session, unsigned verbosity, pause_fn pause);

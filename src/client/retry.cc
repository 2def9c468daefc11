// The retry schedule of a relogin: up to three attempts, 5 and 10 second
// pauses, a probe after each pause that may end the schedule early.
#include <time.h>

#include <cerrno>

#include "client/client.h"
#include "log/log.h"

namespace {

// A plain wait of whole seconds; a signal does not cut it short.
void sleep_seconds(unsigned seconds)
{
	int saved = errno;
	struct timespec left = {static_cast<time_t>(seconds), 0};
	while (nanosleep(&left, &left) != 0 && errno == EINTR) {
	}
	errno = saved;
}

const char OPERATION[] = "http_do_login";

int answered(login_session *session, unsigned verbosity)
{
	log_msg(verbosity, LOG_DEBUG, "%s(): Success.", OPERATION);
	return session->logged_in;
}

}  // namespace

pause_fn client_pause = sleep_seconds;

int http_do_login(login_session *session, unsigned verbosity)
{
	// Only an attempt that could not talk to the server is retried; an
	// answer ends the schedule, whether or not it shows a login.
	if (http_internet_login(session, verbosity) == 0)
		return answered(session, verbosity);
	log_msg(verbosity, LOG_ERR, "%s(): failed first login attempt.", OPERATION);
	session->logged_in = 0;

	const unsigned pauses[] = {5, 10};
	for (int round = 0; round < 2; round++) {
		log_msg(verbosity, LOG_INFO, "%s(): waiting a while before retrying...", OPERATION);
		client_pause(pauses[round]);
		if (http_pre_login(session, verbosity) != 0) {
			log_msg(verbosity, LOG_DEBUG, "%s(): failed to bring up login page.", OPERATION);
			continue;  // no attempt without a login page
		}
		if (session->logged_in)
			return answered(session, verbosity);
		if (http_internet_login(session, verbosity) == 0)
			return answered(session, verbosity);
		log_msg(verbosity, LOG_INFO, "%s(): failed to send login (attempt #%d).", OPERATION, round + 2);
	}
	log_msg(verbosity, LOG_ERR, "%s(): failed %d retries - backing off for a while.", OPERATION, 3);
	return session->logged_in;
}

#include "client/retry.h"

#include <time.h>

#include <cerrno>

#include "client/login.h"
#include "client/probe.h"
#include "log/log.h"

namespace {

const char OPERATION[] = "http_do_login";

int answered(login_session *session, unsigned verbosity)
{
	log_msg(verbosity, LOG_DEBUG, "%s(): Success.", OPERATION);
	return session->logged_in;
}

}  // namespace

void retry_sleep(unsigned seconds)
{
	int saved = errno;
	struct timespec left = {static_cast<time_t>(seconds), 0};
	while (nanosleep(&left, &left) != 0 && errno == EINTR) {
	}
	errno = saved;
}

int http_do_login(login_session *session, unsigned verbosity, pause_fn pause)
{
	// Only an attempt that could not talk to the server is retried; an
	// answer ends the schedule, whether or not it shows a login.
	if (http_internet_login(session, verbosity) == 0)
		return answered(session, verbosity);
	log_msg(verbosity, LOG_ERR, "%s(): failed first login attempt.", OPERATION);
	session->logged_in = 0;

	int attempt = 1;
	for (unsigned seconds : RETRY_PAUSES) {
		attempt++;
		log_msg(verbosity, LOG_INFO, "%s(): waiting a while before retrying...", OPERATION);
		pause(seconds);
		if (http_pre_login(session, verbosity) != 0) {
			log_msg(verbosity, LOG_DEBUG, "%s(): failed to bring up login page.", OPERATION);
			continue;  // no attempt without a login page
		}
		if (session->logged_in)
			return answered(session, verbosity);
		if (http_internet_login(session, verbosity) == 0)
			return answered(session, verbosity);
		log_msg(verbosity, LOG_INFO, "%s(): failed to send login (attempt #%d).", OPERATION, attempt);
	}
	log_msg(verbosity, LOG_ERR, "%s(): failed %d retries - backing off for a while.", OPERATION, LOGIN_ATTEMPTS);
	return session->logged_in;
}

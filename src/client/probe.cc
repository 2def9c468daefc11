// The status probe: is the login session at the server alive?
#include <cstring>

#include "client/client.h"
#include "client/exchange.h"
#include "client/request.h"
#include "log/log.h"

namespace {

const exchange_kind probe_kind = {
	&login_session::init_page,
	[](login_session *s, unsigned) {
		return compose_probe_request(*s, s->request, REQUEST_SIZE) < 0 ? compose_result::too_long
		                                                                : compose_result::ok;
	},
	nullptr,
	[](const login_session &s, unsigned v, int) {
		log_msg(v, LOG_ERR, "Failed sending request for %s.", s.init_page);
		log_msg(v, LOG_ERR, "Closing connection to login server.");
	},
	[](const login_session &, unsigned v) { log_msg(v, LOG_INFO, "Waiting for reply from server..."); },
	[](const login_session &, unsigned v) { log_msg(v, LOG_ERR, "No reply from login server."); },
	nullptr,
	[](unsigned v, int err) { log_msg(v, LOG_ERR, "Failed to \"ping\" login server: %s", strerror(err)); },
	nullptr,
};

}  // namespace

int http_pre_login(login_session *session, unsigned verbosity)
{
	int result = run_exchange(session, verbosity, probe_kind);
	session->logged_in = reply_has(*session, session->logged_in_string) ? 1 : 0;
	if (session->logged_in && result == 0)
		return 0;
	log_msg(verbosity, LOG_INFO, "%s(): Login server \"pinged\": not logged in...", "http_pre_login");
	show_reply(*session, verbosity, "http_pre_login");
	return result;
}

#include "client/probe.h"

#include <cstring>

#include "client/exchange.h"
#include "http/request.h"
#include "log/log.h"

namespace {

const exchange_kind probe_kind = {
	.page = &login_config::init_page,
	.compose = [](const login_config &c, unsigned, char *out) {
		return compose_probe_request(c, out, REQUEST_SIZE) < 0 ? compose_result::too_long : compose_result::ok;
	},
	.cannot_send = nullptr,
	.send_failed =
		[](const login_config &c, unsigned v, int) {
			log_msg(v, LOG_ERR, "Failed sending request for %s.", c.init_page);
			log_msg(v, LOG_ERR, "Closing connection to login server.");
		},
	.waiting = [](const login_config &, unsigned v) { log_msg(v, LOG_INFO, "Waiting for reply from server..."); },
	.no_reply = [](const login_config &, unsigned v) { log_msg(v, LOG_ERR, "No reply from login server."); },
	.reply_ready = nullptr,
	.read_failed =
		[](unsigned v, int err) { log_msg(v, LOG_ERR, "Failed to \"ping\" login server: %s", strerror(err)); },
	.received = nullptr,
};

}  // namespace

int http_pre_login(login_session *session, unsigned verbosity)
{
	int result = run_exchange(session, verbosity, probe_kind);
	// A failed exchange shows no login, whatever is in the buffer.
	session->logged_in = result == 0 && reply_has(*session, session->conf->logged_in_string) ? 1 : 0;
	if (session->logged_in && result == 0)
		return 0;
	log_msg(verbosity, LOG_INFO, "%s(): Login server \"pinged\": not logged in...", "http_pre_login");
	show_reply(*session, verbosity, "http_pre_login");
	return result;
}

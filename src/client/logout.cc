#include "client/logout.h"

#include <cstring>

#include "client/exchange.h"
#include "http/request.h"
#include "log/log.h"

namespace {

const exchange_kind logout_kind = {
	.page = &login_config::logout_page,
	.compose = [](const login_config &c, unsigned, char *out) {
		return compose_logout_request(c, out, REQUEST_SIZE) < 0 ? compose_result::too_long : compose_result::ok;
	},
	.cannot_send = nullptr,
	.send_failed =
		[](const login_config &, unsigned v, int err) {
			log_msg(v, LOG_ERR, "Logout request failed: %s", strerror(err));
		},
	.waiting =
		[](const login_config &, unsigned v) {
			log_msg(v, LOG_INFO, "Waiting for logout reply, 5 second timeout ...");
		},
	.no_reply =
		[](const login_config &c, unsigned v) {
			log_msg(v, LOG_ERR, "%s does not respond, cannot log out!", c.logout_page);
		},
	.reply_ready = [](unsigned v) { log_msg(v, LOG_DEBUG, "Poll says a reply has arrived, reading reply..."); },
	.read_failed = [](unsigned v, int err) { log_msg(v, LOG_ERR, "Read logout reply: %s", strerror(err)); },
	.received = [](const login_session &s, unsigned v) { log_msg(v, LOG_DEBUG, "Received:\n%s", s.reply); },
	.keeps_page = false,
};

}  // namespace

int http_logout_request(login_session *session, unsigned verbosity)
{
	int result = run_exchange(session, verbosity, logout_kind);
	// Whatever the server says, this program does not count on a login.
	session->logged_in = 0;
	if (result != 0)
		return -1;
	if (reply_has(*session, session->conf->logged_out_string)) {
		log_msg(verbosity, LOG_INFO, "SUCCESSFUL LOGOUT");
		return 0;
	}
	log_msg(verbosity, LOG_ERR, "LOGOUT FAILED");
	return -1;
}

int http_internet_logout(login_session *session, unsigned verbosity)
{
	int result = http_logout_request(session, verbosity);
	if (result == -1) {
		log_msg(verbosity, LOG_INFO, "%s(): logout failed.", "http_internet_logout");
		show_reply(*session, verbosity, "http_internet_logout");
	}
	return result;
}

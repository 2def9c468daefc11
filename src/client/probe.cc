#include "client/probe.h"

#include <cstring>

#include "client/exchange.h"
#include "client/page_fetch.h"
#include "http/page_request.h"
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
	.keeps_page = true,
};

// The probe of PROBE_URL: logged in on a 204, or a 2xx reply that holds
// the marker. With LOGIN_FORM the reply stays for the login to start on.
int probe_url(login_session *s, unsigned verbosity, bool *found)
{
	const login_config &c = *s->conf;
	s->reply[0] = '\0';
	*found = false;
	std::optional<url> u = url_parse(c.probe_url);
	if (!u)
		return -1;  // refused at load
	page_request r;
	r.target = *u;
	fetched_page got;
	if (fetch_page(c, *u, compose_page_request(r), c.probe_url, verbosity, &got) != 0)
		return -1;
	keep_reply(s, got.bytes);
	int status = got.reply.status;
	*found = status == 204 || (status >= 200 && status < 300 && page_has_marker(*s, got.bytes));
	if (c.login_form) {
		s->page = std::move(got.bytes);
		s->page_url = url_text(*u);
	}
	return 0;
}

}  // namespace

int http_pre_login(login_session *session, unsigned verbosity)
{
	const login_config &c = *session->conf;
	std::string().swap(session->page);
	int result;
	bool found;
	if (c.probe_url != nullptr) {
		result = probe_url(session, verbosity, &found);
	} else {
		result = run_exchange(session, verbosity, probe_kind);
		found = c.login_form ? page_has_marker(*session, session->page) : reply_has(*session, c.logged_in_string);
	}
	// A failed exchange shows no login, whatever is in the buffer.
	session->logged_in = result == 0 && found ? 1 : 0;
	// No login follows: the page's memory goes back at once.
	if (session->logged_in || result != 0) {
		std::string().swap(session->page);
		std::string().swap(session->page_url);
	}
	if (session->logged_in && result == 0)
		return 0;
	log_msg(verbosity, LOG_INFO, "%s(): Login server \"pinged\": not logged in...", "http_pre_login");
	show_reply(*session, verbosity, "http_pre_login");
	return result;
}

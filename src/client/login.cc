#include "client/login.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/exchange.h"
#include "client/form_login.h"
#include "http/request.h"
#include "log/log.h"

namespace {

struct free_deleter {
	void operator()(char *p) const { free(p); }
};
using text_buffer = std::unique_ptr<char, free_deleter>;

// One working buffer of the form; reports the failure itself.
text_buffer form_buffer(size_t n, unsigned verbosity)
{
	text_buffer buf(static_cast<char *>(malloc(n)));
	if (buf == nullptr) {
		int err = errno;
		log_msg(verbosity, LOG_ERR, "Failed to allocate memory (%d bytes): %s", static_cast<int>(n),
		        strerror(err));
	}
	return buf;
}

compose_result compose_login(const login_config &c, unsigned verbosity, char *out)
{
	log_msg(verbosity, LOG_DEBUG, "Composing non-url-encoded login string.");
	size_t n = login_form_capacity(c);
	text_buffer form = form_buffer(n, verbosity);
	if (form == nullptr)
		return compose_result::failed;
	compose_login_form(c, form.get(), n);
	// Shows the password in clear; only ever asked for with --debug.
	log_msg(verbosity, LOG_DEBUG, "Login string: %s", form.get());

	text_buffer encoded = form_buffer(n, verbosity);
	if (encoded == nullptr)
		return compose_result::failed;
	plus_for_spaces(form.get(), encoded.get());
	if (compose_login_request(c, encoded.get(), out, REQUEST_SIZE) < 0)
		return compose_result::too_long;
	return compose_result::ok;
}

const exchange_kind login_kind = {
	.page = &login_config::login_page,
	.compose = compose_login,
	.cannot_send =
		[](const login_config &c, unsigned v, int err) {
			log_msg(v, LOG_ERR, "Cannot send login request to server (%s): %s", c.server, strerror(err));
		},
	.send_failed =
		[](const login_config &c, unsigned v, int err) {
			log_msg(v, LOG_ERR, "Failed to send login request to server (%s): %s", c.server, strerror(err));
		},
	.waiting = [](const login_config &, unsigned v) { log_msg(v, LOG_INFO, "Waiting for reply from server..."); },
	.no_reply = [](const login_config &, unsigned v) { log_msg(v, LOG_ERR, "No reply from login server."); },
	.reply_ready = nullptr,
	.read_failed =
		[](unsigned v, int err) {
			log_msg(v, LOG_ERR, "%s(): Error reading login reply: %s", "__http_internet_login", strerror(err));
		},
	.received = nullptr,
	.keeps_page = false,
};

}  // namespace

int http_login_request(login_session *session, unsigned verbosity)
{
	return run_exchange(session, verbosity, login_kind);
}

int http_internet_login(login_session *session, unsigned verbosity)
{
	int result;
	if (session->conf->login_form) {
		result = http_form_login(session, verbosity);
	} else {
		result = http_login_request(session, verbosity);
		// A failed exchange shows no login, whatever is in the buffer.
		session->logged_in = result == 0 && reply_has(*session, session->conf->logged_in_string) ? 1 : 0;
	}
	if (session->logged_in && result == 0)
		return 0;
	log_msg(verbosity, LOG_INFO, "%s(): login failed.", "http_internet_login");
	show_reply(*session, verbosity, "http_internet_login");
	return result;
}

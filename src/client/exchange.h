// The request-reply exchange that the probe, the login and the logout
// share: connect, compose, send, wait, read, close. Each of them hands in
// its own composer and messages; this part knows none of their texts.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/session.h"

enum class compose_result { ok, too_long, failed };

// The parts of one kind of exchange. Reporters that take `err` get the
// errno of the failed call. Optional entries may be null.
struct exchange_kind {
	// The page the request asks for, named when the request is too long.
	const char *login_config::*page;

	// Write the request into `out` (REQUEST_SIZE bytes). `failed` has been
	// reported by the composer itself, `too_long` is reported by the
	// exchange.
	compose_result (*compose)(const login_config &c, unsigned verbosity, char *out);

	// Optional: wait until the socket is writable before sending, and
	// report a wait that failed. A wait that runs out is no failure.
	void (*cannot_send)(const login_config &c, unsigned verbosity, int err);

	void (*send_failed)(const login_config &c, unsigned verbosity, int err);
	void (*waiting)(const login_config &c, unsigned verbosity);
	void (*no_reply)(const login_config &c, unsigned verbosity);
	void (*reply_ready)(unsigned verbosity);  // optional
	void (*read_failed)(unsigned verbosity, int err);
	void (*received)(const login_session &s, unsigned verbosity);  // optional
	// With LOGIN_FORM: read the reply as HTTP up to its cap into the
	// session's page (the reply buffer gets its start), for the login.
	bool keeps_page = false;
};

// Run one exchange on the session: 0 when a reply was read (possibly
// empty), -1 after a reported failure (the reply is then empty). The
// request lives only as long as the exchange; the socket is closed on
// every path that opened one, exactly once.
int run_exchange(login_session *s, unsigned verbosity, const exchange_kind &kind);

// Whether `marker` occurs in the reply, read as text up to its first NUL;
// an empty marker never does.
bool reply_has(const login_session &s, const char *marker);

// The common tail of a report on a reply the caller did not like: with
// MODE_DEBUG the whole reply, else with MODE_VERBOSE a hint how to see it.
void show_reply(const login_session &s, unsigned verbosity, const char *operation);

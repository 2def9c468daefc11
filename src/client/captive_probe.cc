#include "client/captive_probe.h"

#include <strings.h>
#include <time.h>

#include <optional>
#include <string>

#include "client/page_fetch.h"
#include "http/captive_api.h"
#include "http/url.h"
#include "log/log.h"
#include "net/announced_api.h"

namespace {

int64_t boot_clock_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_BOOTTIME, &t);
	return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The API's URL for this probe. 0, -1 after a reported error, 1 when auto
// found none.
int api_url(const login_config &c, unsigned verbosity, url *out)
{
	if (strcasecmp(c.captive_api, "auto") != 0) {
		std::optional<url> u = url_parse(c.captive_api);
		if (!u)
			return -1;  // refused at load
		*out = *u;
		return 0;
	}
	announced a;
	if (!announced_api(c.interface, &a)) {
		log_msg(verbosity, LOG_ERR, "CAPTIVE_API auto: no interface %s to ask about.",
		        a.ifname.empty() ? "(no default route)" : a.ifname.c_str());
		return -1;
	}
	if (!a.uri) {
		log_msg(verbosity, LOG_INFO, "No captive-portal API announced for %s%s%s: probing %s as usual.",
		        a.ifname.c_str(), a.source.empty() ? "" : " in ", a.source.c_str(), c.server);
		return 1;
	}
	std::optional<url> u = url_parse(*a.uri);
	if (!u || u->scheme != "https") {
		// RFC 8908 has the API on https only; http is taken only when the
		// configuration names it.
		log_msg(verbosity, LOG_ERR,
		        "The captive-portal API \"%s\" announced for %s in %s is not an https URL: refused.", a.uri->c_str(),
		        a.ifname.c_str(), a.source.c_str());
		return -1;
	}
	log_msg(verbosity, LOG_INFO, "Captive-portal API for %s, from %s: %s", a.ifname.c_str(), a.source.c_str(),
	        a.uri->c_str());
	*out = *u;
	return 0;
}

}  // namespace

int captive_api_probe(login_session *s, unsigned verbosity, bool *logged_in)
{
	const login_config &c = *s->conf;
	s->api = api_session{};
	s->reply[0] = '\0';
	*logged_in = false;
	url api;
	int r = api_url(c, verbosity, &api);
	if (r != 0)
		return r;
	std::string shown = url_referer(api);
	fetched_page got;
	if (fetch_page(c, api, compose_captive_api_request(api), shown.c_str(), verbosity, &got) != 0)
		return -1;
	keep_reply(s, got.bytes);
	captive_state state;
	std::string why;
	if (!read_captive_reply(got.reply, &state, &why)) {
		log_msg(verbosity, LOG_ERR, "%s: %s", shown.c_str(), why.c_str());
		return -1;
	}
	s->api.read = true;
	s->api.read_at_ms = boot_clock_ms();
	s->api.seconds_remaining = state.seconds_remaining.value_or(-1);
	s->api.can_extend = state.can_extend_session;
	s->api.portal_url = state.user_portal_url.value_or("");
	log_msg(verbosity, LOG_INFO, "The captive-portal API says: %s.", state.captive ? "captive" : "not captive");
	*logged_in = !state.captive;
	return 0;
}

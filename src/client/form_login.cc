#include "client/form_login.h"

#include <strings.h>

#include <cstring>
#include <ctime>

#include "client/exchange.h"
#include "client/form_step.h"
#include "client/page_fetch.h"
#include "client/probe.h"
#include "http/cookies.h"
#include "log/log.h"
#include "net/wait.h"

namespace {

// The page a login is at, and what it keeps until it ends.
struct form_login {
	login_session *s;
	unsigned verbosity;
	cookie_jar jar;
	url page;
	fetched_page got;
	int requests = 0;
	wait_clock::time_point deadline = wait_clock::now() + std::chrono::seconds(FORM_LOGIN_SECONDS);
};


// One request of the login, within its bounds; its reply's cookies go
// into the jar. 0 with `l.got` and `l.page` the reply and its URL.
int request(form_login &l, page_request r, const std::string &shown)
{
	if (l.requests >= MAX_LOGIN_REQUESTS) {
		log_msg(l.verbosity, LOG_ERR, "The login took more than %d requests: stopped.", MAX_LOGIN_REQUESTS);
		return -1;
	}
	if (wait_clock::now() >= l.deadline) {
		log_msg(l.verbosity, LOG_ERR, "The login took more than %d seconds: stopped.", FORM_LOGIN_SECONDS);
		return -1;
	}
	l.requests++;
	r.cookie = cookie_header(l.jar, r.target);
	if (fetch_page(*l.s->conf, r.target, compose_page_request(r), shown.c_str(), l.verbosity, &l.got) != 0)
		return -1;
	for (const http_header &h : l.got.reply.headers)
		if (strcasecmp(h.name.c_str(), "Set-Cookie") == 0)
			cookie_jar_store(l.jar, h.value, r.target, static_cast<int64_t>(time(nullptr)));
	l.page = r.target;
	keep_reply(l.s, l.got.bytes);
	return 0;
}

int get(form_login &l, const url &u)
{
	page_request r;
	r.target = u;
	return request(l, r, url_referer(u));
}

// Follow the redirects from the current page up to a page that is not
// one. 0 with `*step` the step there (a form, or no_form), -1 after a
// reported failure or refusal.
int settle(form_login &l, form_chain &chain, form_step *step)
{
	chain.redirects = 0;
	chain.seen.assign(1, url_referer(l.page));
	for (;;) {
		*step = next_form_step(l.got.reply, l.page, chain, *l.s->conf);
		step->shown = without_password(step->shown, *l.s->conf);
		if (step->kind == step_kind::refuse) {
			log_msg(l.verbosity, LOG_ERR, "%s", without_password(step->error, *l.s->conf).c_str());
			return -1;
		}
		if (step->kind != step_kind::follow)
			return 0;
		log_msg(l.verbosity, LOG_INFO, "Redirected to %s.", step->shown.c_str());
		chain.redirects++;
		chain.seen.push_back(url_referer(step->request.target));
		if (request(l, step->request, step->shown) != 0)
			return -1;
	}
}

int run(form_login &l)
{
	login_session *s = l.s;
	const login_config &c = *s->conf;
	form_chain chain;
	form_step step;

	// The page the probe left, else the probe's URL fetched anew.
	std::optional<url> start = url_parse(s->page_url);
	if (start && !s->page.empty()) {
		l.page = *start;
		l.got.bytes = std::move(s->page);
		l.got.reply = read_reply(l.got.bytes, true);
		for (const http_header &h : l.got.reply.headers)
			if (strcasecmp(h.name.c_str(), "Set-Cookie") == 0)
				cookie_jar_store(l.jar, h.value, l.page, static_cast<int64_t>(time(nullptr)));
	} else {
		std::optional<url> probe = url_parse(c.probe_url != nullptr ? std::string(c.probe_url) : serv_url(c, c.init_page));
		if (!probe || get(l, *probe) != 0)
			return -1;
	}
	if (settle(l, chain, &step) != 0)
		return -1;
	if (step.kind == step_kind::no_form) {
		std::optional<url> login_page = url_parse(serv_url(c, c.login_page));
		log_msg(l.verbosity, LOG_INFO, "No login form on %s: trying %s.",
		        without_password(url_referer(l.page), c).c_str(), c.login_page);
		if (!login_page || get(l, *login_page) != 0 || settle(l, chain, &step) != 0)
			return -1;
		if (step.kind == step_kind::no_form) {
			log_msg(l.verbosity, LOG_ERR, "No login form on %s: nothing was sent.",
			        without_password(url_referer(l.page), c).c_str());
			return -1;
		}
	}

	bool confirmed = false;
	while (step.kind == step_kind::submit) {
		chain.forms++;
		log_msg(l.verbosity, LOG_INFO, "Submitting login form %d of at most %d (%s) to %s.", chain.forms, MAX_FORMS,
		        step.request.post ? "POST" : "GET", step.shown.c_str());
		if (request(l, step.request, step.shown) != 0)
			return -1;
		if (page_has_marker(*s, l.got.bytes)) {
			confirmed = true;
			break;
		}
		if (settle(l, chain, &step) != 0)
			return -1;
		if (page_has_marker(*s, l.got.bytes)) {
			confirmed = true;
			break;
		}
	}
	if (confirmed) {
		s->logged_in = 1;
		return 0;
	}
	// The last reply did not say so: the probe decides.
	log_msg(l.verbosity, LOG_INFO, "Checking the login with the status probe.");
	if (l.requests >= MAX_LOGIN_REQUESTS || wait_clock::now() >= l.deadline) {
		log_msg(l.verbosity, LOG_ERR, "The login took more than its bounds (%d requests, %d seconds): stopped.",
		        MAX_LOGIN_REQUESTS, FORM_LOGIN_SECONDS);
		return -1;
	}
	int result = http_pre_login(s, l.verbosity);
	return result;
}

}  // namespace

int http_form_login(login_session *session, unsigned verbosity)
{
	session->logged_in = 0;
	int result;
	{
		form_login l{.s = session, .verbosity = verbosity, .jar = {}, .page = {}, .got = {}};
		result = run(l);
	}
	// The page and the jar are the login's: their memory goes back now.
	std::string().swap(session->page);
	std::string().swap(session->page_url);
	if (result != 0)
		session->logged_in = 0;
	return result;
}

// The decisions of a form login, apart from its I/O: given the page that
// came back and where it came from, what to request next. Pure: a page
// in, one step out, so that the rules are a table of cases.
#pragma once

#include <string>
#include <vector>

#include "base/session.h"
#include "html/chap.h"
#include "html/forms.h"
#include "html/tokenizer.h"
#include "http/form_encoding.h"
#include "http/page_request.h"
#include "http/reply.h"
#include "http/url.h"

// Redirects followed in a row (HTTP, meta refresh, script): a sixth is not.
inline constexpr int MAX_REDIRECTS = 5;
// Forms submitted in one login, one after another.
inline constexpr int MAX_FORMS = 3;
// The requests of one login at most: the page to start on and LOGIN_PAGE
// on SERV, each with its redirects; each form and its redirects; the
// probe that confirms the login.
inline constexpr int MAX_LOGIN_REQUESTS = 2 * (1 + MAX_REDIRECTS) + MAX_FORMS * (1 + MAX_REDIRECTS) + 1;
// The time after which a login begins no further request; each request's
// own waits (connect, TLS, send, reply) end within 5 seconds each, so a
// login ends within this and one request's waits.
inline constexpr int FORM_LOGIN_SECONDS = 60;

// Where a login stands between two requests.
struct form_chain {
	std::vector<std::string> seen;  // the URLs of the redirects in a row so far, the first page's included
	int redirects = 0;              // redirects in a row
	int forms = 0;                  // forms submitted
};

enum class step_kind {
	follow,   // request `request` (a GET): a redirect
	submit,   // request `request`: the form
	no_form,  // the page has no form and sends nowhere
	refuse,   // end the login: `error` says why
};

struct form_step {
	step_kind kind = step_kind::no_form;
	// follow, submit: its Cookie left to the caller; its Referer the page's
	// URL for the same origin, the page's origin for another, none from
	// https to http
	page_request request;
	std::string shown;     // the URL as the messages show it: never the user's fields
	bool carries_user = false;  // submit: the user's name, password or LOGIN_FIELDS go with it
	std::string error;          // refuse: the one error line
};

// `text` with the password, as it is and form-encoded, written as
// "********": what the login's info and error lines show of a URL.
std::string without_password(std::string text, const login_config &c);

// The fields a form sends with the user's: the input named USERNAME_KEY,
// else the first text or email input, gets USER; the input named
// PASSWORD_KEY, else the first password input, gets PASS, or, with a
// challenge, md5hex(id || PASS || challenge); LOGIN_FIELDS entries
// replace the value of the first field of their name or come last.
// `carries_user` says whether anything of the user's is among them.
std::vector<form_field> login_form_fields(const html::form &f, const login_config &c,
                                          const html::chap_challenge *chap, bool *carries_user);

// The next step after `reply` from `page`: an HTTP redirect (301, 302,
// 303, 307, 308 with Location); else, while fewer than MAX_FORMS forms
// went, the page's form; else its meta refresh or script redirect; else
// no_form. A redirect to another scheme, a sixth in a row or one to a URL
// of this chain ends the login (refuse), as a form with the user's fields
// for a host that is neither SERV nor in PORTAL_HOSTS, or for http from
// an https page, does.
form_step next_form_step(const http_reply &reply, const url &page, const form_chain &chain,
                         const login_config &c);

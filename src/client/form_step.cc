#include "client/form_step.h"

#include <algorithm>

#include "base/md5.h"
#include "html/page_redirects.h"
#include "http/host_match.h"

namespace {

bool is_redirect_status(int status)
{
	return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The Referer as a browser's default policy has it: the page's URL for
// the same origin, only its origin for another, none from https to http.
// A query that carried the user's fields thus never leaves their host.
std::string referer_for(const url &page, const url &target)
{
	if (page.scheme == "https" && target.scheme == "http")
		return "";
	if (page.scheme == target.scheme && page.host == target.host && page.port == target.port)
		return url_referer(page);
	url origin = page;
	origin.path.assign(1, '/');
	origin.query.reset();
	origin.fragment.reset();
	return url_referer(origin);
}

form_step refusal(std::string why)
{
	form_step s;
	s.kind = step_kind::refuse;
	s.error = std::move(why);
	return s;
}

// A redirect to `reference`, checked against the chain's bounds.
form_step redirect_step(const url &page, const std::string &reference, const form_chain &chain)
{
	std::optional<url> to = url_resolve(page, reference);
	if (!to)
		return refusal("The redirect from " + url_referer(page) + " to \"" + reference +
		               "\" is no URL: stopped.");
	if (!to->web)
		return refusal("The redirect to " + url_referer(*to) + " is not to http or https: stopped.");
	if (chain.redirects >= MAX_REDIRECTS)
		return refusal("More than " + std::to_string(MAX_REDIRECTS) + " redirects in a row, the next to " +
		               url_referer(*to) + ": stopped.");
	std::string text = url_referer(*to);
	if (std::find(chain.seen.begin(), chain.seen.end(), text) != chain.seen.end())
		return refusal("Redirect loop: " + text + " came before in this chain of redirects: stopped.");
	form_step s;
	s.kind = step_kind::follow;
	s.request.target = *to;
	s.request.referer = referer_for(page, *to);
	s.shown = text;
	return s;
}

form_step form_submit_step(const html::form &f, const std::vector<html::token> &tokens, const url &page,
                           const login_config &c)
{
	std::optional<url> action = f.action.empty() ? std::optional<url>(page) : url_resolve(page, f.action);
	if (!action)
		return refusal("The login form's action \"" + f.action + "\" is no URL: nothing was sent.");
	if (!action->web)
		return refusal("The login form goes to " + url_referer(*action) +
		               ", not to http or https: nothing was sent.");
	html::chap_challenge chap;
	bool has_chap = html::find_chap_challenge(tokens, chap);
	form_step s;
	std::vector<form_field> fields = login_form_fields(f, c, has_chap ? &chap : nullptr, &s.carries_user);
	url shown = *action;
	shown.query.reset();
	shown.fragment.reset();
	s.shown = url_text(shown);
	if (s.carries_user) {
		if (!host_gets_password(action->host, c.server, c.portal_hosts != nullptr ? c.portal_hosts : ""))
			return refusal("The login form would send the user's fields to " + action->host +
			               ", which is neither SERV nor in PORTAL_HOSTS: nothing was sent to it.");
		if (page.scheme == "https" && action->scheme == "http")
			return refusal("The login form on an https page would send the user's fields over http to " +
			               action->host + ": nothing was sent.");
	}
	s.kind = step_kind::submit;
	s.request.referer = referer_for(page, *action);
	if (f.method == html::form_method::post) {
		s.request.post = true;
		s.request.target = *action;
		s.request.target.fragment.reset();
		s.request.body = form_urlencoded(fields);
	} else {
		s.request.target = form_get_url(*action, fields);
		s.request.target.fragment.reset();
	}
	return s;
}

}  // namespace

std::string without_password(std::string text, const login_config &c)
{
	if (c.password == nullptr || c.password[0] == '\0')
		return text;
	for (const std::string &secret : {std::string(c.password), form_urlencoded_bytes(c.password)}) {
		for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 8))
			text.replace(at, secret.size(), "********");
	}
	return text;
}

std::vector<form_field> login_form_fields(const html::form &f, const login_config &c,
                                          const html::chap_challenge *chap, bool *carries_user)
{
	std::vector<form_field> out;
	out.reserve(f.fields.size() + 2);
	for (const html::form_field &x : f.fields)
		out.push_back({x.name, x.value});
	*carries_user = false;

	auto find_named = [&](const char *name) -> int {
		if (name == nullptr || name[0] == '\0')
			return -1;
		for (size_t i = 0; i < f.fields.size(); i++)
			if (f.fields[i].name == name)
				return static_cast<int>(i);
		return -1;
	};
	auto find_kind = [&](auto pred) -> int {
		for (size_t i = 0; i < f.fields.size(); i++)
			if (pred(f.fields[i].kind))
				return static_cast<int>(i);
		return -1;
	};
	int user = find_named(c.username_key);
	if (user < 0)
		user = find_kind([](html::field_kind k) { return k == html::field_kind::text || k == html::field_kind::email; });
	int pass = find_named(c.password_key);
	if (pass < 0)
		pass = find_kind([](html::field_kind k) { return k == html::field_kind::password; });
	if (user >= 0 && user != pass && c.username != nullptr) {
		out[static_cast<size_t>(user)].value = c.username;
		*carries_user = true;
	}
	if (pass >= 0 && c.password != nullptr) {
		out[static_cast<size_t>(pass)].value =
			chap != nullptr ? md5hex(chap->id + c.password + chap->challenge) : std::string(c.password);
		*carries_user = true;
	}
	if (c.login_fields != nullptr) {
		std::optional<std::vector<form_field>> extra = parse_login_fields(c.login_fields);
		if (extra) {
			for (form_field &e : *extra) {
				auto it = std::find_if(out.begin(), out.end(), [&](const form_field &o) { return o.name == e.name; });
				if (it != out.end())
					it->value = std::move(e.value);
				else
					out.push_back(std::move(e));
				*carries_user = true;
			}
		}
	}
	return out;
}

form_step next_form_step(const http_reply &reply, const url &page, const form_chain &chain, const login_config &c)
{
	if (is_redirect_status(reply.status)) {
		if (const std::string *location = reply_header(reply, "Location"))
			return redirect_step(page, *location, chain);
	}
	std::vector<html::token> tokens = html::tokenize(reply.body);
	if (chain.forms < MAX_FORMS) {
		std::vector<html::form> forms = html::read_forms(tokens);
		if (const html::form *f = html::form_to_submit(forms))
			return form_submit_step(*f, tokens, page, c);
	}
	std::string to;
	if (html::page_redirect(tokens, to))
		return redirect_step(page, to, chain);
	return form_step{};
}

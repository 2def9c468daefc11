#include "transcript.h"

#include <cstdio>
#include <map>
#include <utility>

#include "client/login.h"
#include "client/logout.h"
#include "client/probe.h"

namespace client_test {

namespace {

// ---- the lines, by the names the table below uses ----

// Every exchange.
const Want connecting = {WITH_V, 'I', "Connecting to login server, {server}:{port}."};
const Want refused = {ALL_RUNS, 'E', "Failed to connect to login server ({server}): Connection refused"};
const Want timed_out = {ALL_RUNS, 'E', "Failed to connect to login server ({server}): Connection timed out"};
const Want no_address = {ALL_RUNS, 'E', "DNS lookup of login server {server} failed to resolve to an IP#"};
const Want try_tools = {ALL_RUNS, 'E', "Try the commands nslookup, host or dig for more details."};
const Want lookup_error = {ALL_RUNS, 'E', "gethostbyname() returns: {any}"};
const Want not_connected = {ALL_RUNS, 'E', "Failed to connect to login server ({server}): {any}"};
const Want waiting = {WITH_V, 'I', "Waiting for reply from server..."};
const Want no_reply = {ALL_RUNS, 'E', "No reply from login server."};

// The probe.
const Want probe_request = {WITH_D, 'D', "{probe_request}"};
const Want probe_not_sent = {ALL_RUNS, 'E', "Failed sending request for {init_page}."};
const Want probe_closing = {ALL_RUNS, 'E', "Closing connection to login server."};
const Want probe_not_read = {ALL_RUNS, 'E', "Failed to \"ping\" login server: {any}"};
const Want probe_verdict = {WITH_V, 'I', "http_pre_login(): Login server \"pinged\": not logged in..."};
const Want probe_reply = {WITH_D, 'D', "http_pre_login(): Here is the reply:\n{reply}"};
const Want probe_hint = {V_NOT_D, 'I',
                         "http_pre_login(): Start kavri with --verbose --debug to see whole reply."};

// The login.
const Want composing = {WITH_D, 'D', "Composing non-url-encoded login string."};
const Want login_string = {WITH_D, 'D', "Login string: {form}"};
const Want login_request = {WITH_D, 'D', "{login_request}"};
const Want login_not_sent = {ALL_RUNS, 'E', "Failed to send login request to server ({server}): {any}"};
const Want login_not_read = {ALL_RUNS, 'E', "__http_internet_login(): Error reading login reply: {any}"};
const Want login_verdict = {WITH_V, 'I', "http_internet_login(): login failed."};
const Want login_reply = {WITH_D, 'D', "http_internet_login(): Here is the reply:\n{reply}"};
const Want login_hint = {V_NOT_D, 'I',
                         "http_internet_login(): Start kavri with --verbose --debug to see whole reply."};

// The logout.
const Want logout_request = {WITH_D, 'D', "{logout_request}"};
const Want logout_not_sent = {ALL_RUNS, 'E', "Logout request failed: {any}"};
const Want logout_waiting = {WITH_V, 'I', "Waiting for logout reply, 5 second timeout ..."};
const Want logout_no_reply = {ALL_RUNS, 'E', "{logout_page} does not respond, cannot log out!"};
const Want poll_says = {WITH_D, 'D', "Poll says a reply has arrived, reading reply..."};
const Want logout_not_read = {ALL_RUNS, 'E', "Read logout reply: {any}"};
const Want received = {WITH_D, 'D', "Received:\n{reply}"};
const Want logged_out = {WITH_V, 'I', "SUCCESSFUL LOGOUT"};
const Want logout_failed = {ALL_RUNS, 'E', "LOGOUT FAILED"};
const Want logout_verdict = {WITH_V, 'I', "http_internet_logout(): logout failed."};
const Want logout_reply = {WITH_D, 'D', "http_internet_logout(): Here is the reply:\n{reply}"};
const Want logout_hint = {V_NOT_D, 'I',
                          "http_internet_logout(): Start kavri with --verbose --debug to see whole reply."};

// ---- every exchange on every path ----

struct Transcript {
	int result;
	int logged_in;
	std::vector<Want> lines;  // in the order they are written
};

using P = Path;

const std::map<std::pair<Exch, Path>, Transcript> transcripts = {
	{{Exch::probe, P::found}, {0, 1, {connecting, probe_request, waiting}}},
	{{Exch::probe, P::absent},
	 {0, 0, {connecting, probe_request, waiting, probe_verdict, probe_reply, probe_hint}}},
	{{Exch::probe, P::refused}, {-1, 0, {connecting, refused, refused, probe_verdict, probe_reply, probe_hint}}},
	{{Exch::probe, P::connect_timeout},
	 {-1, 0, {connecting, timed_out, timed_out, probe_verdict, probe_reply, probe_hint}}},
	{{Exch::probe, P::unresolved},
	 {-1, 0,
	  {connecting, no_address, try_tools, lookup_error, not_connected, probe_verdict, probe_reply, probe_hint}}},
	{{Exch::probe, P::no_reply},
	 {-1, 0, {connecting, probe_request, waiting, no_reply, probe_verdict, probe_reply, probe_hint}}},
	{{Exch::probe, P::send_failed},
	 {-1, 0,
	  {connecting, probe_request, probe_not_sent, probe_closing, probe_verdict, probe_reply, probe_hint}}},
	{{Exch::probe, P::read_failed},
	 {-1, 0, {connecting, probe_request, waiting, probe_not_read, probe_verdict, probe_reply, probe_hint}}},

	{{Exch::login, P::found}, {0, 1, {connecting, composing, login_string, login_request, waiting}}},
	{{Exch::login, P::absent},
	 {0, 0,
	  {connecting, composing, login_string, login_request, waiting, login_verdict, login_reply, login_hint}}},
	{{Exch::login, P::refused}, {-1, 0, {connecting, refused, refused, login_verdict, login_reply, login_hint}}},
	{{Exch::login, P::connect_timeout},
	 {-1, 0, {connecting, timed_out, timed_out, login_verdict, login_reply, login_hint}}},
	{{Exch::login, P::unresolved},
	 {-1, 0,
	  {connecting, no_address, try_tools, lookup_error, not_connected, login_verdict, login_reply, login_hint}}},
	{{Exch::login, P::no_reply},
	 {-1, 0,
	  {connecting, composing, login_string, login_request, waiting, no_reply, login_verdict, login_reply,
	   login_hint}}},
	{{Exch::login, P::send_failed},
	 {-1, 0,
	  {connecting, composing, login_string, login_request, login_not_sent, login_verdict, login_reply,
	   login_hint}}},
	{{Exch::login, P::read_failed},
	 {-1, 0,
	  {connecting, composing, login_string, login_request, waiting, login_not_read, login_verdict, login_reply,
	   login_hint}}},

	{{Exch::logout, P::found},
	 {0, 0, {connecting, logout_request, logout_waiting, poll_says, received, logged_out}}},
	{{Exch::logout, P::absent},
	 {-1, 0,
	  {connecting, logout_request, logout_waiting, poll_says, received, logout_failed, logout_verdict,
	   logout_reply, logout_hint}}},
	{{Exch::logout, P::refused},
	 {-1, 0, {connecting, refused, refused, logout_verdict, logout_reply, logout_hint}}},
	{{Exch::logout, P::connect_timeout},
	 {-1, 0, {connecting, timed_out, timed_out, logout_verdict, logout_reply, logout_hint}}},
	{{Exch::logout, P::unresolved},
	 {-1, 0,
	  {connecting, no_address, try_tools, lookup_error, not_connected, logout_verdict, logout_reply,
	   logout_hint}}},
	{{Exch::logout, P::no_reply},
	 {-1, 0,
	  {connecting, logout_request, logout_waiting, logout_no_reply, logout_verdict, logout_reply, logout_hint}}},
	{{Exch::logout, P::send_failed},
	 {-1, 0, {connecting, logout_request, logout_not_sent, logout_verdict, logout_reply, logout_hint}}},
	{{Exch::logout, P::read_failed},
	 {-1, 0,
	  {connecting, logout_request, logout_waiting, poll_says, logout_not_read, logout_verdict, logout_reply,
	   logout_hint}}},
};

const Transcript &transcript(Exch e, Path p)
{
	return transcripts.at({e, p});
}

// The run a mode word makes, as a bit of Want::runs; 0 for another word.
unsigned run_of(unsigned mode)
{
	if (mode == 0)
		return QUIET;
	if (mode == MODE_VERBOSE)
		return VERBOSE;
	if (mode == (MODE_VERBOSE | MODE_DEBUG))
		return DEBUGGING;
	ADD_FAILURE() << "no transcript for mode word " << mode;
	return 0;
}

const std::string ANY = "{any}";

// `text` with each {name} that `values` has replaced by its value; nothing
// put in is looked at again.
std::string filled(const std::string &text, const std::map<std::string, std::string> &values)
{
	std::string out;
	size_t at = 0;
	while (at < text.size()) {
		size_t open = text.find('{', at);
		size_t close = open == std::string::npos ? open : text.find('}', open);
		if (close == std::string::npos) {
			out.append(text, at, std::string::npos);
			break;
		}
		auto v = values.find(text.substr(open + 1, close - open - 1));
		out.append(text, at, open - at);
		out += v != values.end() ? v->second : text.substr(open, close - open + 1);
		at = close + 1;
	}
	return out;
}

std::map<std::string, std::string> values_of(const Session &s, const std::string &form)
{
	std::string encoded = form;
	for (char &c : encoded)
		if (c == ' ')
			c = '+';
	return {
		{"server", s.server},
		{"port", std::to_string(s.port)},
		{"init_page", s.init_page},
		{"logout_page", s.logout_page},
		{"form", form},
		{"reply", s.reply},
		{"probe_request", probe_bytes(s.init_page, s.server)},
		{"login_request", login_bytes(s.login_page, s.server, s.init_page, encoded)},
		{"logout_request", logout_bytes(s.logout_page, s.server, s.init_page)},
	};
}

}  // namespace

const char *exch_name(Exch e)
{
	static const char *const names[] = {"probe", "login", "logout"};
	return names[static_cast<int>(e)];
}

int call(Exch e, login_session *s, unsigned mode)
{
	switch (e) {
	case Exch::probe:
		return http_pre_login(s, mode);
	case Exch::login:
		return http_internet_login(s, mode);
	case Exch::logout:
		break;
	}
	return http_internet_logout(s, mode);
}

Page page_of(Exch e)
{
	static const Page pages[] = {Page::status, Page::login, Page::logout};
	return pages[static_cast<int>(e)];
}

const char *&marker_of(Exch e, Session &s)
{
	return e == Exch::logout ? s.logged_out_string : s.logged_in_string;
}

const char *path_name(Path p)
{
	static const char *const names[] = {"found",    "absent",      "refused",    "connect_timeout", "unresolved",
	                                    "no_reply", "send_failed", "read_failed"};
	return names[static_cast<int>(p)];
}

int result_of(Exch e, Path p)
{
	return transcript(e, p).result;
}

int logged_in_after(Exch e, Path p)
{
	return transcript(e, p).logged_in;
}

void split_for_mode(const std::vector<Want> &all, unsigned mode, std::vector<Want> &out, std::vector<Want> &err,
                    const Session *s, const std::string &form)
{
	unsigned run = run_of(mode);
	std::map<std::string, std::string> values;
	if (s != nullptr)
		values = values_of(*s, form);
	for (Want w : all) {
		if ((w.runs & run) == 0)
			continue;
		w.text = filled(w.text, values);
		(w.tag == 'E' ? err : out).push_back(w);
	}
}

bool matches(const std::vector<Want> &want, const std::vector<Msg> &got)
{
	if (want.size() != got.size())
		return false;
	for (size_t i = 0; i < want.size(); i++) {
		const std::string &w = want[i].text;
		bool prefix = w.ends_with(ANY);
		if (want[i].tag != got[i].tag)
			return false;
		if (prefix ? got[i].text.rfind(w.substr(0, w.size() - ANY.size()), 0) != 0 : got[i].text != w)
			return false;
	}
	return true;
}

std::string show(const std::vector<Want> &w)
{
	std::string t;
	for (const Want &x : w)
		t += std::string(1, x.tag) + " \"" + x.text + "\"\n";
	return t;
}

std::string show(const std::vector<Msg> &m)
{
	std::string t;
	for (const Msg &x : m)
		t += std::string(1, x.tag) + " \"" + x.text + "\"\n";
	return t;
}

testing::AssertionResult streams_follow(Exch e, Path p, unsigned mode, const Seen &seen, const std::string &out,
                                        const std::string &err, pid_t pid)
{
	std::vector<Want> want_out, want_err;
	split_for_mode(transcript(e, p).lines, mode, want_out, want_err, &seen.s, seen.form);
	auto got_out = messages(out, pid), got_err = messages(err, pid);
	if (matches(want_out, got_out) && matches(want_err, got_err))
		return testing::AssertionSuccess();
	return testing::AssertionFailure() << exch_name(e) << " path " << path_name(p) << " mode " << mode
	                                   << "\n--- expected stdout:\n" << show(want_out) << "--- got stdout:\n"
	                                   << show(got_out) << "--- expected stderr:\n" << show(want_err)
	                                   << "--- got stderr:\n" << show(got_err);
}

std::string report(int rc, const Session &s, long ms)
{
	return std::to_string(rc) + " " + std::to_string(s.logged_in) + " " + std::to_string(ms) + " " +
	       std::to_string(s.port) + "\n" + s.reply;
}

Report parse(const std::string &text, Session s)
{
	Report r;
	size_t nl = text.find('\n');
	if (nl == std::string::npos)
		return r;
	sscanf(text.c_str(), "%d %d %ld %d", &r.rc, &r.logged_in, &r.ms, &s.port);
	snprintf(s.reply, sizeof s.reply, "%s", text.substr(nl + 1).c_str());
	r.s = s;
	return r;
}

}  // namespace client_test

// The messages each exchange must write, per path and mode word, written
// out from the message tables, and the comparison with what was captured.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/client.h"
#include "client_support.h"
#include "fake_server.h"

namespace client_test {

enum class Exch { probe, login, logout };

inline const char *exch_name(Exch e);
inline void PrintTo(Exch e, std::ostream *os)
{
	*os << exch_name(e);
}

inline const char *exch_name(Exch e)
{
	return e == Exch::probe ? "probe" : e == Exch::login ? "login" : "logout";
}

inline int call(Exch e, login_session *s, unsigned mode)
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

inline Page page_of(Exch e)
{
	return e == Exch::probe ? Page::status : e == Exch::login ? Page::login : Page::logout;
}

// The marker the exchange judges its reply by.
inline const char *&marker_of(Exch e, Session &s)
{
	return e == Exch::logout ? s.logged_out_string : s.logged_in_string;
}

enum class Path { found, absent, refused, connect_timeout, unresolved, no_reply, send_failed, read_failed };

inline const char *path_name(Path p)
{
	static const char *names[] = {"found",    "absent",      "refused",    "connect_timeout", "unresolved",
	                              "no_reply", "send_failed", "read_failed"};
	return names[static_cast<int>(p)];
}

// An expected message; `prefix`: the text only has to start with it (the
// system's error text after it is not ours to pin).
struct Want {
	char tag;
	std::string text;
	bool prefix = false;
};

struct Seen {
	const Session &s;  // after the call: the settings and the reply
	std::string form;  // the login form before the "+" replacement
};

// The request the exchange must have composed, from the hand-written
// request texts.
inline std::string request_of(Exch e, const Seen &seen)
{
	const Session &s = seen.s;
	if (e == Exch::probe)
		return probe_bytes(s.init_page, s.server);
	if (e == Exch::logout)
		return logout_bytes(s.logout_page, s.server, s.init_page);
	std::string encoded = seen.form;
	for (char &c : encoded)
		if (c == ' ')
			c = '+';
	return login_bytes(s.login_page, s.server, s.init_page, encoded);
}

// The full transcript in order, every level; the mode word decides the
// report lines; the caller drops what the mode word does not write.
inline std::vector<Want> transcript(Exch e, Path p, unsigned mode, const Seen &seen)
{
	const Session &s = seen.s;
	std::string server = s.server;
	std::vector<Want> w;
	w.push_back({'I', "Connecting to login server, " + server + ":" + std::to_string(s.port) + "."});
	bool completed = false;
	auto evaluate = [&] {
		const char *op = e == Exch::probe ? "http_pre_login" : e == Exch::login ? "http_internet_login"
		                                                                          : "http_internet_logout";
		if (e == Exch::logout && completed) {
			if (p == Path::found) {
				w.push_back({'I', "SUCCESSFUL LOGOUT"});
				return;
			}
			w.push_back({'E', "LOGOUT FAILED"});
		}
		if (e != Exch::logout && p == Path::found)
			return;
		w.push_back({'I', std::string(op) + (e == Exch::probe   ? "(): Login server \"pinged\": not logged in..."
		                                     : e == Exch::login ? "(): login failed."
		                                                        : "(): logout failed.")});
		if (mode & MODE_DEBUG)
			w.push_back({'D', std::string(op) + "(): Here is the reply:\n" + s.reply});
		else
			w.push_back({'I', std::string(op) + "(): Start kavri with --verbose --debug to see whole reply."});
	};

	if (p == Path::refused || p == Path::connect_timeout) {
		// The connection step's line, then the exchange's own.
		std::string why = p == Path::refused ? "Connection refused" : strerror(ETIMEDOUT);
		w.push_back({'E', "Failed to connect to login server (" + server + "): " + why});
		w.push_back({'E', "Failed to connect to login server (" + server + "): " + why});
		evaluate();
		return w;
	}
	if (p == Path::unresolved) {
		w.push_back({'E', "DNS lookup of login server " + server + " failed to resolve to an IP#"});
		w.push_back({'E', "Try the commands nslookup, host or dig for more details."});
		w.push_back({'E', "gethostbyname() returns: ", true});
		w.push_back({'E', "Failed to connect to login server (" + server + "): ", true});
		evaluate();
		return w;
	}
	if (e == Exch::login) {
		w.push_back({'D', "Composing non-url-encoded login string."});
		w.push_back({'D', "Login string: " + seen.form});
	}
	w.push_back({'D', request_of(e, seen)});
	if (p == Path::send_failed) {
		if (e == Exch::probe) {
			w.push_back({'E', std::string("Failed sending request for ") + s.init_page + "."});
			w.push_back({'E', "Closing connection to login server."});
		} else if (e == Exch::login) {
			w.push_back({'E', "Failed to send login request to server (" + server + "): ", true});
		} else {
			w.push_back({'E', "Logout request failed: ", true});
		}
		evaluate();
		return w;
	}
	w.push_back({'I', e == Exch::logout ? "Waiting for logout reply, 5 second timeout ..."
	                                    : "Waiting for reply from server..."});
	if (p == Path::no_reply) {
		w.push_back({'E', e == Exch::logout ? std::string(s.logout_page) + " does not respond, cannot log out!"
		                                    : "No reply from login server."});
		evaluate();
		return w;
	}
	if (e == Exch::logout)
		w.push_back({'D', "Poll says a reply has arrived, reading reply..."});
	if (p == Path::read_failed) {
		w.push_back({'E', e == Exch::probe   ? "Failed to \"ping\" login server: "
		                  : e == Exch::login ? "__http_internet_login(): Error reading login reply: "
		                                     : "Read logout reply: ",
		             true});
		evaluate();
		return w;
	}
	if (e == Exch::logout)
		w.push_back({'D', std::string("Received:\n") + s.reply});
	completed = true;
	evaluate();
	return w;
}

// What the mode word lets through, split by stream: info and debug on
// standard output, errors on standard error.
inline void split_for_mode(const std::vector<Want> &all, unsigned mode, std::vector<Want> &out,
                           std::vector<Want> &err)
{
	for (const Want &x : all) {
		if (x.tag == 'E')
			err.push_back(x);
		else if ((x.tag == 'I' && (mode & MODE_VERBOSE)) || (x.tag == 'D' && (mode & MODE_DEBUG)))
			out.push_back(x);
	}
}

inline bool matches(const std::vector<Want> &want, const std::vector<Msg> &got)
{
	if (want.size() != got.size())
		return false;
	for (size_t i = 0; i < want.size(); i++) {
		if (want[i].tag != got[i].tag)
			return false;
		if (want[i].prefix ? got[i].text.rfind(want[i].text, 0) != 0 : got[i].text != want[i].text)
			return false;
	}
	return true;
}

inline std::string show(const std::vector<Want> &w)
{
	std::string t;
	for (const Want &x : w)
		t += std::string(1, x.tag) + " \"" + x.text + (x.prefix ? "...\"\n" : "\"\n");
	return t;
}

inline std::string show(const std::vector<Msg> &m)
{
	std::string t;
	for (const Msg &x : m)
		t += std::string(1, x.tag) + " \"" + x.text + "\"\n";
	return t;
}

// Whether the captured streams are the transcript of `p`; a failure
// message for the caller when they are not.
inline testing::AssertionResult streams_follow(Exch e, Path p, unsigned mode, const Seen &seen,
                                               const std::string &out, const std::string &err, pid_t pid)
{
	std::vector<Want> want_out, want_err;
	split_for_mode(transcript(e, p, mode, seen), mode, want_out, want_err);
	auto got_out = messages(out, pid), got_err = messages(err, pid);
	if (matches(want_out, got_out) && matches(want_err, got_err))
		return testing::AssertionSuccess();
	return testing::AssertionFailure() << exch_name(e) << " path " << path_name(p) << " mode " << mode
	                                   << "\n--- expected stdout:\n" << show(want_out) << "--- got stdout:\n"
	                                   << show(got_out) << "--- expected stderr:\n" << show(want_err)
	                                   << "--- got stderr:\n" << show(got_err);
}

// The result and logged_in each path must leave.
inline int result_of(Exch e, Path p)
{
	if (e == Exch::logout)
		return p == Path::found ? 0 : -1;
	return p == Path::found || p == Path::absent ? 0 : -1;
}

inline int logged_in_after(Exch e, Path p)
{
	return e != Exch::logout && p == Path::found ? 1 : 0;
}

// An exchange run in a child process hands back its result, logged_in,
// the time it took, the session's port and its reply, which the
// transcript needs.
inline std::string report(int rc, const Session &s, long ms)
{
	return std::to_string(rc) + " " + std::to_string(s.logged_in) + " " + std::to_string(ms) + " " +
	       std::to_string(s.port) + "\n" + s.reply;
}

struct Report {
	int rc = -2, logged_in = -2;
	long ms = -1;
	Session s;
};

// `s`: the session the child started from, completed with what came back.
inline Report parse(const std::string &text, Session s)
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

// The messages each exchange must write, path by path: the exact lines,
// written out in a table (transcript.cc) with the runs that write each
// line, and the comparison with what was captured.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "base/session.h"
#include "client_support.h"
#include "fake_server.h"

namespace client_test {

enum class Exch { probe, login, logout };

const char *exch_name(Exch e);
inline void PrintTo(Exch e, std::ostream *os)
{
	*os << exch_name(e);
}

// Run the exchange on the session with the mode word.
int call(Exch e, login_session *s, unsigned mode);

// The kind of request the exchange sends.
Page page_of(Exch e);

// The marker the exchange judges its reply by.
const char *&marker_of(Exch e, Session &s);

// The ways an exchange can go.
enum class Path { found, absent, refused, connect_timeout, unresolved, no_reply, send_failed, read_failed };

const char *path_name(Path p);

// The runs that write a line: quiet (mode word 0), verbose (MODE_VERBOSE)
// and debugging (MODE_VERBOSE | MODE_DEBUG); and the sets of them that
// lines name: every run, those with -v, the one with -d, -v without -d.
constexpr unsigned QUIET = 1, VERBOSE = 2, DEBUGGING = 4;
constexpr unsigned ALL_RUNS = QUIET | VERBOSE | DEBUGGING, WITH_V = VERBOSE | DEBUGGING, WITH_D = DEBUGGING,
                   V_NOT_D = VERBOSE;

// An expected message: the runs that write it, its tag ('E' on standard
// error; 'I' and 'D' on standard output) and its text. In the text,
// {server}, {port}, {init_page}, {logout_page}, {form}, {reply},
// {probe_request}, {login_request} and {logout_request} stand for the
// session's values; a text ending in {any} only has to start with what
// comes before it (the system's error text after it is not ours to pin).
struct Want {
	unsigned runs;
	char tag;
	std::string text;
};

// What the exchange had to go on: the settings and the reply after the
// call, and the login form before its blanks became "+".
struct Seen {
	const Session &s;
	std::string form;
};

// The result and logged_in each path must leave.
int result_of(Exch e, Path p);
int logged_in_after(Exch e, Path p);

// The lines of `all` that the mode word's run writes, split by stream,
// with the session's values filled in.
void split_for_mode(const std::vector<Want> &all, unsigned mode, std::vector<Want> &out, std::vector<Want> &err,
                    const Session *s = nullptr, const std::string &form = "");

bool matches(const std::vector<Want> &want, const std::vector<Msg> &got);
std::string show(const std::vector<Want> &w);
std::string show(const std::vector<Msg> &m);

// Whether the captured streams are the transcript of `p`; a failure
// message for the caller when they are not.
testing::AssertionResult streams_follow(Exch e, Path p, unsigned mode, const Seen &seen, const std::string &out,
                                        const std::string &err, pid_t pid);

// An exchange run in a child process hands back its result, logged_in,
// the time it took, the session's port and its reply, which the
// transcript needs.
std::string report(int rc, const Session &s, long ms);

struct Report {
	int rc = -2, logged_in = -2;
	long ms = -1;
	Session s;
};

// `s`: the session the child started from, completed with what came back.
Report parse(const std::string &text, Session s);

}  // namespace client_test

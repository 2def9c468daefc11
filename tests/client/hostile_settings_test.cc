// Settings of 5,000 characters and settings holding "%n%s%x", carriage
// returns and other control bytes: no request longer than the request
// buffer allows leaves the program, nothing crashes, and every value is
// printed as the characters it holds, on the console and in the system log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "client_support.h"
#include "fake_server.h"
#include "helpers.h"
#include "syslog_sink.h"
#include "transcript.h"

using namespace client_test;

namespace {

// Directives, a carriage return, a line feed, and the control bytes of a
// terminal escape. Quoted values may hold all of them (not '"' or NUL).
const std::string HOSTILE = "%n%s%x\r\x01\x02\x1b[7m\x7f\t%%d\x08\n%p";
constexpr size_t LONG = 5000;
constexpr size_t LONGEST_SENT = REQUEST_SIZE - 1;  // 4,090

std::string repeated(const std::string &unit, size_t n)
{
	std::string s;
	while (s.size() < n)
		s += unit;
	s.resize(n);
	return s;
}

// Which requests carry a setting: a long one makes them too long.
enum : unsigned { PROBE = 1, LOGIN = 2, LOGOUT = 4 };

struct Setting {
	const char *name;  // the first of its names, as the debug listing shows it
	unsigned carried_by;
};

const Setting settings[] = {
	{"USER", LOGIN},
	{"PASS", LOGIN},
	{"SERV", PROBE | LOGIN | LOGOUT},
	{"SERVER_PORT", 0},
	{"LOGIN_STRING_HEADER", LOGIN},
	{"USERNAME_KEY", LOGIN},
	{"PASSWORD_KEY", LOGIN},
	{"LOGIN_STRING_FOOTER", LOGIN},
	{"LOGGED_IN_STRING", 0},
	{"LOGGED_OUT_STRING", 0},
	{"INIT_PAGE", PROBE | LOGIN | LOGOUT},
	{"LOGIN_PAGE", LOGIN},
	{"LOGOUT_PAGE", LOGOUT},
	{"PID_FILE", 0},
	{"DEAMON_S", 0},
	{"DEAMON_T", 0},
	{"DEAMON_D", 0},
};

// A setting's value at `n` characters. The server and the port stay
// usable: leading zeros keep 127.0.0.1 (0177 in octal) and the port.
std::string value_of(const std::string &name, size_t n, int port)
{
	if (name == "SERV")
		return n <= 9 ? "127.0.0.1" : std::string(n - 10, '0') + "0177.0.0.1";
	if (name == "SERVER_PORT") {
		std::string p = std::to_string(port);
		return n <= p.size() ? p : std::string(n - p.size(), '0') + p;
	}
	return repeated(HOSTILE, n);
}

std::string default_of(const std::string &name, int port)
{
	static const std::map<std::string, std::string> d = {
		{"USER", "joe"}, {"PASS", "secret"}, {"SERV", "127.0.0.1"}, {"DEAMON_S", "false"},
		// Inside the run's own /tmp.
		{"PID_FILE", "/tmp/kavri-hostile.pid"}, {"USERNAME_KEY", "username"}, {"PASSWORD_KEY", "password"},
		{"LOGIN_STRING_FOOTER", "submitForm=Login"}, {"LOGGED_IN_STRING", "/sd/create_session_window"},
		{"LOGGED_OUT_STRING", "Login again"}, {"INIT_PAGE", "/sd/init"}, {"LOGIN_PAGE", "/sd/login"},
		{"LOGOUT_PAGE", "/sd/logout"}, {"DEAMON_T", "login"}, {"DEAMON_D", "5"}};
	if (name == "SERVER_PORT")
		return std::to_string(port);
	auto it = d.find(name);
	return it != d.end() ? it->second : "";
}

// One configuration: each setting's value (absent: not written).
struct Row {
	std::string name;
	std::map<std::string, std::string> values;
	unsigned too_long = 0;  // the requests that must be refused
};

// Every setting long on its own, all long at once, all hostile but short.
// SERVER_PORT holds 0 until the row's server is known.
std::vector<Row> rows()
{
	const int port = 0;
	std::vector<Row> out;
	auto base = [&] {
		Row r;
		for (const Setting &s : settings)
			if (s.name != std::string("LOGIN_STRING_HEADER"))
				r.values[s.name] = default_of(s.name, port);
		return r;
	};
	for (const Setting &s : settings) {
		Row r = base();
		r.name = std::string(s.name) + "_long";
		r.values[s.name] = value_of(s.name, LONG, port);
		r.too_long = s.carried_by;
		out.push_back(r);
	}
	Row all = base(), short_ones = base();
	all.name = "all_long";
	short_ones.name = "all_hostile_short";
	for (const Setting &s : settings) {
		all.values[s.name] = value_of(s.name, LONG, port);
		all.too_long |= s.carried_by;
		short_ones.values[s.name] = value_of(s.name, HOSTILE.size(), port);
	}
	out.push_back(all);
	out.push_back(short_ones);
	return out;
}

std::string config_text(const Row &r)
{
	std::string c;
	for (const auto &[name, value] : r.values)
		c += name + " = \"" + value + "\"\n";
	return c;
}

pid_t pid_in(const std::string &console)
{
	size_t at = console.find(" kavri[");
	return at == std::string::npos ? -1 : static_cast<pid_t>(atol(console.c_str() + at + 7));
}

bool has(const std::vector<Msg> &got, const Msg &m)
{
	for (const Msg &g : got)
		if (g == m)
			return true;
	return false;
}

std::string refused(const std::string &page)
{
	return "Request for " + page + " is too long, not sent.";
}

// Each run mode with --debug, so that every setting and every request is
// shown, in a mount namespace with a /tmp of its own: a long PID_FILE
// sends the run modes to the fallback /tmp/kavri.pid, which must be no
// one else's. The configuration comes in on standard input.
TEST(HostileSettings, RunModesSendNothingTooLongAndPrintValuesLiterally)
{
	for (const Row &row : rows()) {
		SCOPED_TRACE(row.name);
		FakeServer server;
		ASSERT_TRUE(server.listening());
		Row r = row;
		// The port of this row's server, long or not.
		r.values["SERVER_PORT"] = value_of("SERVER_PORT", r.values["SERVER_PORT"].size(), server.port());
		auto v = [&](const char *name) { return r.values[name]; };

		struct Mode {
			const char *opt;
			unsigned sends;  // the requests this run mode makes
		} run_modes[] = {{"-s", PROBE}, {"-l", PROBE | LOGIN}, {"-o", LOGOUT}};
		size_t expect_sent = 0;
		for (const Mode &m : run_modes) {
			SCOPED_TRACE(m.opt);
			RunOptions o;
			o.stdin_data = config_text(r);
			o.env["HOME"] = "/tmp";
			o.private_tmp = true;
			o.cwd = "/tmp";
			RunResult res = run_program({"-c", "/dev/stdin", "-d", m.opt}, o);
			// Not a line of kavri's: unshare or mount failed (they need root).
			if (res.signal == 0 && res.status != 0 && pid_in(res.out + res.err) < 0)
				SKIP_OR_FAIL("no private mount namespace with its own /tmp: " + res.err);
			ASSERT_EQ(res.signal, 0) << "crashed: " << res.err;
			EXPECT_TRUE(res.status == 0 || res.status == 255) << res.status << "\n" << res.err;

			size_t sent_before = expect_sent;
			pid_t pid = pid_in(res.out + res.err);
			auto out = messages(res.out, pid), err = messages(res.err, pid);
			for (const Setting &s : settings) {
				if (r.values.count(s.name)) {
					EXPECT_TRUE(has(out, {'D', std::string(s.name) + " = " + v(s.name)})) << s.name;
				}
			}

			std::vector<std::string> want_refused, got_refused;
			for (unsigned kind : {PROBE, LOGIN, LOGOUT}) {
				if (!(m.sends & kind))
					continue;
				if (r.too_long & kind)
					want_refused.push_back(refused(v(kind == PROBE   ? "INIT_PAGE"
					                                 : kind == LOGIN ? "LOGIN_PAGE"
					                                                 : "LOGOUT_PAGE")));
				else
					expect_sent++;
			}
			for (const Msg &e : err)
				if (e.text.rfind("Request for ", 0) == 0)
					got_refused.push_back(e.text);
			EXPECT_EQ(got_refused, want_refused);

			// What went out is shown as it went out, directives and all.
			auto got = server.requests();
			ASSERT_EQ(got.size(), expect_sent);
			for (size_t i = sent_before; i < got.size(); i++) {
				EXPECT_LE(got[i].raw.size(), LONGEST_SENT);
				EXPECT_TRUE(has(out, {'D', got[i].raw})) << got[i].raw;
			}
		}
	}
}

// In the daemon, errors and (with -v -d) progress go to the system log: the
// same values arrive there as the characters they hold, a message longer
// than 4,090 characters cut after its first 4,090.
TEST(HostileSettings, SystemLogGetsValuesLiterally)
{
	std::string why;
	if (!syslog_sink_available(&why))
		SKIP_OR_FAIL(why);
	FakeServer server;
	ASSERT_TRUE(server.listening());
	std::string long_text = repeated(HOSTILE, LONG), short_text = HOSTILE;

	Session base = make_session(server.port());
	Child child([&]() {
		for (Exch e : {Exch::probe, Exch::login, Exch::logout}) {
			// Errors only: the too-long request, naming its long page.
			Session s = base;
			s.init_page = s.login_page = s.logout_page = long_text.c_str();
			call(e, &s, MODE_DAEMON);
			// Everything but errors: the request as sent, and the form.
			s = base;
			s.username = s.password = s.login_page = s.logout_page = short_text.c_str();
			call(e, &s, MODE_DAEMON | MODE_VERBOSE | MODE_DEBUG);
		}
		return std::string("done");
	});
	ChildResult c = child.wait();
	ASSERT_EQ(c.signal, 0) << "crashed";
	ASSERT_EQ(c.report, "done");
	EXPECT_EQ(c.out + c.err, "");  // a daemon writes nothing on the console

	std::string cut = refused(long_text).substr(0, LONGEST_SENT);
	ASSERT_TRUE(syslog_wait_for(c.pid, "http_internet_logout(): Here is the reply:", 5000));
	std::vector<std::string> errors, others;
	for (const SyslogLine &l : syslog_lines(c.pid))
		(l.priority == (LOG_DAEMON | LOG_ERR) ? errors : others).push_back(l.message);
	// The logout's own verdict on the 404 page comes last.
	EXPECT_EQ(errors, (std::vector<std::string>{cut, cut, cut, "LOGOUT FAILED"}));

	auto got = server.requests();
	ASSERT_EQ(got.size(), 3u);
	auto logged = [&](const std::string &m) {
		for (const std::string &o : others)
			if (o == m)
				return true;
		return false;
	};
	for (const RecordedRequest &q : got) {
		EXPECT_LE(q.raw.size(), LONGEST_SENT);
		EXPECT_TRUE(logged(q.raw)) << q.raw;
	}
	std::string form = "username=" + short_text + "&password=" + short_text + "&submitForm=Login";
	EXPECT_TRUE(logged("Login string: " + form));
	EXPECT_TRUE(logged("Waiting for logout reply, 5 second timeout ..."));
}

}  // namespace

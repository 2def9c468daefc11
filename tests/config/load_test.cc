#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "capture.h"
#include "config/load.h"
#include "config/settings.h"
#include "helpers.h"
#include "log/log.h"

namespace {

// Sets or unsets HOME for one test.
class HomeEnv {
public:
	explicit HomeEnv(const char *value)
	{
		const char *old = getenv("HOME");
		had_ = old != nullptr;
		if (had_)
			old_ = old;
		if (value != nullptr)
			setenv("HOME", value, 1);
		else
			unsetenv("HOME");
	}
	~HomeEnv()
	{
		if (had_)
			setenv("HOME", old_.c_str(), 1);
		else
			unsetenv("HOME");
	}

private:
	bool had_;
	std::string old_;
};

struct Loaded {
	login_session *session;
	std::string out, err;
};

Loaded load(const char *path, unsigned verbosity = 0)
{
	conf_clear(conf_table);
	StreamCapture cap;
	login_session *s = load_config(path, verbosity);
	cap.stop();
	return {s, cap.out(), cap.err()};
}

TEST(LoadConfig, ChoosesUserFileThenSystemFile)
{
	TempDir home;
	write_file(home.file(".kavrirc"), "USER = u\nPASS = p\n");
	{
		HomeEnv env(home.path().c_str());
		Loaded l = load(nullptr);
		ASSERT_NE(l.session, nullptr) << l.err;
		EXPECT_EQ(std::string(l.session->conf_file), home.file(".kavrirc"));
		EXPECT_STREQ(l.session->username, "u");
	}
	TempDir empty;
	symlink("/nonexistent", empty.file(".kavrirc").c_str());  // cannot be opened
	for (const char *h : {empty.path().c_str(), static_cast<const char *>(nullptr)}) {
		HomeEnv env(h);
		Loaded l = load(nullptr);
		EXPECT_STREQ(session_instance()->conf_file, SYSTEM_CONF_FILE);
	}
	{
		HomeEnv env(home.path().c_str());
		Loaded l = load("/nonexistent/k.conf");
		EXPECT_EQ(l.session, nullptr);
		EXPECT_EQ(strip_prefixes(l.err), "ERR: Cannot find configuration file /nonexistent/k.conf: No such file or directory\n\n");
		EXPECT_EQ(l.out, "");
	}
}

TEST(LoadConfig, UserNameAndPasswordAreRequired)
{
	TempDir dir;
	std::string path = dir.file("c");
	struct {
		const char *text;
		std::string err;
	} cases[] = {
		{"SERV = 127.0.0.1\n", "ERR: Failed to read username from configuration file " + path + ".\n\n"},
		{"PASS = p\n", "ERR: Failed to read username from configuration file " + path + ".\n\n"},
		{"USER = u\n", "ERR: Failed to read password from configuration file " + path + ".\n\n"},
	};
	for (const auto &c : cases) {
		write_file(path, c.text);
		Loaded l = load(path.c_str());
		EXPECT_EQ(l.session, nullptr);
		EXPECT_EQ(strip_prefixes(l.err), c.err + "ERR: You must supply at least a username and password.\n\n") << c.text;
	}
	write_file(path, "USER = \"\"\nPASS = \"\"\n");
	EXPECT_NE(load(path.c_str()).session, nullptr) << "empty texts are present";
}

TEST(LoadConfig, Conversions)
{
	TempDir dir;
	std::string path = dir.file("c");
	struct {
		const char *extra;
		int port, start, login, delay;
	} cases[] = {
		{"", 80, 1, 1, 5},
		{"PORT = 81abc\nDEAMON_S = on\nDEAMON_T = LOGIN\nDEAMON_D = 0\n", 81, 1, 1, 0},
		{"PORT = abc\nDEAMON_S = no\nDEAMON_T = ping\nINTERVAL = 12x\n", 0, 0, 0, 12},
		{"PORT = 99999999999\nDEAMON_T = login-again\nDEAMON_D = -3\n", 2147483647, 1, 1, -3},
		{"DEAMON_T = log\n", 80, 1, 0, 5},
	};
	for (const auto &c : cases) {
		write_file(path, std::string("USER = u\nPASS = p\n") + c.extra);
		Loaded l = load(path.c_str());
		ASSERT_NE(l.session, nullptr) << l.err;
		EXPECT_EQ(l.session->port, c.port) << c.extra;
		EXPECT_EQ(l.session->daemon_start, c.start) << c.extra;
		EXPECT_EQ(l.session->daemon_login, c.login) << c.extra;
		EXPECT_EQ(l.session->daemon_delay, c.delay) << c.extra;
		EXPECT_EQ(l.session->login_header, nullptr);
		EXPECT_STREQ(l.session->pid_file, "/var/run/kavri.pid");
	}
}

TEST(LoadConfig, DebugListsSeventeenSettingsAfterTheParsersOutput)
{
	TempDir dir;
	std::string path = dir.file("c");
	write_file(path, "USER = <u>\nPASS = \"p w\"\nSERV = 127.0.0.1\n");
	Loaded l = load(path.c_str(), MODE_VERBOSE | MODE_DEBUG);
	ASSERT_NE(l.session, nullptr);
	EXPECT_EQ(strip_prefixes(l.out),
	          "<>DBG: Read configuration:\n"
	          "DBG: USER = u\n"
	          "DBG: PASS = p w\n"
	          "DBG: SERV = 127.0.0.1\n"
	          "DBG: SERVER_PORT = 80\n"
	          "DBG: LOGIN_STRING_HEADER = (null)\n"
	          "DBG: USERNAME_KEY = username\n"
	          "DBG: PASSWORD_KEY = password\n"
	          "DBG: LOGIN_STRING_FOOTER = submitForm=Login\n"
	          "DBG: LOGGED_IN_STRING = /sd/create_session_window\n"
	          "DBG: LOGGED_OUT_STRING = Login again\n"
	          "DBG: INIT_PAGE = /sd/init\n"
	          "DBG: LOGIN_PAGE = /sd/login\n"
	          "DBG: LOGOUT_PAGE = /sd/logout\n"
	          "DBG: PID_FILE = /var/run/kavri.pid\n"
	          "DBG: DEAMON_S = true\n"
	          "DBG: DEAMON_T = login\n"
	          "DBG: DEAMON_D = 5\n");
	EXPECT_EQ(load(path.c_str(), MODE_VERBOSE).out, "<>") << "no listing without debug";
}

// Files that are no configuration at all end with the reader's own
// output and never with a signal.
TEST(LoadConfig, BadFilesThroughTheProgram)
{
	TempDir dir;
	std::string bin = dir.file("bin");
	write_file(bin, std::string("USER = joe\nPASS = x\n\x7f\x80\0ELF", 26));
	RunResult r = run_program({"-s", "-c", bin});
	EXPECT_EQ(r.signal, 0);
	EXPECT_EQ(r.out.substr(0, 3), std::string("\x7f\x80\0", 3));
	EXPECT_EQ(r.err.substr(0, 29), "<filename>:3 -- syntax error\n");

	r = run_program({"-s", "-c", dir.path()});
	EXPECT_EQ(r.signal, 0);
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.err, "input in flex scanner failed\n");
	EXPECT_EQ(r.out, "");
}

}  // namespace

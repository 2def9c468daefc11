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
	const login_config *conf;
	std::string out, err;
};

Loaded load(const char *path, unsigned verbosity = 0, config_overrides overrides = {})
{
	StreamCapture cap;
	const login_config *c = load_config(path, overrides, verbosity);
	cap.stop();
	return {c, cap.out(), cap.err()};
}

TEST(LoadConfig, ChoosesUserFileThenSystemFile)
{
	TempDir home;
	write_file(home.file(".kavrirc"), "USER = u\nPASS = p\n");
	{
		HomeEnv env(home.path().c_str());
		Loaded l = load(nullptr);
		ASSERT_NE(l.conf, nullptr) << l.err;
		EXPECT_EQ(std::string(l.conf->conf_file), home.file(".kavrirc"));
		EXPECT_STREQ(l.conf->username, "u");
	}
	TempDir empty;
	symlink("/nonexistent", empty.file(".kavrirc").c_str());  // cannot be opened
	for (const char *h : {empty.path().c_str(), static_cast<const char *>(nullptr)}) {
		HomeEnv env(h);
		Loaded l = load(nullptr);
		// The system file is chosen, whether or not this machine has one.
		if (l.conf != nullptr)
			EXPECT_STREQ(l.conf->conf_file, SYSTEM_CONF_FILE);
		else
			EXPECT_NE(l.err.find("configuration file " + std::string(SYSTEM_CONF_FILE)), std::string::npos) << l.err;
	}
	{
		HomeEnv env(home.path().c_str());
		Loaded l = load("/nonexistent/k.conf");
		EXPECT_EQ(l.conf, nullptr);
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
		EXPECT_EQ(l.conf, nullptr);
		EXPECT_EQ(strip_prefixes(l.err), c.err + "ERR: You must supply at least a username and password.\n\n") << c.text;
	}
	write_file(path, "USER = \"\"\nPASS = \"\"\n");
	EXPECT_NE(load(path.c_str()).conf, nullptr) << "empty texts are present";
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
		{"PORT = 443x\nDEAMON_S = no\nDEAMON_T = ping\nINTERVAL = 12x\n", 443, 0, 0, 12},
		{"PORT = 65535\nDEAMON_T = login-again\nDEAMON_D = -3\n", 65535, 1, 1, -3},
		{"PORT = 1\nDEAMON_D = 99999999999\n", 1, 1, 1, 2147483647},
		{"DEAMON_T = log\n", 80, 1, 0, 5},
	};
	for (const auto &c : cases) {
		write_file(path, std::string("USER = u\nPASS = p\n") + c.extra);
		Loaded l = load(path.c_str());
		ASSERT_NE(l.conf, nullptr) << l.err;
		EXPECT_EQ(l.conf->port, c.port) << c.extra;
		EXPECT_EQ(l.conf->daemon_start, c.start) << c.extra;
		EXPECT_EQ(l.conf->daemon_login, c.login) << c.extra;
		EXPECT_EQ(l.conf->daemon_delay, c.delay) << c.extra;
		EXPECT_EQ(l.conf->login_header, nullptr);
		EXPECT_STREQ(l.conf->pid_file, "/var/run/kavri.pid");
	}
}

TEST(LoadConfig, CommandLineOverridesGoIntoTheSettingsNotTheListing)
{
	TempDir dir;
	std::string path = dir.file("c");
	write_file(path, "USER = u\nPASS = p\nPORT = 81\nPID_FILE = /run/k.pid\n");
	Loaded l = load(path.c_str(), MODE_DEBUG, {.pid_file = "/x/k.pid", .port = "8080"});
	ASSERT_NE(l.conf, nullptr) << l.err;
	EXPECT_EQ(l.conf->port, 8080);
	EXPECT_STREQ(l.conf->pid_file, "/x/k.pid");
	EXPECT_NE(l.out.find("SERVER_PORT = 81\n"), std::string::npos) << "the listing shows the file's values";
	EXPECT_NE(l.out.find("PID_FILE = /run/k.pid\n"), std::string::npos);

	l = load(path.c_str(), 0, {.pid_file = nullptr, .port = "-1"});
	ASSERT_NE(l.conf, nullptr);
	EXPECT_EQ(l.conf->port, 81) << "-1 is no override";
	EXPECT_STREQ(l.conf->pid_file, "/run/k.pid");
}

// A port outside 1 to 65535, from the file or from -P, stops the run with
// one line naming the value as it was given.
TEST(LoadConfig, PortOutsideTheRangeStopsTheRun)
{
	TempDir dir;
	std::string path = dir.file("c");
	struct {
		const char *file_port;
		const char *option;  // -P, or null
		int port;            // 0: the run stops, naming `named`
		const char *named;
	} cases[] = {
		{"80", nullptr, 80, nullptr},
		{"abc", nullptr, 0, "abc"},
		{"99999", nullptr, 0, "99999"},
		{"0", nullptr, 0, "0"},
		{"-80", nullptr, 0, "-80"},
		{"80", "abc", 0, "abc"},
		{"80", "99999", 0, "99999"},
		{"80", "65536", 0, "65536"},
		{"80", "0", 0, "0"},
		{"80", "81abc", 81, nullptr},
		{"80", "65535", 65535, nullptr},
		{"80", "-1", 80, nullptr},      // no override, as ever
		{"99999", "8080", 8080, nullptr},  // the option's port is the one in force
		{"8080", "-1", 8080, nullptr},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string("file ") + c.file_port + ", -P " + (c.option ? c.option : "none"));
		write_file(path, std::string("USER = u\nPASS = p\nPORT = ") + c.file_port + "\n");
		Loaded l = load(path.c_str(), 0, {.pid_file = nullptr, .port = c.option});
		if (c.port != 0) {
			ASSERT_NE(l.conf, nullptr) << l.err;
			EXPECT_EQ(l.conf->port, c.port);
			EXPECT_EQ(l.err, "");
		} else {
			EXPECT_EQ(l.conf, nullptr);
			EXPECT_EQ(strip_prefixes(l.err), std::string("ERR: Port ") + c.named +
			                                     " is not a port number from 1 to 65535: nothing was sent.\n");
		}
	}
}

// A syntax error stops the run after the reader's own lines and the debug
// listing: whatever came after the error is unknown.
TEST(LoadConfig, SyntaxErrorStopsTheRun)
{
	TempDir dir;
	std::string path = dir.file("c");
	write_file(path, "SERV = 127.0.0.1\nUSER = <u>\nPASS = p w\n");
	Loaded l = load(path.c_str(), MODE_DEBUG);
	EXPECT_EQ(l.conf, nullptr);
	EXPECT_EQ(strip_prefixes(l.err), "<filename>:3 -- syntax error\nERR: Configuration file " + path +
	                                     " has a syntax error: stopped, nothing was sent.\n");
	EXPECT_EQ(strip_prefixes(l.out).substr(0, 27), "<>DBG: Read configuration:\n") << l.out;
	EXPECT_NE(l.out.find("PASS = p\n"), std::string::npos) << "the listing shows what was read";
}

TEST(LoadConfig, DebugListsSeventeenSettingsAfterTheParsersOutput)
{
	TempDir dir;
	std::string path = dir.file("c");
	write_file(path, "USER = <u>\nPASS = \"p w\"\nSERV = 127.0.0.1\n");
	Loaded l = load(path.c_str(), MODE_VERBOSE | MODE_DEBUG);
	ASSERT_NE(l.conf, nullptr);
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
	write_file(bin, std::string("SERV = 127.0.0.1\nSERVER_PORT = 9\nUSER = joe\nPASS = x\n\x7f\x80\0ELF", 58));
	RunResult r = run_program({"-s", "-c", bin});
	EXPECT_EQ(r.signal, 0);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out.substr(0, 3), std::string("\x7f\x80\0", 3));
	EXPECT_EQ(r.err.substr(0, 29), "<filename>:5 -- syntax error\n");

	r = run_program({"-s", "-c", dir.path()});
	EXPECT_EQ(r.signal, 0);
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.err, "input in flex scanner failed\n");
	EXPECT_EQ(r.out, "");
}

}  // namespace

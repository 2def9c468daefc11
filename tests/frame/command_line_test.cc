#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "helpers.h"

namespace {

std::string help_text(const std::string &name)
{
	return name + " - Auto-login & keep-alive for Internet connections.\n\n"
	       "Usage: " + name + " [-h] [-c conffile] [-p pidfile] [-loPsdvV]\n"
	       "Options:\n"
	       "-l, --login               Try to login\n"
	       "-o, --logout              Try to logout\n"
	       "-c, --conf-file=FILE      Use settings from FILE instead of /usr/local/etc/kavri.conf\n"
	       "-p, --pid-file=FILE       Use FILE to store PID, default is /var/run/kavri.pid\n"
	       "-P, --port=PORT           Connect to PORT on server, default is 80\n"
	       "-s, --status              Display status of kavri daemon\n"
	       "-v, --verbose             Display more information, on screen and in logfile\n"
	       "-d, --debug               Display even more information, huge amounts!\n"
	       "-V, --version             Display version information and exit\n"
	       "-h, --help                Display this help and exist\n"
	       "    --usage               Give a shore usage message\n"
	       "\n"
	       "Report bugs to <https://kavri.dev/issues>\n";
}

const std::string VERSION = "kavri version 1.3.3\n";

// Runs that end before any configuration is read: exact streams, exit status.
TEST(CommandLine, HelpUsageVersionAndOptionErrors)
{
	const std::string bin = KAVRI_BINARY;
	const std::string help = help_text("kavri");
	struct Case {
		std::vector<std::string> args;
		std::string out, err;
		int status;
	} cases[] = {
		{{}, help, "", 1},
		{{"-h"}, help, "", 0},
		{{"-?"}, help, "", 0},
		{{"--help"}, help, "", 0},
		{{"--he"}, help, "", 0},
		{{"--usage"}, "Usage: kavri [-h] [-c conffile] [-p pidfile] [-loPsdvV]\n", "", 0},
		{{"-u"}, help, bin + ": invalid option -- 'u'\n", 0},
		{{"-V"}, VERSION, "", 0},
		{{"--version"}, VERSION, "", 0},
		{{"-x", "-V"}, help, bin + ": invalid option -- 'x'\n", 0},
		{{"-V", "-x"}, VERSION, "", 0},
		{{"-l", "-c"}, help, bin + ": option requires an argument -- 'c'\n", 0},
		{{"--log"}, help, bin + ": option '--log' is ambiguous; possibilities: '--login' '--logout'\n", 0},
		{{"--ver"}, help, bin + ": option '--ver' is ambiguous; possibilities: '--version' '--verbose'\n", 0},
		{{"--status=x"}, help, bin + ": option '--status' doesn't allow an argument\n", 0},
		{{"--nope"}, help, bin + ": unrecognized option '--nope'\n", 0},
		{{"-v", "-d", "stray", "words"}, help, "", 1},  // no run mode
		{{"-c", "/nonexistent", "-p", "x", "-P", "1", "-V"}, VERSION, "", 0},
	};
	for (const Case &c : cases) {
		std::string shown;
		for (const auto &a : c.args)
			shown += a + " ";
		SCOPED_TRACE("args: " + shown);
		RunOptions o;
		o.argv0 = bin;
		RunResult r = run_program(c.args, o);
		// The help header shows only the last component of the path.
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.status, c.status);
	}
}

TEST(CommandLine, ProgramNameIsLastPathComponent)
{
	TempDir dir;
	std::string link = dir.file("other-name");
	ASSERT_EQ(symlink(KAVRI_BINARY, link.c_str()), 0);
	RunOptions o;
	o.argv0 = link;
	RunResult r = run_program({"--usage"}, o, link);
	EXPECT_EQ(r.out, "Usage: other-name [-h] [-c conffile] [-p pidfile] [-loPsdvV]\n");
	r = run_program({"-V"}, o, link);
	EXPECT_EQ(r.out, VERSION) << "the version line always names kavri";

	o.argv0 = "some/dir/";
	r = run_program({"-h"}, o);
	EXPECT_EQ(r.out, help_text(""));
}

// The run mode and the overrides as seen through the run: the status run
// against a closed loopback port reports what the command line chose.
TEST(CommandLine, LastRunModeWinsAndOptionsFollowArguments)
{
	TempDir dir;
	std::string conf = dir.file("conf");
	write_file(conf, loopback_config(1, "PID_FILE = " + dir.file("pid") + "\n"));
	struct Case {
		std::vector<std::string> args;
		bool posix;
		std::string expect_out;  // a substring of standard output
		int status;
	} cases[] = {
		{{"-c", conf, "-l", "-s", "-v"}, false, "Current status: DISCONNECTED", 255},
		{{"-c", conf, "stray", "-s", "-v"}, false, "Current status: DISCONNECTED", 255},
		{{"-c", conf, "-s", "-P", "9", "-v", "-d", "-l", "-P", "-1"}, false, "Connecting to login server, 127.0.0.1:1.", 255},
		{{"-c", conf, "-s", "--port=7", "-v"}, false, "Connecting to login server, 127.0.0.1:7.", 255},
		{{"-c", conf, "-s", "--port", "abc", "-v"}, false, "", 1},  // no port: nothing is sent
		{{"-c", conf, "stray", "-s", "-v"}, true, "", 1},  // reading stops at "stray": no run mode
	};
	for (const Case &c : cases) {
		std::string shown;
		for (const auto &a : c.args)
			shown += a + " ";
		SCOPED_TRACE(shown + (c.posix ? "(POSIXLY_CORRECT)" : ""));
		RunOptions o;
		o.env["HOME"] = dir.path();
		if (c.posix)
			o.env["POSIXLY_CORRECT"] = "1";
		else
			o.unset_env.push_back("POSIXLY_CORRECT");
		RunResult r = run_program(c.args, o);
		EXPECT_NE(r.out.find(c.expect_out), std::string::npos) << r.out << r.err;
		EXPECT_EQ(r.status, c.status);
	}
}

}  // namespace

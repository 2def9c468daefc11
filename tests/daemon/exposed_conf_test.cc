// A daemon started with -v warns once in the system log when the
// configuration file it was started from, which holds the password, can
// be read by group or others; the console output stays as it is.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "fake_server.h"
#include "helpers.h"
#include "isolation.h"
#include "kavri_world.h"
#include "syslog_sink.h"

namespace {

const char WARNING[] = "holds your password and can be read by other users: chmod 600 it.";

TEST(ExposedConfiguration, VerboseDaemonWarnsOnce)
{
	REQUIRE_SYSLOG_CAPTURE();
	struct {
		mode_t mode;
		const char *verbose;  // or none
		bool warned;
	} cases[] = {
		{0644, "-v", true},
		{0640, "-v", true},
		{0604, "-v", true},
		{0600, "-v", false},
		{0644, nullptr, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE("mode " + std::to_string(c.mode) + (c.verbose ? " -v" : ""));
		RUN_ISOLATED(true, [&] {
			FakeServer server;
			server.set_logged_in(true);
			TempDir dir;
			std::string conf = dir.file("kavri.conf"), pid_file = dir.file("kavri.pid");
			write_file(conf, loopback_config(server.port(), "DEAMON_S = true\nDEAMON_D = 60\nPID_FILE = " + pid_file + "\n"));
			ASSERT_EQ(chmod(conf.c_str(), c.mode), 0);
			std::vector<std::string> args = {"-l", "-c", conf};
			if (c.verbose)
				args.push_back(c.verbose);
			RunResult fg = run_program(args);
			EXPECT_EQ(fg.err, "");
			pid_t pid = wait_for_daemon(pid_file, fg);
			ASSERT_GT(pid, 0);
			ASSERT_TRUE(syslog_wait_for(pid, "Login successful.", 0));
			int warnings = 0;
			for (const auto &l : syslog_lines(pid))
				if (l.message.find(WARNING) != std::string::npos) {
					warnings++;
					EXPECT_EQ(l.message, "Configuration file " + conf + " " + WARNING);
					EXPECT_EQ(l.priority, (3 << 3) | 4) << "LOG_DAEMON | LOG_WARNING";
				}
			EXPECT_EQ(warnings, c.warned ? 1 : 0);
		});
	}
}

}  // namespace

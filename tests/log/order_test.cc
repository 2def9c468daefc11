// Console lines in the order they were written, when standard output and
// standard error go to one pipe, as cron, systemd or a script capture them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "helpers.h"

namespace {

TEST(ConsoleOrder, InfoAndErrorLinesInterleaveAsWritten)
{
	TempDir dir;
	int port = closed_port();
	std::string conf = dir.file("kavri.conf");
	write_file(conf, loopback_config(port, "PID_FILE = " + dir.file("kavri.pid") + "\n"));
	// Both streams into the one pipe that run_program reads as output.
	RunResult r = run_program({"-c", "exec \"$0\" -v -s -c \"$1\" 2>&1", KAVRI_BINARY, conf}, {}, "/bin/sh");
	EXPECT_EQ(r.status, 255);
	std::string refused = "ERR: Failed to connect to login server (127.0.0.1): Connection refused\n";
	EXPECT_EQ(strip_prefixes(r.out), "INF: Connecting to login server, 127.0.0.1:" + std::to_string(port) + ".\n" +
	                                     refused + refused +
	                                     "INF: http_pre_login(): Login server \"pinged\": not logged in...\n"
	                                     "INF: http_pre_login(): Start kavri with --verbose --debug to see whole "
	                                     "reply.\n"
	                                     "INF: Current status: DISCONNECTED\n"
	                                     "INF: Login daemon not running.\n");
	EXPECT_EQ(r.err, "");
}

}  // namespace

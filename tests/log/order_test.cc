// Console lines in the order they were written, when standard output and
// standard error go to one pipe, as cron, systemd or a script capture them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "helpers.h"

namespace {

// A loopback port where nothing listens: bound, then let go.
int closed_port()
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof a;
	bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
	getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
	close(fd);
	return ntohs(a.sin_port);
}

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

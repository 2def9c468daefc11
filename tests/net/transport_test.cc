// The plain transport's send on a socket whose peer is gone.
#include "net/transport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "client_support.h"

using namespace client_test;

namespace {

// The one send never raises SIGPIPE: on a socket whose peer is gone it
// fails with EPIPE and the process goes on. A plain send in the same spot
// is the contrast that shows the check can fail.
TEST(SendToClosedPeer, FailsWithEpipeInsteadOfKilling)
{
	auto attempt = [](bool plain) {
		return std::make_unique<Child>([plain]() -> std::string {
			signal(SIGPIPE, SIG_DFL);
			int sv[2];
			if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
				return "no socketpair";
			close(sv[1]);
			static const char text[] = "GET / HTTP/1.0\r\n\r\n";
			ssize_t n = plain ? send(sv[0], text, sizeof text - 1, 0) : transport_send(transport{sv[0], nullptr}, text, sizeof text - 1);
			return std::to_string(n) + " " + (n < 0 ? strerrorname_np(errno) : "-");
		});
	};
	auto ours = attempt(false), plain = attempt(true);
	ChildResult r = ours->wait();
	EXPECT_EQ(r.signal, 0);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.report, "-1 EPIPE");
	ChildResult p = plain->wait();
	EXPECT_EQ(p.signal, SIGPIPE);
}

}  // namespace

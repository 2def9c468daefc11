// The bounded connect: a server that never takes the connection costs the
// connection step its bound and no more.
#include "net/connect.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "client_support.h"
#include "fake_server.h"
#include "helpers.h"

using namespace client_test;

namespace {

// A server that never completes the handshake: the connection step gives
// up after its bound with the text for ETIMEDOUT.
TEST(ConnectTimeout, BoundedToFiveSeconds)
{
	FullBacklogListener black_hole;
	if (!black_hole.ok())
		SKIP_OR_FAIL("no listener with a full accept queue");
	StreamCapture cap;
	auto t0 = std::chrono::steady_clock::now();
	int fd = server_connect("127.0.0.1", static_cast<uint16_t>(black_hole.port()), nullptr, 0);
	int err = errno;
	auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
	cap.stop();
	EXPECT_EQ(fd, -1);
	EXPECT_EQ(err, ETIMEDOUT);
	EXPECT_GE(ms, 4900);
	EXPECT_LT(ms, 20000);
	EXPECT_EQ(messages(cap.err(), getpid()),
	          (std::vector<Msg>{{'E', std::string("Failed to connect to login server (127.0.0.1): ") + strerror(ETIMEDOUT)}}));
	EXPECT_EQ(cap.out(), "");
}

}  // namespace

// No pause of zero: a DEAMON_D whose pause is 0 seconds (0 itself, or a
// value whose product with 60 wraps to 0) lets passes follow one another
// no closer than a second apart, instead of probing the server in a tight
// loop; SIGHUP and SIGTERM still act at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "kavri_world.h"
#include "fake_server.h"
#include "isolation.h"
#include "syslog_sink.h"

namespace {

class DaemonPace : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SYSLOG_CAPTURE();
	}
};

TEST_F(DaemonPace, NoPauseStillLeavesASecondBetweenPasses)
{
	struct Case {
		const char *delay;
		int watch_s;  // how long the probes are counted
	} cases[] = {
		{"0", 5},
		{"1073741824", 2},   // times 60 is 2^32 * 15
		{"-9999999999", 2},  // read as the int minimum, times 60 a multiple of 2^32
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string("DEAMON_D = ") + c.delay);
		RUN_ISOLATED(false, [&] {
			FakeServer server;
			Kavri k("127.0.0.1", server.port(), std::string("DEAMON_S = true\nDEAMON_D = ") + c.delay + "\n");
			RunResult fg;
			pid_t pid = k.start(&fg);
			ASSERT_GT(pid, 0);
			server.clear_requests();
			std::this_thread::sleep_for(std::chrono::seconds(c.watch_s));
			size_t probes = server.count(Page::status);
			EXPECT_LE(probes, static_cast<size_t>(c.watch_s + 1)) << "passes less than a second apart";
			EXPECT_GE(probes, static_cast<size_t>(c.watch_s - 1)) << "passes stopped";

			// A SIGHUP is taken at once and, when it comes during a pause,
			// its pass follows within the second. One that lands in a pass
			// only writes its line, so on a busy machine it is sent again.
			auto lines_with = [&](const char *text) {
				size_t n = 0;
				for (const auto &l : syslog_lines(pid))
					n += l.message.find(text) != std::string::npos;
				return n;
			};
			bool acted = false;
			for (int attempt = 0; attempt < 5 && !acted; attempt++) {
				size_t signals = lines_with("Got signal(1), forcing relogin.");
				size_t before = lines_with("Forced relogin successful.");
				auto sent = std::chrono::steady_clock::now();
				kill(pid, SIGHUP);
				while (lines_with("Got signal(1), forcing relogin.") == signals && seconds_since(sent) < 5.0)
					std::this_thread::sleep_for(std::chrono::milliseconds(10));
				EXPECT_LT(seconds_since(sent), 1.0) << "the SIGHUP's line came late or never";
				while (!acted && seconds_since(sent) < 2.0) {
					acted = lines_with("Forced relogin successful.") > before;
					if (!acted)
						std::this_thread::sleep_for(std::chrono::milliseconds(20));
				}
			}
			EXPECT_TRUE(acted) << "no forced pass within 2 s of any of 5 SIGHUPs:\n" << [&] {
				std::string all;
				for (const auto &l : syslog_lines(pid))
					all += "  " + l.message + "\n";
				return all;
			}();

			auto sent = std::chrono::steady_clock::now();
			kill(pid, SIGTERM);
			int st = reap_within(pid, 5000);
			// Generous: ThreadSanitizer holds every exit for a second.
			EXPECT_LT(seconds_since(sent), 2.5);
			EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << "wait status " << st;
		});
	}
}

}  // namespace

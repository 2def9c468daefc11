// The notification protocol's parts: where NOTIFY_SOCKET points, whose
// watchdog WATCHDOG_PID names, and a datagram reaching a receiver bound
// at a path and at an abstract name.
#include "daemon/notify.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <string>

#include "base/unique_fd.h"
#include "helpers.h"
#include "isolation.h"
#include "notify_receiver.h"

namespace {

TEST(Notify, TargetOfTheVariable)
{
	std::string longest(sizeof(sockaddr_un::sun_path), 'x');
	longest[0] = '/';
	struct Case {
		const char *name;
		std::string value;
		bool usable;
	} cases[] = {
		{"a path", "/run/systemd/notify", true},
		{"an abstract name", "@kavri/notify", true},
		{"unset", "", false},
		{"a relative path", "run/notify", false},
		{"only the '@'", "@", false},
		{"only the '/'", "/", false},
		{"as long as an address holds", longest, true},
		{"longer", longest + "x", false},
		{"another transport", "vsock:2:1234", false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		notify_target t = notify_target_of(c.value.empty() ? nullptr : c.value.c_str());
		EXPECT_EQ(t.len != 0, c.usable);
		if (!c.usable)
			continue;
		EXPECT_EQ(t.addr.sun_family, AF_UNIX);
		EXPECT_EQ(t.len, offsetof(struct sockaddr_un, sun_path) + c.value.size());
		EXPECT_EQ(t.addr.sun_path[0], c.value[0] == '@' ? '\0' : '/');
		EXPECT_EQ(std::string(t.addr.sun_path + 1, c.value.size() - 1), c.value.substr(1));
	}
	EXPECT_EQ(notify_target_of("").len, 0u);
}

TEST(Notify, WatchdogThatIsOurs)
{
	struct Case {
		const char *usec;
		const char *pid;
		uint64_t want;
	} cases[] = {
		{"200000", nullptr, 200000},  // no PID: ours
		{"200000", "4242", 200000},   // the process that was started
		{"200000", "4243", 0},        // another process's
		{"200000", "", 0},
		{"200000", "42x", 0},
		{nullptr, nullptr, 0},
		{"0", nullptr, 0},
		{"", nullptr, 0},
		{"-5", nullptr, 0},
		{"20s", nullptr, 0},
		{"99999999999999999999999", nullptr, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << (c.usec ? c.usec : "(unset)") << " " << (c.pid ? c.pid : "(unset)"));
		EXPECT_EQ(notify_watchdog_usec(c.usec, c.pid, 4242), c.want);
	}
	EXPECT_EQ(notify_started_pid(), getpid());
}

TEST(Notify, SendsOneDatagram)
{
	TempDir dir;
	for (std::string name : {dir.file("notify"), "@kavri-notify-test-" + std::to_string(getpid())}) {
		SCOPED_TRACE(name);
		NotifyReceiver r(name);
		ASSERT_TRUE(r.ok()) << strerror(errno);
		unique_fd s(notify_socket());
		ASSERT_GE(s.get(), 0);
		notify_target t = notify_target_of(name.c_str());
		ASSERT_EQ(notify_send(s.get(), t, "READY=1\nSTATUS=Logged in at 127.0.0.1"), 0) << strerror(errno);
		ASSERT_EQ(notify_send(s.get(), t, "STOPPING=1"), 0) << strerror(errno);
		ASSERT_TRUE(r.wait_for_texts(2, 5000));
		auto got = r.messages();
		ASSERT_EQ(got.size(), 2u);
		EXPECT_EQ(got[0].text, "READY=1\nSTATUS=Logged in at 127.0.0.1");
		EXPECT_EQ(got[1].text, "STOPPING=1");
		EXPECT_EQ(got[0].sender, getpid());
	}
	// Nobody there: an error, never a wait.
	unique_fd s(notify_socket());
	errno = 0;
	EXPECT_EQ(notify_send(s.get(), notify_target_of(dir.file("nobody").c_str()), "READY=1"), -1);
	EXPECT_EQ(errno, ENOENT);
}

}  // namespace

// The state file: its text for a standing, JSON whatever the settings
// hold, and its replacement, whole or not at all, under a reader that
// never stops looking.
#include "daemon/state_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <string>
#include <thread>

#include "flat_json.h"
#include "helpers.h"

namespace {

constexpr time_t AT = 1796897112;  // 2026-12-10 10:05:12 UTC

daemon_standing sample()
{
	daemon_standing s;
	s.state = login_state::logged_in;
	s.since = AT - 3600;
	s.last_check = AT;
	s.last_reason = check_reason::periodic;
	s.next_check_by = AT + 300;
	s.server = "portal.example.net";
	s.port = 443;
	s.pid = 4242;
	return s;
}

TEST(StateFile, Text)
{
	EXPECT_EQ(state_file_text(sample(), "1.3.3"),
	          "{\n"
	          "  \"schema\": 1,\n"
	          "  \"state\": \"logged_in\",\n"
	          "  \"since\": \"2026-12-10T09:05:12Z\",\n"
	          "  \"last_check\": \"2026-12-10T10:05:12Z\",\n"
	          "  \"last_check_reason\": \"periodic\",\n"
	          "  \"next_check_by\": \"2026-12-10T10:10:12Z\",\n"
	          "  \"server\": \"portal.example.net\",\n"
	          "  \"port\": 443,\n"
	          "  \"interface\": null,\n"
	          "  \"pid\": 4242,\n"
	          "  \"version\": \"1.3.3\"\n"
	          "}\n");

	daemon_standing s = sample();
	s.state = login_state::unreachable;
	s.last_reason = check_reason::network;
	s.logging_in = true;
	s.interface = "wlan0";
	std::map<std::string, JsonValue> got;
	std::string why;
	ASSERT_TRUE(parse_flat_json(state_file_text(s, "1.3.3"), &got, &why)) << why;
	EXPECT_EQ(got["state"].text, "unreachable");
	EXPECT_EQ(got["last_check_reason"].text, "network");
	EXPECT_EQ(got["next_check_by"].kind, JsonValue::null) << "unknown while a login is under way";
	EXPECT_EQ(got["interface"].text, "wlan0");
	EXPECT_EQ(got.size(), 11u);
}

// Whatever bytes a setting holds, the file stays JSON, and valid UTF-8
// comes back as it was.
TEST(StateFile, TextsAreEscaped)
{
	struct Case {
		const char *server;
		const char *json;  // as the file writes it
		const char *read;  // as a JSON reader gives it back
	} cases[] = {
		{"a\"b\\c", "\"a\\\"b\\\\c\"", "a\"b\\c"},
		{"tab\there\x01\x1f\x7f", "\"tab\\u0009here\\u0001\\u001f\\u007f\"", "tab\there\x01\x1f\x7f"},
		{"portail.\xc3\xa9x.fr", "\"portail.\xc3\xa9x.fr\"", "portail.\xc3\xa9x.fr"},
		{"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\"", "\xf0\x9f\x98\x80"},
		{"bad\xff", "\"bad\\ufffd\"", "bad\xef\xbf\xbd"},
		{"cut\xc3", "\"cut\\ufffd\"", "cut\xef\xbf\xbd"},
		{"overlong\xc0\xaf", "\"overlong\\ufffd\\ufffd\"", "overlong\xef\xbf\xbd\xef\xbf\xbd"},
		{"surrogate\xed\xa0\x80", "\"surrogate\\ufffd\\ufffd\\ufffd\"",
		 "surrogate\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.json);
		daemon_standing s = sample();
		s.server = c.server;
		std::string text = state_file_text(s, "1.3.3");
		EXPECT_NE(text.find(std::string("  \"server\": ") + c.json + ",\n"), std::string::npos) << text;
		std::map<std::string, JsonValue> got;
		std::string why;
		ASSERT_TRUE(parse_flat_json(text, &got, &why)) << why << "\n" << text;
		EXPECT_EQ(got["server"].text, c.read);
	}
}

TEST(StateFile, WriteReplacesTheFile)
{
	TempDir dir;
	std::string path = dir.file("state.json");
	mode_t old = umask(077);
	ASSERT_EQ(state_file_write(path.c_str(), "{\"a\": 1}\n"), 0) << strerror(errno);
	ASSERT_EQ(state_file_write(path.c_str(), "{}\n"), 0) << strerror(errno);
	umask(old);
	EXPECT_EQ(read_file(path), "{}\n");
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0644u);
	EXPECT_FALSE(file_exists(path + ".tmp"));

	// A link planted where the file is written first is replaced, never
	// written through.
	std::string victim = dir.file("victim");
	write_file(victim, "keep\n");
	ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
	ASSERT_EQ(state_file_write(path.c_str(), "{\"b\": 2}\n"), 0) << strerror(errno);
	EXPECT_EQ(read_file(victim), "keep\n");
	EXPECT_EQ(read_file(path), "{\"b\": 2}\n");

	// A directory that is not there: -1 with the reason, nothing made.
	std::string lost = dir.file("gone/state.json");
	errno = 0;
	EXPECT_EQ(state_file_write(lost.c_str(), "{}\n"), -1);
	EXPECT_EQ(errno, ENOENT);
}

// A reader that reads the file in a loop while it is replaced a thousand
// times, by texts of different lengths, sees one whole text each time.
TEST(StateFile, AReaderNeverSeesAPart)
{
	TempDir dir;
	std::string path = dir.file("state.json");
	daemon_standing a = sample(), b = sample();
	b.server = "a-much-longer-name-of-the-login-server.portal.example.net";
	b.interface = "wlan0";
	const std::string texts[2] = {state_file_text(a, "1.3.3"), state_file_text(b, "1.3.3")};
	ASSERT_EQ(state_file_write(path.c_str(), texts[0]), 0);

	std::atomic<bool> done{false};
	std::atomic<int> failures{0};
	std::thread writer([&] {
		for (int i = 0; i < 1000; i++)
			if (state_file_write(path.c_str(), texts[i % 2]) != 0)
				failures++;
		done = true;
	});
	int reads = 0;
	while (!done) {
		std::string got = read_file(path);
		ASSERT_TRUE(got == texts[0] || got == texts[1]) << "after " << reads << " reads:\n" << got;
		reads++;
	}
	writer.join();
	EXPECT_EQ(failures, 0);
	EXPECT_GT(reads, 10);
}

}  // namespace

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture.h"
#include "helpers.h"
#include "log/log.h"
#include "syslog_sink.h"

namespace {

// Every line of `text` begins with "<time> TAG kavri[<our pid>]: ".
void expect_prefixes(const std::string &text, const std::vector<std::string> &tags)
{
	std::string pid = std::to_string(getpid());
	size_t pos = 0;
	for (const std::string &tag : tags) {
		ASSERT_LT(pos, text.size()) << "fewer lines than expected:\n" << text;
		EXPECT_TRUE(looks_like_ctime(text.substr(pos, 24))) << text.substr(pos, 24);
		EXPECT_EQ(text.substr(pos + 24, 14 + pid.size()), " " + tag + " kavri[" + pid + "]: ");
		pos = text.find('\n', pos);
		ASSERT_NE(pos, std::string::npos);
		pos++;
		while (pos < text.size() && text[pos] == '\n')  // the empty line of a format ending in "\n"
			pos++;
	}
	EXPECT_EQ(pos, text.size());
}

TEST(ConsoleWriter, LevelChoosesStreamAndTag)
{
	StreamCapture cap;
	log_console(LOG_INFO, "info %d", 1);
	log_console(LOG_DEBUG, "debug %s", "two");
	log_console(LOG_ERR, "error");
	log_console(LOG_WARNING, "any other level is an error");
	cap.stop();
	expect_prefixes(cap.out(), {"INF", "DBG"});
	expect_prefixes(cap.err(), {"ERR", "ERR"});
	EXPECT_EQ(strip_prefixes(cap.out()), "INF: info 1\nDBG: debug two\n");
	EXPECT_EQ(strip_prefixes(cap.err()), "ERR: error\nERR: any other level is an error\n");
}

TEST(ConsoleWriter, TrailingNewlineLeavesEmptyLineAndDataIsLiteral)
{
	StreamCapture cap;
	log_console(LOG_ERR, "Cannot find configuration file %s: %s\n", "%n%s%x", "gone");
	cap.stop();
	expect_prefixes(cap.err(), {"ERR"});
	EXPECT_EQ(strip_prefixes(cap.err()), "ERR: Cannot find configuration file %n%s%x: gone\n\n");
}

// Mode word → what reaches the console, and what the system log; MODE_DAEMON
// sends everything to the system log instead, so nothing reaches the
// console.
TEST(Routing, ModeWordDecidesWhatIsWrittenAndWhere)
{
	REQUIRE_SYSLOG_CAPTURE();
	struct Case {
		unsigned mode;
		bool err, info, debug;            // written to the console?
		std::vector<std::string> logged;  // written to the system log
	} cases[] = {
		{0, true, false, false, {}},
		{MODE_VERBOSE, true, true, false, {}},
		{MODE_VERBOSE | MODE_DEBUG, true, true, true, {}},
		{MODE_DAEMON, false, false, false, {"e"}},
		{MODE_DAEMON | MODE_VERBOSE, false, false, false, {"e", "i"}},
		{MODE_DAEMON | MODE_VERBOSE | MODE_DEBUG, false, false, false, {"e", "i", "d"}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE("mode " + std::to_string(c.mode));
		size_t before = syslog_lines(getpid()).size();
		StreamCapture cap;
		log_msg(c.mode, LOG_ERR, "e");
		log_msg(c.mode, LOG_INFO, "i");
		log_msg(c.mode, LOG_DEBUG, "d");
		cap.stop();
		EXPECT_EQ(cap.err().find("ERR") != std::string::npos, c.err);
		EXPECT_EQ(cap.out().find("INF") != std::string::npos, c.info);
		EXPECT_EQ(cap.out().find("DBG") != std::string::npos, c.debug);
		// A mark behind the case's entries: once it is in, so are they.
		std::string mark = "end of mode " + std::to_string(c.mode);
		log_syslog(LOG_INFO, "%s", mark.c_str());
		ASSERT_TRUE(syslog_wait_for(getpid(), mark, 5000));
		std::vector<std::string> logged;
		auto lines = syslog_lines(getpid());
		for (size_t i = before; i + 1 < lines.size(); i++)
			logged.push_back(lines[i].message);
		EXPECT_EQ(logged, c.logged);
	}
}

class SystemLog : public ::testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SYSLOG_CAPTURE();
		// Entries of earlier tests may still be on their way: write a
		// mark, wait for it, and count only what follows it.
		std::string mark = "mark " + std::to_string(++marks_);
		log_syslog(LOG_DEBUG, "%s", mark.c_str());
		ASSERT_TRUE(syslog_wait_for(getpid(), mark, 5000));
		seen_ = syslog_lines(getpid()).size();
	}
	// This process's entries written since the test began.
	std::vector<SyslogLine> fresh() const
	{
		auto all = syslog_lines(getpid());
		return {all.begin() + static_cast<long>(std::min(seen_, all.size())), all.end()};
	}
	size_t seen_ = 0;
	static inline int marks_ = 0;
};

TEST_F(SystemLog, EntriesCarryIdentityPidFacilityAndLevel)
{
	log_syslog(LOG_ERR, "err %d", 3);
	log_syslog(LOG_INFO, "literal %s", "%s%n%x");
	ASSERT_TRUE(syslog_wait_for(getpid(), "literal", 5000));
	auto lines = fresh();
	ASSERT_EQ(lines.size(), 2u);
	EXPECT_EQ(lines[0].ident, "kavri");
	EXPECT_EQ(lines[0].priority, LOG_DAEMON | LOG_ERR);
	EXPECT_EQ(lines[0].message, "err 3");
	EXPECT_EQ(lines[1].priority, LOG_DAEMON | LOG_INFO);
	EXPECT_EQ(lines[1].message, "literal %s%n%x");
}

TEST_F(SystemLog, LongMessageIsCutAfter4090Characters)
{
	std::string big(5000, 'x');
	big.replace(0, 5, "long:");
	log_syslog(LOG_INFO, "%s", big.c_str());
	StreamCapture cap;
	log_console(LOG_INFO, "%s", big.c_str());
	cap.stop();
	ASSERT_TRUE(syslog_wait_for(getpid(), "long:", 5000));
	auto lines = fresh();
	ASSERT_FALSE(lines.empty());
	EXPECT_EQ(lines.back().message, big.substr(0, 4090));
	EXPECT_NE(cap.out().find(big + "\n"), std::string::npos) << "the console writes it whole";
}

TEST_F(SystemLog, DaemonModeRoutesToSystemLogAndNoticesAlwaysGo)
{
	StreamCapture cap;
	log_msg(MODE_DAEMON, LOG_ERR, "daemon error");
	log_msg(MODE_DAEMON, LOG_INFO, "quiet info");  // no MODE_VERBOSE: dropped
	log_msg(MODE_DAEMON | MODE_VERBOSE, LOG_ERR, "verbose daemon error");
	log_notice("notice %d", 7);
	cap.stop();
	EXPECT_EQ(cap.out() + cap.err(), "");
	ASSERT_TRUE(syslog_wait_for(getpid(), "notice 7", 5000));
	std::vector<std::string> got;
	for (const auto &l : fresh())
		got.push_back(l.message);
	EXPECT_EQ(got, (std::vector<std::string>{"daemon error", "verbose daemon error", "notice 7"}));
}

}  // namespace

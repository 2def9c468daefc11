// STATE_FILE and ON_CHANGE: their values, none by default, and the debug
// listing, which names them only when the file sets them.
#include <gtest/gtest.h>

#include <string>

#include "capture.h"
#include "config/load.h"
#include "helpers.h"
#include "log/log.h"

namespace {

TEST(ReportSettings, ValuesAndListing)
{
	struct Case {
		const char *text;        // after USER and PASS
		const char *state_file;  // nullptr: none
		const char *on_change;   // nullptr: none
		const char *listed;      // the listing's lines after DEAMON_D
	} cases[] = {
		{"", nullptr, nullptr, ""},
		{"STATE_FILE = /run/kavri/state.json\n", "/run/kavri/state.json", nullptr,
		 "DBG: STATE_FILE = /run/kavri/state.json\n"},
		{"on_change /usr/local/bin/kavri-hook\n", nullptr, "/usr/local/bin/kavri-hook",
		 "DBG: ON_CHANGE = /usr/local/bin/kavri-hook\n"},
		{"ON_CHANGE = \"/opt/my hooks/up\"\nSTATE_FILE = s.json\nINTERFACE = eth1\n", "s.json", "/opt/my hooks/up",
		 "DBG: INTERFACE = eth1\nDBG: STATE_FILE = s.json\nDBG: ON_CHANGE = /opt/my hooks/up\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		TempDir dir;
		std::string path = dir.file("kavri.conf");
		write_file(path, std::string("USER = u\nPASS = p\n") + c.text);
		StreamCapture cap;
		const login_config *conf = load_config(path.c_str(), {}, MODE_VERBOSE | MODE_DEBUG);
		cap.stop();
		ASSERT_NE(conf, nullptr) << cap.err();
		for (auto [got, want] : {std::pair{conf->state_file, c.state_file}, std::pair{conf->on_change, c.on_change}}) {
			if (want == nullptr)
				EXPECT_EQ(got, nullptr);
			else
				EXPECT_STREQ(got, want);
		}
		std::string listing = strip_prefixes(cap.out());
		size_t last = listing.find("DBG: DEAMON_D = 5\n");
		ASSERT_NE(last, std::string::npos) << listing;
		EXPECT_EQ(listing.substr(last + 18), c.listed);
	}
}

}  // namespace

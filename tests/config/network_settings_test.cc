// WATCH_NETWORK and INTERFACE: their defaults, their values, and the
// debug listing, which names them only when the file sets them (so that a
// configuration without them lists the same 17 lines as before).
#include <gtest/gtest.h>

#include <string>

#include "capture.h"
#include "config/load.h"
#include "helpers.h"
#include "log/log.h"

namespace {

TEST(NetworkSettings, ValuesAndListing)
{
	struct Case {
		const char *text;  // after USER and PASS
		int watch;
		const char *interface;  // nullptr: none
		const char *listed;     // the listing's lines after DEAMON_D
	} cases[] = {
		{"", 1, nullptr, ""},
		{"WATCH_NETWORK = no\n", 0, nullptr, "DBG: WATCH_NETWORK = no\n"},
		{"watch_network = On\n", 1, nullptr, "DBG: WATCH_NETWORK = On\n"},
		{"WATCH_NETWORK = OFF\n", 0, nullptr, "DBG: WATCH_NETWORK = OFF\n"},
		{"INTERFACE = wlan0\n", 1, "wlan0", "DBG: INTERFACE = wlan0\n"},
		{"INTERFACE wlan0\nWATCH_NETWORK yes\n", 1, "wlan0", "DBG: WATCH_NETWORK = yes\nDBG: INTERFACE = wlan0\n"},
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
		EXPECT_EQ(conf->watch_network, c.watch);
		if (c.interface == nullptr)
			EXPECT_EQ(conf->interface, nullptr);
		else
			EXPECT_STREQ(conf->interface, c.interface);
		std::string listing = strip_prefixes(cap.out());
		size_t last = listing.find("DBG: DEAMON_D = 5\n");
		ASSERT_NE(last, std::string::npos) << listing;
		EXPECT_EQ(listing.substr(last + 18), c.listed);
	}
}

}  // namespace

// The settings whose misreading would send something the file did not
// mean: TLS and WATCH_NETWORK take only yes or no, a pin or a CA file
// needs TLS, pins and the CA file are checked when the file is loaded,
// and a marker cannot be empty. Each refusal is one line, and the load
// gives nothing to run on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "capture.h"
#include "config/load.h"
#include "helpers.h"

namespace {

const std::string PIN = std::string(43, 'A') + "=";

struct Loaded {
	const login_config *conf;
	std::string err;
};

Loaded load_text(const TempDir &dir, const std::string &extra)
{
	std::string path = dir.file("kavri.conf");
	write_file(path, "SERV = 127.0.0.1\nUSER = u\nPASS = p\n" + extra);
	StreamCapture cap;
	const login_config *c = load_config(path.c_str(), {}, 0);
	cap.stop();
	return {c, strip_prefixes(cap.err())};
}

TEST(StrictSettings, RefusedInOneLine)
{
	TempDir dir;
	write_file(dir.file("ca.pem"), "not read here\n");
	const std::string missing = dir.file("missing.pem");
	struct Case {
		std::string extra;
		std::string err;  // after "ERR: "
	} cases[] = {
		{"TLS = 1\nTLS_PIN = \"" + PIN + "\"\n", "TLS \"1\" is not true, yes, on, false, no or off: nothing was sent."},
		{"TLS = enabled\n", "TLS \"enabled\" is not true, yes, on, false, no or off: nothing was sent."},
		{"TLS = \"yes \"\n", "TLS \"yes \" is not true, yes, on, false, no or off: nothing was sent."},
		{"TLS = \"\"\n", "TLS \"\" is not true, yes, on, false, no or off: nothing was sent."},
		{"WATCH_NETWORK = 0\n", "WATCH_NETWORK \"0\" is not true, yes, on, false, no or off: nothing was sent."},
		{"LOGGED_IN_STRING = \"\"\n", "LOGGED_IN_STRING is empty, so every reply would hold it: nothing was sent."},
		{"LOGGED_OUT_STRING \"\"\n", "LOGGED_OUT_STRING is empty, so every reply would hold it: nothing was sent."},
		{"TLS_PIN = \"" + PIN + "\"\n",
		 "TLS_PIN is set but TLS is off (a pin is for SERV over TLS): nothing was sent."},
		{"TLS = off\nTLS_PIN = \"" + PIN + "\"\n",
		 "TLS_PIN is set but TLS is off (a pin is for SERV over TLS): nothing was sent."},
		{"TLS_CA_FILE = " + dir.file("ca.pem") + "\n", "TLS_CA_FILE is set but TLS is off: nothing was sent."},
		{"TLS = yes\nTLS_PIN = \"" + PIN.substr(1) + "\"\n",
		 "TLS_PIN \"" + PIN.substr(1) + "\" is not a list of base64 SHA-256 digests: nothing was sent."},
		{"TLS = yes\nTLS_PIN = \"" + PIN + ",\"\n",
		 "TLS_PIN \"" + PIN + ",\" is not a list of base64 SHA-256 digests: nothing was sent."},
		{"TLS = yes\nTLS_CA_FILE = " + missing + "\n",
		 "TLS_CA_FILE " + missing + " cannot be read: No such file or directory: nothing was sent."},
		{"TLS = yes\nTLS_CA_FILE = " + dir.path() + "\n",
		 "TLS_CA_FILE " + dir.path() + " cannot be read: Is a directory: nothing was sent."},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.extra);
		Loaded l = load_text(dir, c.extra);
		EXPECT_EQ(l.conf, nullptr);
		EXPECT_EQ(l.err, "ERR: " + c.err + "\n");
	}
}

TEST(StrictSettings, AcceptedValues)
{
	TempDir dir;
	write_file(dir.file("ca.pem"), "not read here\n");
	struct Case {
		std::string extra;
		int tls, watch, port;
	} cases[] = {
		{"", 0, 1, 80},
		{"TLS = Yes\n", 1, 1, 443},
		{"TLS = ON\nWATCH_NETWORK = False\n", 1, 0, 443},
		{"TLS = true\nWATCH_NETWORK = off\nPORT = 8443\n", 1, 0, 8443},
		{"TLS = NO\nWATCH_NETWORK = yes\n", 0, 1, 80},
		{"TLS = yes\nTLS_PIN = \"" + PIN + " , " + PIN + "\"\n", 1, 1, 443},
		// The older flags keep their lenient reading.
		{"DEAMON_S = 1\n", 0, 1, 80},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.extra);
		Loaded l = load_text(dir, c.extra);
		ASSERT_NE(l.conf, nullptr) << l.err;
		EXPECT_EQ(l.conf->tls, c.tls);
		EXPECT_EQ(l.conf->watch_network, c.watch);
		EXPECT_EQ(l.conf->port, c.port);
		EXPECT_EQ(l.err, "");
	}
	Loaded l = load_text(dir, "DEAMON_S = 1\n");
	ASSERT_NE(l.conf, nullptr);
	EXPECT_EQ(l.conf->daemon_start, 0) << "only TRUE, YES and ON start the daemon";
}

// A relative CA file is the one in the directory the run started in: the
// daemon, which changes to "/", uses the same file.
TEST(StrictSettings, CaFileBecomesAbsolute)
{
	TempDir dir;
	write_file(dir.file("ca.pem"), "not read here\n");
	char here[4096];
	ASSERT_NE(getcwd(here, sizeof here), nullptr);
	ASSERT_EQ(chdir(dir.path().c_str()), 0);
	Loaded rel = load_text(dir, "TLS = yes\nTLS_CA_FILE = ca.pem\n");
	std::string ca = rel.conf != nullptr ? rel.conf->tls_ca_file : rel.err;
	Loaded gone = load_text(dir, "TLS = yes\nTLS_CA_FILE = sub/none.pem\n");
	ASSERT_EQ(chdir(here), 0);
	EXPECT_EQ(ca, dir.file("ca.pem"));
	EXPECT_EQ(gone.conf, nullptr);
	EXPECT_EQ(gone.err, "ERR: TLS_CA_FILE " + dir.file("sub/none.pem") +
	                        " cannot be read: No such file or directory: nothing was sent.\n");
}

}  // namespace

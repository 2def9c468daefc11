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

// The form login's settings: LOGIN_FORM takes only yes or no, PROBE_URL
// must be an absolute http or https URL, LOGIN_FIELDS must read as its
// list (the line never shows its values); either of LOGIN_FORM and
// PROBE_URL lets TLS_CA_FILE serve other hosts' https pages with TLS off.
TEST(StrictSettings, FormLoginSettings)
{
	TempDir dir;
	write_file(dir.file("ca.pem"), "not read here\n");
	struct Refused {
		std::string extra, err;
	} refused[] = {
		{"LOGIN_FORM = 1\n", "LOGIN_FORM \"1\" is not true, yes, on, false, no or off: nothing was sent."},
		{"PROBE_URL = \"/generate_204\"\n",
		 "PROBE_URL \"/generate_204\" is not an absolute http or https URL: nothing was sent."},
		{"PROBE_URL = \"ftp://example.net/\"\n",
		 "PROBE_URL \"ftp://example.net/\" is not an absolute http or https URL: nothing was sent."},
		{"PROBE_URL = \"http://:80/\"\n",
		 "PROBE_URL \"http://:80/\" is not an absolute http or https URL: nothing was sent."},
		{"LOGIN_FIELDS = \"voucher=S3CR%T\"\n",
		 "LOGIN_FIELDS is not a list of name=value entries joined with \"&\" (%XX for a byte): nothing was sent."},
		{"LOGIN_FIELDS = \"=x\"\n",
		 "LOGIN_FIELDS is not a list of name=value entries joined with \"&\" (%XX for a byte): nothing was sent."},
		{"LOGIN_FORM = no\nTLS_CA_FILE = " + dir.file("ca.pem") + "\n",
		 "TLS_CA_FILE is set but TLS is off: nothing was sent."},
	};
	for (const auto &c : refused) {
		SCOPED_TRACE(c.extra);
		Loaded l = load_text(dir, c.extra);
		EXPECT_EQ(l.conf, nullptr);
		EXPECT_EQ(l.err, "ERR: " + c.err + "\n");
	}
	struct Accepted {
		std::string extra;
		int login_form;
		const char *probe_url, *portal_hosts, *login_fields;
		bool ca_file;
	} accepted[] = {
		{"", 0, nullptr, nullptr, nullptr, false},
		{"LOGIN_FORM = Yes\n", 1, nullptr, nullptr, nullptr, false},
		{"LOGIN_FORM = on\nTLS_CA_FILE = " + dir.file("ca.pem") + "\n", 1, nullptr, nullptr, nullptr, true},
		{"PROBE_URL = \"https://probe.example/generate_204\"\nTLS_CA_FILE = " + dir.file("ca.pem") + "\n", 0,
		 "https://probe.example/generate_204", nullptr, nullptr, true},
		{"LOGIN_FORM = yes\nPORTAL_HOSTS = \"gw.example, .portal.example\"\nLOGIN_FIELDS = \"terms=on&a=%26\"\n", 1,
		 nullptr, "gw.example, .portal.example", "terms=on&a=%26", false},
	};
	for (const auto &c : accepted) {
		SCOPED_TRACE(c.extra);
		Loaded l = load_text(dir, c.extra);
		ASSERT_NE(l.conf, nullptr) << l.err;
		EXPECT_EQ(l.conf->login_form, c.login_form);
		EXPECT_STREQ(l.conf->probe_url, c.probe_url);
		EXPECT_STREQ(l.conf->portal_hosts, c.portal_hosts);
		EXPECT_STREQ(l.conf->login_fields, c.login_fields);
		EXPECT_EQ(l.conf->tls_ca_file != nullptr, c.ca_file);
		EXPECT_EQ(l.err, "");
	}
}

}  // namespace

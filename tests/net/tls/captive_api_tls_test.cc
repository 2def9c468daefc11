// CAPTIVE_API = auto with an https API that networkd recorded (a link
// state file of the test's own): the probe asks it over TLS, checked
// against TLS_CA_FILE, and reads "captive" from it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "fake_portal.h"
#include "helpers.h"
#include "isolation.h"
#include "pki.h"
#include "tls_fake_server.h"

namespace {

TEST(CaptiveApiTls, AutoAsksTheAnnouncedHttpsApi)
{
	RUN_ISOLATED(false, [&] {
		ASSERT_TRUE(mount_own_network_state());
		TempDir dir;
		TestPki pki{dir.path()};
		ASSERT_TRUE(pki.ok());
		IssuedCert cert = pki.issue("api", "DNS:localhost,IP:127.0.0.1");
		ASSERT_TRUE(cert.ok);
		FakePortal api;
		ASSERT_TRUE(api.listening());
		api.route("GET", "/api", [](const PortalRequest &) {
			PortalReply r;
			r.content_type = "application/captive+json";
			r.body = "{\"captive\": false, \"seconds-remaining\": 600}";
			return r.text();
		});
		TlsFakeServer tls(api.port(), cert.cert_file, cert.key_file);
		ASSERT_TRUE(tls.listening());
		const std::string uri = "https://127.0.0.1:" + std::to_string(tls.port()) + "/api";
		write_file("/run/systemd/netif/links/1", "ADMIN_STATE=configured\nCAPTIVE_PORTAL=" + uri + "\n");

		write_file(dir.file("kavri.conf"), loopback_config(api.port(), "CAPTIVE_API = auto\nINTERFACE = lo\n"
		                                                                "TLS_CA_FILE = " + pki.ca_file() + "\n"));
		chmod(dir.file("kavri.conf").c_str(), 0600);
		RunResult r = run_program({KAVRI_BINARY, "-c", dir.file("kavri.conf"), "-v", "-s"});
		std::string all = strip_prefixes(r.out + r.err);
		EXPECT_NE(all.find("INF: Captive-portal API for lo, from /run/systemd/netif/links/1: " + uri + "\n"),
		          std::string::npos)
		    << all;
		EXPECT_NE(all.find("INF: Current status: CONNECTED\nINF: Session time remaining: 600 s"), std::string::npos)
		    << all;
		EXPECT_EQ(tls.handshakes(), 1);
		EXPECT_EQ(api.count("GET", "/api"), 1u);
	});
}

}  // namespace

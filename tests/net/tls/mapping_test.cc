// OpenSSL costs nothing where it is not used: a keep-alive daemon whose
// configuration does not ask for TLS maps no OpenSSL library; one that
// does maps it (so the check below can see it when it is there).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fake_server.h"
#include "helpers.h"
#include "isolation.h"
#include "kavri_world.h"
#include "pki.h"
#include "syslog_sink.h"
#include "tls_fake_server.h"

namespace {

// The OpenSSL libraries among the files that `pid` maps.
std::string openssl_maps(pid_t pid)
{
	std::string maps = read_file("/proc/" + std::to_string(pid) + "/maps");
	std::string found;
	size_t line = 0;
	while (line < maps.size()) {
		size_t end = maps.find('\n', line);
		if (end == std::string::npos)
			end = maps.size();
		std::string l = maps.substr(line, end - line);
		if (l.find("/libssl.so") != std::string::npos || l.find("/libcrypto.so") != std::string::npos)
			found += l + "\n";
		line = end + 1;
	}
	return found;
}

TEST(Mapping, DaemonMapsOpenSslOnlyWithTls)
{
	std::string why;
	if (!syslog_sink_available(&why))
		SKIP_OR_FAIL("no capture of the system log: " + why);
	struct Row {
		const char *name;
		bool tls;
	} rows[] = {{"plain HTTP", false}, {"HTTPS", true}};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		RUN_ISOLATED(true, [&] {
			TempDir dir;
			FakeServer inner;
			TestPki pki(dir.path());
			IssuedCert cert = pki.issue("server", "DNS:localhost,IP:127.0.0.1");
			ASSERT_TRUE(cert.ok);
			TlsFakeServer front(inner, cert.cert_file, cert.key_file);
			ASSERT_TRUE(inner.listening() && front.listening());
			std::string pid_file = dir.file("kavri.pid");
			std::string conf = dir.file("kavri.conf");
			std::string extra = "DEAMON_S = true\nDEAMON_D = 1\nPID_FILE = " + pid_file + "\n";
			if (row.tls)
				extra += "TLS = yes\nTLS_CA_FILE = " + pki.ca_file() + "\n";
			write_file(conf, loopback_config(row.tls ? front.port() : inner.port(), extra));

			RunOptions o;
			o.env = sanitizer_env(dir.file("sanitizer"));
			RunResult r = run_program({"-c", conf, "-l"}, o);
			EXPECT_EQ(r.status, 0) << r.err;
			pid_t pid = wait_for_daemon(pid_file, r);
			ASSERT_GT(pid, 0);
			EXPECT_TRUE(syslog_wait_for(pid, "Login successful.", 0));
			std::string mapped = openssl_maps(pid);
			if (row.tls)
				EXPECT_NE(mapped, "") << "a TLS daemon maps OpenSSL";
			else
				EXPECT_EQ(mapped, "") << "an HTTP-only daemon maps no OpenSSL library";
			kill_all_children_checked();
			EXPECT_EQ(sanitizer_reports(dir.file("sanitizer")), "");
		});
	}
}

}  // namespace

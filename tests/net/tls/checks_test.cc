// What the TLS step checks of a server's certificate beyond its chain: the
// name or address it must show (no partial wildcards, an IPv6 address
// without its zone) and the strength of its key, on a socket connected to
// a TLS front of the tests' own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "capture.h"
#include "client/probe.h"
#include "client_support.h"
#include "fake_server.h"
#include "net/connect.h"
#include "net/transport.h"
#include "pki.h"
#include "tls_fake_server.h"

using namespace client_test;

namespace {

struct Case {
	const char *name;
	const char *sans;   // of the server's certificate
	unsigned rsa_bits;  // its key: RSA of this size, or EC P-256 when 0
	const char *server;  // what the certificate must show
	const char *refusal;  // the reason in the TLS line, or null when accepted
};

const Case cases[] = {
	{"full_wildcard", "DNS:*.example.net", 0, "portal.example.net", nullptr},
	{"partial_wildcard", "DNS:p*.example.net", 0, "portal.example.net", "hostname mismatch"},
	{"rsa_2048", "DNS:localhost", 2048, "localhost", nullptr},
	{"rsa_1024_below_level_2", "DNS:localhost", 1024, "localhost", "EE certificate key too weak"},
	{"ipv6_address_with_zone", "IP:fe80::1", 0, "fe80::1%lo", nullptr},
	{"ipv6_zone_other_address", "IP:fe80::2", 0, "fe80::1%lo", "IP address mismatch"},
};

void PrintTo(const Case &c, std::ostream *os)
{
	*os << c.name;
}

class TlsCheck : public testing::TestWithParam<Case> {};

TEST_P(TlsCheck, CertificateOfServer)
{
	const Case &c = GetParam();
	TempDir dir;
	TestPki pki(dir.path());
	ASSERT_TRUE(pki.ok());
	IssuedCert cert = pki.issue("server", c.sans, -1, 30, false, c.rsa_bits);
	ASSERT_TRUE(cert.ok);
	FakeServer inner;
	TlsFakeServer server(inner, cert.cert_file, cert.key_file);
	ASSERT_TRUE(inner.listening() && server.listening());

	StreamCapture cap;
	int fd = server_connect("127.0.0.1", static_cast<uint16_t>(server.port()), nullptr, 0);
	ASSERT_GE(fd, 0);
	tls_channel_ptr tls;
	transport link{fd, nullptr};
	int r = transport_secure(link, tls, tls_settings{c.server, pki.ca_file().c_str(), nullptr}, 0);
	int err = errno;
	tls.reset();
	close(fd);
	cap.stop();
	if (c.refusal == nullptr) {
		EXPECT_EQ(r, 0) << cap.err();
		EXPECT_EQ(cap.err(), "");
		return;
	}
	EXPECT_EQ(r, -1);
	EXPECT_EQ(err, EPROTO);
	EXPECT_EQ(messages(cap.err(), getpid()),
	          (std::vector<Msg>{{'E', "TLS connection to login server " + std::string(c.server) +
	                                      " failed: " + c.refusal}}));
}

// A server that asks for a new handshake in the middle of the exchange
// (TLS 1.2) gets none: the connection lives for one exchange and never
// needs one, and a renegotiation could bring another certificate.
TEST(TlsRenegotiation, IsRefused)
{
	TempDir dir;
	TestPki pki(dir.path());
	ASSERT_TRUE(pki.ok());
	IssuedCert cert = pki.issue("server", "DNS:localhost");
	ASSERT_TRUE(cert.ok);
	FakeServer inner;
	TlsFakeServer server(inner, cert.cert_file, cert.key_file);
	ASSERT_TRUE(inner.listening() && server.listening());
	server.set_behaviour(TlsBehaviour::renegotiate);
	Session s = make_session(server.port());
	s.server = "localhost";
	s.tls = 1;
	s.tls_ca_file = pki.ca_file().c_str();
	StreamCapture cap;
	http_pre_login(&s, 0);
	cap.stop();
	auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
	while (server.relayed() == 0 && std::chrono::steady_clock::now() < until)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	ASSERT_EQ(server.relayed(), 1) << "the server's side did not end";
	EXPECT_EQ(server.handshakes(), 1);
	EXPECT_EQ(server.renegotiations(), 0) << cap.err();
}

INSTANTIATE_TEST_SUITE_P(Certificates, TlsCheck, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

}  // namespace

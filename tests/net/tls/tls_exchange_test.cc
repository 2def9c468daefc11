// The three exchanges over TLS against the fake login server behind a TLS
// front of the tests' own, with keys and certificates made at test time:
// trusted servers work and get the bytes a plain server gets (but for the
// Referer's https://); every
// certificate or handshake that is refused fails the exchange as a
// refused connection does, with one line that says why, nothing sent.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "client/login.h"
#include "client/logout.h"
#include "client/probe.h"
#include "client_support.h"
#include "fake_server.h"
#include "pki.h"
#include "tls_fake_server.h"

using namespace client_test;

namespace {

using Clock = std::chrono::steady_clock;

// The certificates the cases choose from, made once per test program.
struct Certs {
	TempDir dir;
	TestPki pki{dir.path()};
	IssuedCert good = pki.issue("good", "DNS:localhost,IP:127.0.0.1");
	IssuedCert name_only = pki.issue("name_only", "DNS:localhost");
	IssuedCert other_name = pki.issue("other_name", "DNS:portal.example.net");
	IssuedCert expired = pki.issue("expired", "DNS:localhost,IP:127.0.0.1", -30, -1);
	IssuedCert self_signed = pki.issue("self_signed", "DNS:localhost,IP:127.0.0.1", -1, 30, true);
	IssuedCert unused = pki.issue("unused", "DNS:localhost");  // a key no server has

	bool ok() const
	{
		return pki.ok() && good.ok && name_only.ok && other_name.ok && expired.ok && self_signed.ok && unused.ok;
	}
};

Certs &certs()
{
	static Certs c;
	return c;
}

enum class Outcome { works, refused, times_out };

struct Case {
	const char *name;
	IssuedCert Certs::*cert;
	TlsBehaviour behaviour;
	const char *server;  // SERV
	bool ca_file;        // TLS_CA_FILE is the tests' CA; else the system's store
	std::string (*pins)(const Certs &);  // TLS_PIN, or null
	Outcome outcome;
	std::string (*reason)(const Certs &) = nullptr;  // of the TLS line, when refused
	int err = 0;                                     // errno named by the exchange's line
};

struct Op {
	const char *name;
	int (*run)(login_session *, unsigned);
};
const Op probe{"probe", http_pre_login}, login{"login", http_internet_login}, logout{"logout", http_internet_logout};

const Case cases[] = {
	{"trusted_through_ca_file", &Certs::good, TlsBehaviour::normal, "localhost", true, nullptr, Outcome::works},
	{"closes_without_close_notify", &Certs::good, TlsBehaviour::no_close_notify, "localhost", true, nullptr,
	 Outcome::works},
	{"address_in_certificate", &Certs::good, TlsBehaviour::normal, "127.0.0.1", true, nullptr, Outcome::works},
	{"address_not_in_certificate", &Certs::name_only, TlsBehaviour::normal, "127.0.0.1", true, nullptr,
	 Outcome::refused, [](const Certs &) -> std::string { return "IP address mismatch"; }, EPROTO},
	{"self_signed_not_trusted", &Certs::self_signed, TlsBehaviour::normal, "localhost", false, nullptr,
	 Outcome::refused, [](const Certs &) -> std::string { return "self-signed certificate"; }, EPROTO},
	// The server sends the tests' CA along, which the system does not trust.
	{"issuer_not_trusted", &Certs::good, TlsBehaviour::normal, "localhost", false, nullptr, Outcome::refused,
	 [](const Certs &) -> std::string { return "self-signed certificate in certificate chain"; }, EPROTO},
	{"expired", &Certs::expired, TlsBehaviour::normal, "localhost", true, nullptr, Outcome::refused,
	 [](const Certs &) -> std::string { return "certificate has expired"; }, EPROTO},
	{"issued_for_another_name", &Certs::other_name, TlsBehaviour::normal, "localhost", true, nullptr,
	 Outcome::refused, [](const Certs &) -> std::string { return "hostname mismatch"; }, EPROTO},
	// One of several pins, blanks around: no chain needed.
	{"pin_matches_untrusted_chain", &Certs::self_signed, TlsBehaviour::normal, "localhost", false,
	 [](const Certs &c) { return c.unused.pin + " , " + c.self_signed.pin; }, Outcome::works},
	{"pin_does_not_match_trusted_chain", &Certs::good, TlsBehaviour::normal, "localhost", true,
	 [](const Certs &c) { return c.unused.pin; }, Outcome::refused,
	 [](const Certs &c) { return "the server's public key (pin " + c.good.pin + ") matches no TLS_PIN"; }, EPROTO},
	{"pin_not_base64_sha256", &Certs::good, TlsBehaviour::normal, "localhost", true,
	 [](const Certs &c) { return c.good.pin.substr(1); }, Outcome::refused,
	 [](const Certs &c) { return "TLS_PIN is not a list of base64 SHA-256 digests: " + c.good.pin.substr(1); },
	 EINVAL},
	{"ca_file_missing", &Certs::good, TlsBehaviour::normal, "localhost", false, nullptr, Outcome::refused,
	 [](const Certs &) -> std::string { return "cannot read TLS_CA_FILE /nonexistent/ca.pem: No such file or directory"; },
	 ENOENT},
	{"plain_http_server", &Certs::good, TlsBehaviour::plain_http, "localhost", true, nullptr, Outcome::refused,
	 [](const Certs &) -> std::string { return "the server does not speak TLS on this port (plain HTTP?)"; },
	 EPROTO},
	{"handshake_never_completes", &Certs::good, TlsBehaviour::stall, "localhost", true, nullptr,
	 Outcome::times_out, [](const Certs &) -> std::string { return "no TLS handshake within 5 seconds"; },
	 ETIMEDOUT},
};

void PrintTo(const Case &c, std::ostream *os)
{
	*os << c.name;
}

class TlsExchange : public testing::TestWithParam<Case> {};

TEST_P(TlsExchange, TrustsOnlyWhatItShould)
{
	const Case &c = GetParam();
	Certs &k = certs();
	ASSERT_TRUE(k.ok()) << "keys and certificates could not be made";
	const IssuedCert &cert = k.*c.cert;
	FakeServer inner;
	TlsFakeServer server(inner, cert.cert_file, cert.key_file);
	ASSERT_TRUE(inner.listening() && server.listening());
	server.set_behaviour(c.behaviour);

	Session s = make_session(server.port());
	s.server = c.server;
	s.tls = 1;
	std::string ca = std::string(c.name) == "ca_file_missing" ? "/nonexistent/ca.pem" : k.pki.ca_file();
	s.tls_ca_file = c.ca_file || std::string(c.name) == "ca_file_missing" ? ca.c_str() : nullptr;
	std::string pins = c.pins != nullptr ? c.pins(k) : "";
	s.tls_pin = c.pins != nullptr ? pins.c_str() : nullptr;

	if (c.outcome == Outcome::works) {
		struct Step {
			Op op;
			int result, logged_in;
		} steps[] = {{probe, 0, 0}, {login, 0, 1}, {probe, 0, 1}, {logout, 0, 0}};
		StreamCapture cap;
		for (const Step &st : steps) {
			SCOPED_TRACE(st.op.name);
			EXPECT_EQ(st.op.run(&s, 0), st.result);
			EXPECT_EQ(s.logged_in, st.logged_in);
		}
		cap.stop();
		EXPECT_EQ(cap.out() + cap.err(), "");
		std::string form = "username=joe&password=secret&submitForm=Login";
		// The plain server's bytes, but for the Referer's scheme.
		std::vector<std::string> want = {probe_bytes("/sd/init", c.server, "https"),
		                                 login_bytes("/sd/login", c.server, "/sd/init", form, "https"),
		                                 probe_bytes("/sd/init", c.server, "https"),
		                                 logout_bytes("/sd/logout", c.server, "/sd/init", "https")};
		auto got = inner.requests();
		ASSERT_EQ(got.size(), want.size());
		for (size_t i = 0; i < want.size(); i++)
			EXPECT_EQ(got[i].raw, want[i]) << "request " << i;
		EXPECT_EQ(server.handshakes(), 4);
		EXPECT_EQ(client_sockets_to(server.port()), 0);
		return;
	}

	// A refusal, for each exchange (one where it takes the whole bound).
	std::string reason = c.reason(k);
	std::vector<Op> ops = {probe, login, logout};
	if (c.outcome == Outcome::times_out)
		ops.resize(1);
	for (const Op &op : ops) {
		SCOPED_TRACE(op.name);
		s.logged_in = 1;
		auto t0 = Clock::now();
		StreamCapture cap;
		int rc = op.run(&s, 0);
		cap.stop();
		double took = std::chrono::duration<double>(Clock::now() - t0).count();
		EXPECT_EQ(rc, -1);
		EXPECT_EQ(s.logged_in, 0);
		EXPECT_STREQ(s.reply, "");
		EXPECT_EQ(cap.out(), "");
		std::vector<Msg> want = {
			{'E', "TLS connection to login server " + std::string(c.server) + " failed: " + reason},
			{'E', "Failed to connect to login server (" + std::string(c.server) + "): " + strerror(c.err)},
		};
		EXPECT_EQ(messages(cap.err(), getpid()), want) << cap.err();
		if (c.outcome == Outcome::times_out) {
			EXPECT_GE(took, 4.5);
			EXPECT_LT(took, 8.0);
		} else {
			EXPECT_LT(took, 3.5);
		}
		EXPECT_EQ(client_sockets_to(server.port()), 0);
	}
	EXPECT_EQ(inner.requests().size(), 0u) << "nothing may reach the server";
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsExchange, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

// The trust store is kept from one exchange to the next, but a CA file
// that changes on disk (a portal's CA renewed) is read again.
TEST(TlsTrust, ChangedCaFileIsReadAgain)
{
	Certs &k = certs();
	ASSERT_TRUE(k.ok()) << "keys and certificates could not be made";
	TempDir other_dir;
	TestPki other(other_dir.path());
	ASSERT_TRUE(other.ok());
	FakeServer inner;
	inner.set_logged_in(true);
	TlsFakeServer server(inner, k.good.cert_file, k.good.key_file);
	ASSERT_TRUE(inner.listening() && server.listening());

	TempDir dir;
	std::string ca = dir.file("ca.pem");
	Session s = make_session(server.port());
	s.server = "localhost";
	s.tls = 1;
	s.tls_ca_file = ca.c_str();
	struct {
		const std::string &trusted;  // what the CA file holds
		int result;
	} steps[] = {{k.pki.ca_file(), 0}, {k.pki.ca_file(), 0}, {other.ca_file(), -1}, {k.pki.ca_file(), 0}};
	int i = 0;
	for (const auto &step : steps) {
		SCOPED_TRACE("exchange " + std::to_string(++i));
		write_file(ca + ".new", read_file(step.trusted));
		ASSERT_EQ(rename((ca + ".new").c_str(), ca.c_str()), 0);
		StreamCapture cap;
		EXPECT_EQ(http_pre_login(&s, 0), step.result);
		cap.stop();
		EXPECT_EQ(s.logged_in, step.result == 0 ? 1 : 0) << cap.err();
	}
}

}  // namespace

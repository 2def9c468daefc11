// Keys and certificates made at test time: a CA of the tests' own and the
// certificates it (or a key itself) signs, as PEM files in a directory.
#pragma once

#include <string>

struct IssuedCert {
	std::string cert_file;  // the certificate, then the issuer's (when a CA signed it)
	std::string key_file;
	std::string pin;  // base64 SHA-256 of its SubjectPublicKeyInfo
	bool ok = false;
};

class TestPki {
public:
	// Makes the CA in `dir` (ca.pem); ok() tells whether that worked.
	explicit TestPki(const std::string &dir);
	~TestPki();
	TestPki(const TestPki &) = delete;
	TestPki &operator=(const TestPki &) = delete;

	bool ok() const { return ca_key_ != nullptr; }
	const std::string &ca_file() const { return ca_file_; }

	// A certificate named `name` (files name.pem, name.key) for the subject
	// alternative names `sans` ("DNS:localhost,IP:127.0.0.1"), valid from
	// `from_days` to `to_days` days from now (negative: in the past),
	// signed by the CA or, with `self_signed`, by its own key. Its key is
	// an EC P-256 one, or RSA of `rsa_bits` bits when that is not 0.
	IssuedCert issue(const std::string &name, const std::string &sans, int from_days = -1, int to_days = 30,
	                 bool self_signed = false, unsigned rsa_bits = 0);

private:
	std::string dir_, ca_file_;
	void *ca_key_ = nullptr;   // EVP_PKEY
	void *ca_cert_ = nullptr;  // X509
};

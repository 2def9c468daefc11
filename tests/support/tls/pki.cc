#include "pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace {

struct KeyFree {
	void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct CertFree {
	void operator()(X509 *x) const { X509_free(x); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

long serial = 1;

bool add_ext(X509 *cert, X509 *issuer, int nid, const std::string &value)
{
	X509V3_CTX ctx;
	X509V3_set_ctx_nodb(&ctx);
	X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
	X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
	if (ext == nullptr)
		return false;
	bool ok = X509_add_ext(cert, ext, -1) == 1;
	X509_EXTENSION_free(ext);
	return ok;
}

// A certificate for `key`, signed by `issuer_key`; `issuer` null: by itself.
Cert make_cert(EVP_PKEY *key, const std::string &cn, const std::string &sans, int from_days, int to_days, bool ca,
               X509 *issuer, EVP_PKEY *issuer_key)
{
	Cert cert(X509_new());
	X509_set_version(cert.get(), 2);
	ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
	X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(from_days) * 86400);
	X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(to_days) * 86400);
	X509_set_pubkey(cert.get(), key);
	X509_NAME *name = X509_get_subject_name(cert.get());
	X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(cn.c_str()), -1,
	                           -1, 0);
	X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
	X509 *signer = issuer != nullptr ? issuer : cert.get();
	bool ok = add_ext(cert.get(), signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE") &&
	          add_ext(cert.get(), signer, NID_subject_key_identifier, "hash") &&
	          (issuer == nullptr || add_ext(cert.get(), signer, NID_authority_key_identifier, "keyid:always")) &&
	          (ca ? add_ext(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign")
	              : add_ext(cert.get(), signer, NID_ext_key_usage, "serverAuth")) &&
	          (sans.empty() || add_ext(cert.get(), signer, NID_subject_alt_name, sans));
	if (!ok || X509_sign(cert.get(), issuer_key, EVP_sha256()) == 0)
		return nullptr;
	return cert;
}

bool write_pem(const std::string &path, X509 *cert, X509 *chain, EVP_PKEY *key)
{
	FILE *f = fopen(path.c_str(), "w");
	if (f == nullptr)
		return false;
	bool ok = true;
	if (cert != nullptr)
		ok = PEM_write_X509(f, cert) == 1;
	if (ok && chain != nullptr)
		ok = PEM_write_X509(f, chain) == 1;
	if (ok && key != nullptr)
		ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
	return fclose(f) == 0 && ok;
}

std::string pin_of(EVP_PKEY *key)
{
	unsigned char *der = nullptr;
	int n = i2d_PUBKEY(key, &der);
	if (n <= 0)
		return "";
	unsigned char md[EVP_MAX_MD_SIZE];
	unsigned int len = 0;
	EVP_Digest(der, static_cast<size_t>(n), md, &len, EVP_sha256(), nullptr);
	OPENSSL_free(der);
	unsigned char out[64];
	int m = EVP_EncodeBlock(out, md, static_cast<int>(len));
	return std::string(reinterpret_cast<char *>(out), static_cast<size_t>(m));
}

}  // namespace

TestPki::TestPki(const std::string &dir) : dir_(dir), ca_file_(dir + "/ca.pem")
{
	Key key(EVP_EC_gen("P-256"));
	if (key == nullptr)
		return;
	Cert cert = make_cert(key.get(), "kavri test CA", "", -1, 30, true, nullptr, key.get());
	if (cert == nullptr || !write_pem(ca_file_, cert.get(), nullptr, nullptr))
		return;
	ca_cert_ = cert.release();
	ca_key_ = key.release();
}

TestPki::~TestPki()
{
	EVP_PKEY_free(static_cast<EVP_PKEY *>(ca_key_));
	X509_free(static_cast<X509 *>(ca_cert_));
}

IssuedCert TestPki::issue(const std::string &name, const std::string &sans, int from_days, int to_days,
                          bool self_signed, unsigned rsa_bits)
{
	IssuedCert out;
	out.cert_file = dir_ + "/" + name + ".pem";
	out.key_file = dir_ + "/" + name + ".key";
	Key key(rsa_bits != 0 ? EVP_RSA_gen(rsa_bits) : EVP_EC_gen("P-256"));
	if (key == nullptr || !ok())
		return out;
	X509 *ca = static_cast<X509 *>(ca_cert_);
	std::string cn = sans.substr(sans.find(':') + 1);
	cn = cn.substr(0, cn.find(','));
	Cert cert = self_signed
	                    ? make_cert(key.get(), cn, sans, from_days, to_days, false, nullptr, key.get())
	                    : make_cert(key.get(), cn, sans, from_days, to_days, false, ca, static_cast<EVP_PKEY *>(ca_key_));
	if (cert == nullptr || !write_pem(out.cert_file, cert.get(), self_signed ? nullptr : ca, nullptr) ||
	    !write_pem(out.key_file, nullptr, nullptr, key.get()))
		return out;
	out.pin = pin_of(key.get());
	out.ok = !out.pin.empty();
	return out;
}

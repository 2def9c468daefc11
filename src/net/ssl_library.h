// OpenSSL 3, loaded at run time on the first TLS exchange: a run that does
// not ask for TLS maps none of its libraries. The program calls OpenSSL
// only through this table; nothing links against libssl or libcrypto.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstddef>

// The library's file name: the ABI this table was written against.
inline constexpr const char SSL_LIBRARY_NAME[] = "libssl.so.3";

// One pointer per function called, and none more, typed from OpenSSL's own declarations.
// (The library's macros call other functions, so none is used here.)
struct ssl_library {
#define KAVRI_SSL_FUNCTIONS(F)                                                                                 \
	F(OPENSSL_init_ssl)                                                                                       \
	F(TLS_client_method)                                                                                      \
	F(SSL_CTX_new)                                                                                            \
	F(SSL_CTX_free)                                                                                           \
	F(SSL_CTX_ctrl)                                                                                           \
	F(SSL_CTX_set_options)                                                                                    \
	F(SSL_CTX_get_security_level)                                                                             \
	F(SSL_CTX_set_security_level)                                                                             \
	F(SSL_CTX_set_default_verify_paths)                                                                       \
	F(SSL_CTX_load_verify_file)                                                                               \
	F(SSL_new)                                                                                                \
	F(SSL_free)                                                                                               \
	F(SSL_ctrl)                                                                                               \
	F(SSL_set_fd)                                                                                             \
	F(SSL_set_verify)                                                                                         \
	F(SSL_set1_host)                                                                                          \
	F(SSL_get0_param)                                                                                         \
	F(SSL_connect)                                                                                            \
	F(SSL_read)                                                                                               \
	F(SSL_write)                                                                                              \
	F(SSL_pending)                                                                                            \
	F(SSL_get_error)                                                                                          \
	F(SSL_get_verify_result)                                                                                  \
	F(SSL_get0_peer_certificate)                                                                              \
	F(X509_VERIFY_PARAM_set1_ip_asc)                                                                          \
	F(X509_VERIFY_PARAM_set_hostflags)                                                                        \
	F(X509_verify_cert_error_string)                                                                          \
	F(X509_get_X509_PUBKEY)                                                                                   \
	F(i2d_X509_PUBKEY)                                                                                        \
	F(EVP_sha256)                                                                                             \
	F(EVP_Digest)                                                                                             \
	F(ERR_peek_error)                                                                                         \
	F(ERR_clear_error)                                                                                        \
	F(ERR_reason_error_string)
#define KAVRI_SSL_POINTER(name) decltype(&::name) name;
	KAVRI_SSL_FUNCTIONS(KAVRI_SSL_POINTER)
#undef KAVRI_SSL_POINTER
};

// The table, the library loaded and every function found on the first
// call; later calls return the same table. nullptr when the library or
// one of its functions is missing: `why` (of `size` bytes) then says
// which, and later calls try again.
const ssl_library *ssl_library_load(char *why, size_t size);

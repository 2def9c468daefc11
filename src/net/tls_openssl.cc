// The TLS layer over OpenSSL 3, loaded at run time (ssl_library.h).
#include <arpa/inet.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "net/ssl_library.h"
#include "net/tls.h"
#include "net/tls_pins.h"

struct tls_channel {
	tls_channel() = default;
	~tls_channel();
	tls_channel(const tls_channel &) = delete;
	tls_channel &operator=(const tls_channel &) = delete;

	const ssl_library *lib = nullptr;
	SSL *ssl = nullptr;
	std::string pins;     // TLS_PIN; empty when not set
	char error[256] = "";  // why the last call failed, in words
};

namespace {

__attribute__((format(printf, 4, 0))) int vfail(char *error, size_t size, int err, const char *format, va_list ap)
{
	vsnprintf(error, size, format, ap);
	errno = err;
	return -1;
}

// One sentence into the caller's `error`, errno set to `err`; -1.
__attribute__((format(printf, 4, 5))) int fail_into(char *error, size_t size, int err, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	vfail(error, size, err, format, ap);
	va_end(ap);
	return -1;
}

// The same into the connection's own sentence.
__attribute__((format(printf, 3, 4))) int fail(tls_channel &t, int err, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	vfail(t.error, sizeof t.error, err, format, ap);
	va_end(ap);
	return -1;
}

// OpenSSL writes to the socket with write(), which raises SIGPIPE when the
// server is gone. Held over every call that may write: the signal waits
// blocked in this thread and is taken back unless it was pending before.
class sigpipe_guard {
public:
	sigpipe_guard()
	{
		sigemptyset(&pipe_);
		sigaddset(&pipe_, SIGPIPE);
		pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
		sigset_t pending;
		sigpending(&pending);
		was_pending_ = sigismember(&pending, SIGPIPE) == 1;
	}
	~sigpipe_guard()
	{
		int saved = errno;
		if (!was_pending_) {
			sigset_t pending;
			sigpending(&pending);
			struct timespec zero = {0, 0};
			if (sigismember(&pending, SIGPIPE) == 1)
				sigtimedwait(&pipe_, nullptr, &zero);
		}
		pthread_sigmask(SIG_SETMASK, &old_, nullptr);
		errno = saved;
	}
	sigpipe_guard(const sigpipe_guard &) = delete;
	sigpipe_guard &operator=(const sigpipe_guard &) = delete;

private:
	sigset_t pipe_, old_;
	bool was_pending_;
};

bool is_address(const char *server)
{
	unsigned char buf[sizeof(struct in6_addr)];
	return inet_pton(AF_INET, server, buf) == 1 || inet_pton(AF_INET6, server, buf) == 1;
}

// The server without the zone of an IPv6 address ("fe80::1%wlan0"): the
// zone names an interface of this host and is no part of the address a
// certificate shows.
std::string without_zone(const char *server)
{
	std::string s = server;
	size_t pct = s.find('%');
	if (pct != std::string::npos && s.find(':') != std::string::npos)
		s.resize(pct);
	return s;
}

// With pins, the chain's verdict does not count: the key decides.
int any_chain(int, X509_STORE_CTX *)
{
	return 1;
}

// The pin of the server's key: SHA-256 of its SubjectPublicKeyInfo, base64.
int server_pin(tls_channel &t, char pin[TLS_PIN_LENGTH + 1])
{
	const ssl_library *lib = t.lib;
	X509 *cert = lib->SSL_get0_peer_certificate(t.ssl);
	if (cert == nullptr)
		return fail(t, EPROTO, "the server sent no certificate");
	X509_PUBKEY *key = lib->X509_get_X509_PUBKEY(cert);
	unsigned char der[8192];
	int n = lib->i2d_X509_PUBKEY(key, nullptr);
	if (n <= 0 || static_cast<size_t>(n) > sizeof der)
		return fail(t, EPROTO, "the server's public key cannot be read");
	unsigned char *p = der;
	lib->i2d_X509_PUBKEY(key, &p);
	unsigned char digest[EVP_MAX_MD_SIZE];
	unsigned int len = 0;
	if (lib->EVP_Digest(der, static_cast<size_t>(n), digest, &len, lib->EVP_sha256(), nullptr) != 1 || len != 32)
		return fail(t, EPROTO, "the server's public key cannot be hashed");
	tls_pin_of_digest(digest, pin);
	return 0;
}

int check_pins(tls_channel &t)
{
	if (t.pins.empty())
		return 0;
	char have[TLS_PIN_LENGTH + 1];
	if (server_pin(t, have) != 0)
		return -1;
	if (tls_pin_listed(t.pins.c_str(), have))
		return 0;
	return fail(t, EPROTO, "the server's public key (pin %s) matches no TLS_PIN", have);
}

// A call that failed with SSL_get_error's `code`, in words; `closed` is the
// result for a connection the server ended.
ssize_t failure(tls_channel &t, int code, ssize_t closed)
{
	switch (code) {
	case SSL_ERROR_WANT_READ:
		return TLS_WANT_POLLIN;
	case SSL_ERROR_WANT_WRITE:
		return TLS_WANT_POLLOUT;
	case SSL_ERROR_ZERO_RETURN:
		if (closed == 0)
			return 0;
		return fail(t, EPROTO, "the server closed the connection");
	default:
		break;
	}
	unsigned long e = t.lib->ERR_peek_error();
	if (code == SSL_ERROR_SYSCALL && e == 0) {
		if (errno != 0)
			return fail(t, errno, "%s", strerror(errno));
		if (closed == 0)
			return 0;
		return fail(t, EPROTO, "the server closed the connection");
	}
	t.lib->ERR_clear_error();
	if (ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) == SSL_R_WRONG_VERSION_NUMBER)
		return fail(t, EPROTO, "the server does not speak TLS on this port (plain HTTP?)");
	const char *why = t.lib->ERR_reason_error_string(e);
	return fail(t, EPROTO, "%s", why != nullptr ? why : "TLS protocol error");
}

int clamp(size_t n)
{
	return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
	       a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The context of the run: its trust store, once loaded, serves every later
// connection, which keeps a daemon's checks cheap and its memory flat.
// Made anew when the CA file is another or has changed on disk.
// Connections made from an older context keep their own reference to it.
class trust_cache {
public:
	trust_cache() = default;
	trust_cache(const trust_cache &) = delete;
	trust_cache &operator=(const trust_cache &) = delete;

	// The context for `ca_file` (null: the system's store), or null with
	// errno and `error` set.
	SSL_CTX *context(const ssl_library *lib, const char *ca_file, char *error, size_t size);

private:
	SSL_CTX *ctx_ = nullptr;
	std::string ca_file_;   // empty: the system's store
	struct stat loaded_ {};  // the CA file as it was loaded
};

SSL_CTX *trust_cache::context(const ssl_library *lib, const char *ca_file, char *error, size_t size)
{
	struct stat st {};
	if (ca_file != nullptr) {
		FILE *f = fopen(ca_file, "re");
		if (f == nullptr) {
			fail_into(error, size, errno, "cannot read TLS_CA_FILE %s: %s", ca_file, strerror(errno));
			return nullptr;
		}
		int r = fstat(fileno(f), &st);
		fclose(f);
		if (r != 0) {
			fail_into(error, size, errno, "cannot read TLS_CA_FILE %s: %s", ca_file, strerror(errno));
			return nullptr;
		}
	}
	std::string ca = ca_file != nullptr ? ca_file : "";
	if (ctx_ != nullptr && ca_file_ == ca && (ca.empty() || same_file(loaded_, st)))
		return ctx_;

	SSL_CTX *ctx = lib->SSL_CTX_new(lib->TLS_client_method());
	if (ctx == nullptr) {
		fail_into(error, size, ENOMEM, "cannot set up TLS");
		return nullptr;
	}
	lib->SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
	// The system's openssl.cnf is not read, so its security level cannot
	// raise ours: 2 at least (112-bit keys, no RSA below 2048 bits, no
	// SHA-1 signatures).
	if (lib->SSL_CTX_get_security_level(ctx) < 2)
		lib->SSL_CTX_set_security_level(ctx, 2);
	// A server that closes without close_notify has still sent its reply.
	// A connection lives for one exchange: no renegotiation is needed, so
	// none is allowed.
	lib->SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
	bool trusted;
	if (!ca.empty()) {
		trusted = lib->SSL_CTX_load_verify_file(ctx, ca.c_str()) == 1;
		if (!trusted)
			fail_into(error, size, EPROTO, "TLS_CA_FILE %s holds no certificate in PEM form", ca.c_str());
	} else {
		trusted = lib->SSL_CTX_set_default_verify_paths(ctx) == 1;
		if (!trusted)
			fail_into(error, size, EPROTO, "cannot use the system's certificate store");
	}
	if (!trusted) {
		lib->ERR_clear_error();
		lib->SSL_CTX_free(ctx);
		return nullptr;
	}
	if (ctx_ != nullptr)
		lib->SSL_CTX_free(ctx_);
	ctx_ = ctx;
	ca_file_ = ca;
	loaded_ = st;
	return ctx;
}

// The one trust store of the run. It lives until exit, as the library does.
trust_cache trust;

}  // namespace

tls_channel::~tls_channel()
{
	if (ssl == nullptr)
		return;
	// Freed on failed paths too, before the caller reads errno.
	int saved = errno;
	lib->SSL_free(ssl);
	// A handshake spreads its buffers over the heap; checks come minutes
	// apart, so give the pages back rather than keep them resident.
	malloc_trim(0);
	errno = saved;
}

void tls_close(tls_channel *t)
{
	delete t;
}

tls_channel_ptr tls_open(const tls_settings &s, int fd, char *error, size_t size)
{
	error[0] = '\0';
	if (s.pins != nullptr && !tls_pins_valid(s.pins)) {
		fail_into(error, size, EINVAL, "TLS_PIN is not a list of base64 SHA-256 digests: %s", s.pins);
		return nullptr;
	}
	const ssl_library *lib = ssl_library_load(error, size);
	if (lib == nullptr) {
		errno = ELIBACC;
		return nullptr;
	}
	lib->ERR_clear_error();

	SSL_CTX *ctx = trust.context(lib, s.ca_file, error, size);
	if (ctx == nullptr)
		return nullptr;

	tls_channel_ptr t(new tls_channel);
	t->lib = lib;
	if (s.pins != nullptr)
		t->pins = s.pins;
	t->ssl = lib->SSL_new(ctx);
	if (t->ssl == nullptr) {
		fail_into(error, size, ENOMEM, "cannot set up TLS");
		return nullptr;
	}
	lib->SSL_set_verify(t->ssl, SSL_VERIFY_PEER, s.pins != nullptr ? any_chain : nullptr);
	lib->SSL_ctrl(t->ssl, SSL_CTRL_MODE, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER,
	              nullptr);
	// An address is checked as an address and never sent for SNI.
	std::string server = without_zone(s.server);
	X509_VERIFY_PARAM *param = lib->SSL_get0_param(t->ssl);
	lib->X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
	bool named;
	if (is_address(server.c_str())) {
		named = lib->X509_VERIFY_PARAM_set1_ip_asc(param, server.c_str()) == 1;
	} else {
		named = lib->SSL_ctrl(t->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
		                      const_cast<char *>(server.c_str())) == 1 &&
		        lib->SSL_set1_host(t->ssl, server.c_str()) == 1;
	}
	if (!named) {
		lib->ERR_clear_error();
		fail_into(error, size, EINVAL, "cannot check a certificate against %s", s.server);
		return nullptr;
	}
	if (lib->SSL_set_fd(t->ssl, fd) != 1) {
		fail_into(error, size, ENOMEM, "cannot set up TLS");
		return nullptr;
	}
	return t;
}

int tls_handshake(tls_channel &t)
{
	sigpipe_guard guard;
	t.lib->ERR_clear_error();
	errno = 0;
	int r = t.lib->SSL_connect(t.ssl);
	long verdict = t.lib->SSL_get_verify_result(t.ssl);
	if (r == 1) {
		// Without pins the chain decides: the handshake checked it, and
		// the verdict it left must say so too.
		if (t.pins.empty() && verdict != X509_V_OK)
			return fail(t, EPROTO, "%s", t.lib->X509_verify_cert_error_string(verdict));
		return check_pins(t);
	}
	int code = t.lib->SSL_get_error(t.ssl, r);
	if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
		return static_cast<int>(failure(t, code, -1));
	if (t.pins.empty() && verdict != X509_V_OK) {
		t.lib->ERR_clear_error();
		return fail(t, EPROTO, "%s", t.lib->X509_verify_cert_error_string(verdict));
	}
	return static_cast<int>(failure(t, code, -1));
}

ssize_t tls_read(tls_channel &t, void *buf, size_t n)
{
	sigpipe_guard guard;
	t.lib->ERR_clear_error();
	errno = 0;
	int r = t.lib->SSL_read(t.ssl, buf, clamp(n));
	if (r > 0)
		return r;
	return failure(t, t.lib->SSL_get_error(t.ssl, r), 0);
}

ssize_t tls_write(tls_channel &t, const void *buf, size_t n)
{
	sigpipe_guard guard;
	t.lib->ERR_clear_error();
	errno = 0;
	int r = t.lib->SSL_write(t.ssl, buf, clamp(n));
	if (r > 0)
		return r;
	return failure(t, t.lib->SSL_get_error(t.ssl, r), -1);
}

bool tls_pending(const tls_channel &t)
{
	return t.lib->SSL_pending(t.ssl) > 0;
}

const char *tls_error(const tls_channel &t)
{
	return t.error;
}

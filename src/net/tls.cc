#include "net/tls.h"

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

namespace {

constexpr size_t PIN_LENGTH = 44;  // base64 of 32 bytes: 43 characters and "="

bool base64_char(char ch)
{
	return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '+' ||
	       ch == '/';
}

// Walk the comma-separated entries of `pins`, blanks around them dropped;
// `each` returns true to stop. Whether it was stopped.
template <typename F>
bool each_pin(const char *pins, F each)
{
	const char *p = pins;
	for (;;) {
		while (*p == ' ' || *p == '\t')
			p++;
		const char *end = p;
		while (*end != '\0' && *end != ',')
			end++;
		const char *last = end;
		while (last > p && (last[-1] == ' ' || last[-1] == '\t'))
			last--;
		if (each(p, static_cast<size_t>(last - p)))
			return true;
		if (*end == '\0')
			return false;
		p = end + 1;
	}
}

__attribute__((format(printf, 3, 4))) int fail(tls_channel &t, int err, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	vsnprintf(t.error, sizeof t.error, format, ap);
	va_end(ap);
	errno = err;
	return -1;
}

}  // namespace

bool tls_pins_valid(const char *pins)
{
	bool bad = each_pin(pins, [](const char *pin, size_t n) {
		if (n != PIN_LENGTH || pin[PIN_LENGTH - 1] != '=')
			return true;
		for (size_t i = 0; i + 1 < PIN_LENGTH; i++)
			if (!base64_char(pin[i]))
				return true;
		return false;
	});
	return !bad;
}

#if KAVRI_TLS

namespace {

const ssl_library *lib;

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

// With pins, the chain's verdict does not count: the key decides.
int any_chain(int, X509_STORE_CTX *)
{
	return 1;
}

void base64(const unsigned char *in, size_t n, char *out)
{
	static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	for (size_t i = 0; i < n; i += 3) {
		unsigned v = in[i] << 16 | (i + 1 < n ? in[i + 1] << 8 : 0) | (i + 2 < n ? in[i + 2] : 0);
		*out++ = digits[v >> 18 & 63];
		*out++ = digits[v >> 12 & 63];
		*out++ = i + 1 < n ? digits[v >> 6 & 63] : '=';
		*out++ = i + 2 < n ? digits[v & 63] : '=';
	}
	*out = '\0';
}

// The pin of the server's key: SHA-256 of its SubjectPublicKeyInfo, base64.
int server_pin(tls_channel &t, char pin[PIN_LENGTH + 1])
{
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
	base64(digest, len, pin);
	return 0;
}

int check_pins(tls_channel &t)
{
	if (t.pins == nullptr)
		return 0;
	char have[PIN_LENGTH + 1];
	if (server_pin(t, have) != 0)
		return -1;
	bool listed =
		each_pin(t.pins, [&](const char *pin, size_t n) { return n == PIN_LENGTH && memcmp(pin, have, n) == 0; });
	if (listed)
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
	unsigned long e = lib->ERR_peek_error();
	if (code == SSL_ERROR_SYSCALL && e == 0) {
		if (errno != 0)
			return fail(t, errno, "%s", strerror(errno));
		if (closed == 0)
			return 0;
		return fail(t, EPROTO, "the server closed the connection");
	}
	lib->ERR_clear_error();
	if (ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) == SSL_R_WRONG_VERSION_NUMBER)
		return fail(t, EPROTO, "the server does not speak TLS on this port (plain HTTP?)");
	const char *why = lib->ERR_reason_error_string(e);
	return fail(t, EPROTO, "%s", why != nullptr ? why : "TLS protocol error");
}

int clamp(size_t n)
{
	return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

// The context of the run: its trust store, once loaded, serves every later
// exchange, which keeps a daemon's checks cheap and its memory flat. Made
// anew when TLS_CA_FILE names another file or the file has changed.
struct shared_context {
	SSL_CTX *ctx = nullptr;
	std::string ca_file;  // empty: the system's store
	struct stat loaded {};  // the CA file as it was loaded
};

shared_context shared;

bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
	       a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

SSL_CTX *context_for(tls_channel &t, const login_config &c)
{
	struct stat st {};
	if (c.tls_ca_file != nullptr) {
		FILE *f = fopen(c.tls_ca_file, "re");
		if (f == nullptr) {
			fail(t, errno, "cannot read TLS_CA_FILE %s: %s", c.tls_ca_file, strerror(errno));
			return nullptr;
		}
		int r = fstat(fileno(f), &st);
		fclose(f);
		if (r != 0) {
			fail(t, errno, "cannot read TLS_CA_FILE %s: %s", c.tls_ca_file, strerror(errno));
			return nullptr;
		}
	}
	std::string ca = c.tls_ca_file != nullptr ? c.tls_ca_file : "";
	if (shared.ctx != nullptr && shared.ca_file == ca && (ca.empty() || same_file(shared.loaded, st)))
		return shared.ctx;

	SSL_CTX *ctx = lib->SSL_CTX_new(lib->TLS_client_method());
	if (ctx == nullptr) {
		fail(t, ENOMEM, "cannot set up TLS");
		return nullptr;
	}
	lib->SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
	// A server that closes without close_notify has still sent its reply.
	lib->SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_COMPRESSION);
	bool trusted;
	if (!ca.empty()) {
		trusted = lib->SSL_CTX_load_verify_file(ctx, ca.c_str()) == 1;
		if (!trusted)
			fail(t, EPROTO, "TLS_CA_FILE %s holds no certificate in PEM form", ca.c_str());
	} else {
		trusted = lib->SSL_CTX_set_default_verify_paths(ctx) == 1;
		if (!trusted)
			fail(t, EPROTO, "cannot use the system's certificate store");
	}
	if (!trusted) {
		lib->ERR_clear_error();
		lib->SSL_CTX_free(ctx);
		return nullptr;
	}
	// Connections made from the old context keep their own reference.
	if (shared.ctx != nullptr)
		lib->SSL_CTX_free(shared.ctx);
	shared.ctx = ctx;
	shared.ca_file = ca;
	shared.loaded = st;
	return ctx;
}

}  // namespace

tls_channel::~tls_channel()
{
	if (ssl == nullptr)
		return;
	lib->SSL_free(ssl);
	// A handshake spreads its buffers over the heap; checks come minutes
	// apart, so give the pages back rather than keep them resident.
	malloc_trim(0);
}

int tls_connect_socket(tls_channel &t, const login_config &c, int fd)
{
	t.error[0] = '\0';
	if (c.tls_pin != nullptr && !tls_pins_valid(c.tls_pin))
		return fail(t, EINVAL, "TLS_PIN is not a list of base64 SHA-256 digests: %s", c.tls_pin);
	char why[200];
	lib = ssl_library_load(why, sizeof why);
	if (lib == nullptr)
		return fail(t, ELIBACC, "%s", why);
	lib->ERR_clear_error();

	SSL_CTX *ctx = context_for(t, c);
	if (ctx == nullptr)
		return -1;
	t.pins = c.tls_pin;

	t.ssl = lib->SSL_new(ctx);
	if (t.ssl == nullptr)
		return fail(t, ENOMEM, "cannot set up TLS");
	lib->SSL_set_verify(t.ssl, SSL_VERIFY_PEER, t.pins != nullptr ? any_chain : nullptr);
	lib->SSL_ctrl(t.ssl, SSL_CTRL_MODE, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER,
	              nullptr);
	bool named;
	if (is_address(c.server)) {
		named = lib->X509_VERIFY_PARAM_set1_ip_asc(lib->SSL_get0_param(t.ssl), c.server) == 1;
	} else {
		named = lib->SSL_ctrl(t.ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
		                      const_cast<char *>(c.server)) == 1 &&
		        lib->SSL_set1_host(t.ssl, c.server) == 1;
	}
	if (!named) {
		lib->ERR_clear_error();
		return fail(t, EINVAL, "cannot check a certificate against %s", c.server);
	}
	if (lib->SSL_set_fd(t.ssl, fd) != 1)
		return fail(t, ENOMEM, "cannot set up TLS");
	return 0;
}

int tls_handshake(tls_channel &t)
{
	sigpipe_guard guard;
	lib->ERR_clear_error();
	errno = 0;
	int r = lib->SSL_connect(t.ssl);
	if (r == 1)
		return check_pins(t);
	int code = lib->SSL_get_error(t.ssl, r);
	if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
		return static_cast<int>(failure(t, code, -1));
	long verdict = lib->SSL_get_verify_result(t.ssl);
	if (t.pins == nullptr && verdict != X509_V_OK) {
		lib->ERR_clear_error();
		return fail(t, EPROTO, "%s", lib->X509_verify_cert_error_string(verdict));
	}
	return static_cast<int>(failure(t, code, -1));
}

ssize_t tls_read(tls_channel &t, void *buf, size_t n)
{
	sigpipe_guard guard;
	lib->ERR_clear_error();
	errno = 0;
	int r = lib->SSL_read(t.ssl, buf, clamp(n));
	if (r > 0)
		return r;
	return failure(t, lib->SSL_get_error(t.ssl, r), 0);
}

ssize_t tls_write(tls_channel &t, const void *buf, size_t n)
{
	sigpipe_guard guard;
	lib->ERR_clear_error();
	errno = 0;
	int r = lib->SSL_write(t.ssl, buf, clamp(n));
	if (r > 0)
		return r;
	return failure(t, lib->SSL_get_error(t.ssl, r), -1);
}

bool tls_pending(const tls_channel &t)
{
	return lib->SSL_pending(t.ssl) > 0;
}

#else  // built without TLS

tls_channel::~tls_channel() = default;

int tls_connect_socket(tls_channel &t, const login_config &, int)
{
	return fail(t, EPROTONOSUPPORT, "this kavri was built without TLS (HTTPS) support");
}

int tls_handshake(tls_channel &t)
{
	return fail(t, EPROTONOSUPPORT, "no TLS in this build");
}

ssize_t tls_read(tls_channel &t, void *, size_t)
{
	return fail(t, EPROTONOSUPPORT, "no TLS in this build");
}

ssize_t tls_write(tls_channel &t, const void *, size_t)
{
	return fail(t, EPROTONOSUPPORT, "no TLS in this build");
}

bool tls_pending(const tls_channel &)
{
	return false;
}

#endif

#include "net/ssl_library.h"

#include <dlfcn.h>

#include <cstdio>

namespace {

ssl_library table;
bool loaded = false;

}  // namespace

const ssl_library *ssl_library_load(char *why, size_t size)
{
	if (loaded)
		return &table;
	// The handle stays open for the rest of the run: OpenSSL keeps state
	// of its own (error queues, the random generator) until exit. libssl
	// brings libcrypto in, and lookups through the handle search both.
	void *lib = dlopen(SSL_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
	if (lib == nullptr) {
		const char *e = dlerror();
		snprintf(why, size, "cannot load %s: %s", SSL_LIBRARY_NAME, e != nullptr ? e : "unknown error");
		return nullptr;
	}
	ssl_library found{};
	const char *missing = nullptr;
#define KAVRI_SSL_LOOKUP(name)                                                     \
	found.name = reinterpret_cast<decltype(found.name)>(dlsym(lib, #name));    \
	if (found.name == nullptr && missing == nullptr)                           \
		missing = #name;
	KAVRI_SSL_FUNCTIONS(KAVRI_SSL_LOOKUP)
#undef KAVRI_SSL_LOOKUP
	if (missing != nullptr) {
		snprintf(why, size, "%s lacks %s", SSL_LIBRARY_NAME, missing);
		dlclose(lib);
		return nullptr;
	}
	// kavri sets its own policy (TLS 1.2 at least, security level 2 at
	// least, no renegotiation); the system's openssl.cnf is not read, which keeps
	// both the start and the daemon's memory small.
	if (found.OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) {
		snprintf(why, size, "%s cannot be initialised", SSL_LIBRARY_NAME);
		return nullptr;
	}
	table = found;
	loaded = true;
	return &table;
}

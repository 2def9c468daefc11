// The TLS layer of a build without TLS: no connection can be opened.
#include <cerrno>
#include <cstdio>

#include "net/tls.h"

struct tls_channel {};

void tls_close(tls_channel *t)
{
	delete t;
}

tls_channel_ptr tls_open(const tls_settings &, int, char *error, size_t size)
{
	snprintf(error, size, "%s", "this kavri was built without TLS (HTTPS) support");
	errno = EPROTONOSUPPORT;
	return nullptr;
}

int tls_handshake(tls_channel &)
{
	errno = EPROTONOSUPPORT;
	return -1;
}

ssize_t tls_read(tls_channel &, void *, size_t)
{
	errno = EPROTONOSUPPORT;
	return -1;
}

ssize_t tls_write(tls_channel &, const void *, size_t)
{
	errno = EPROTONOSUPPORT;
	return -1;
}

bool tls_pending(const tls_channel &)
{
	return false;
}

const char *tls_error(const tls_channel &)
{
	return "no TLS in this build";
}

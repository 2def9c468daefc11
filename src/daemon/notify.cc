#include "daemon/notify.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

// Taken when the program starts, in the process the service manager ran;
// a detached daemon inherits it.
const pid_t started_pid = getpid();

// A decimal number of digits only, without overflow; false otherwise.
bool read_decimal(const char *text, uint64_t *value)
{
	if (text == nullptr || *text == '\0')
		return false;
	uint64_t v = 0;
	for (const char *p = text; *p != '\0'; p++) {
		if (*p < '0' || *p > '9' || v > (UINT64_MAX - 9) / 10)
			return false;
		v = v * 10 + static_cast<uint64_t>(*p - '0');
	}
	*value = v;
	return true;
}

}  // namespace

notify_target notify_target_of(const char *value)
{
	notify_target t;
	if (value == nullptr || (value[0] != '/' && value[0] != '@'))
		return t;
	size_t n = strlen(value);
	if (n < 2 || n > sizeof t.addr.sun_path)
		return t;
	t.addr.sun_family = AF_UNIX;
	memcpy(t.addr.sun_path, value, n);
	// An abstract name begins with a NUL byte and is exactly as long as
	// given; a path ends at its NUL, which the address may leave out.
	if (value[0] == '@')
		t.addr.sun_path[0] = '\0';
	t.len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n);
	return t;
}

pid_t notify_started_pid()
{
	return started_pid;
}

uint64_t notify_watchdog_usec(const char *usec, const char *pid, pid_t started)
{
	uint64_t interval = 0;
	if (!read_decimal(usec, &interval) || interval == 0)
		return 0;
	if (pid != nullptr) {
		uint64_t who = 0;
		if (!read_decimal(pid, &who) || who != static_cast<uint64_t>(started))
			return 0;
	}
	return interval;
}

int notify_socket()
{
	return socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int notify_send(int fd, const notify_target &to, const std::string &message)
{
	if (to.len == 0) {
		errno = EDESTADDRREQ;
		return -1;
	}
	struct iovec part = {const_cast<char *>(message.data()), message.size()};
	struct msghdr m = {};
	m.msg_name = const_cast<struct sockaddr_un *>(&to.addr);
	m.msg_namelen = to.len;
	m.msg_iov = &part;
	m.msg_iovlen = 1;
	ssize_t n;
	do
		n = sendmsg(fd, &m, MSG_NOSIGNAL);
	while (n < 0 && errno == EINTR);
	return n < 0 ? -1 : 0;
}

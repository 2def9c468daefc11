#include "net/wait.h"

#include <poll.h>

#include <cerrno>

int wait_until(int fd, short events, wait_clock::time_point deadline)
{
	for (;;) {
		auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - wait_clock::now());
		int timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
		struct pollfd p = {fd, events, 0};
		int r = poll(&p, 1, timeout);
		if (r >= 0)
			return r > 0 ? 1 : 0;
		if (errno != EINTR)
			return -1;
	}
}

// What the connection and the exchange share about their one socket.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <chrono>

using wait_clock = std::chrono::steady_clock;

// Owns one socket descriptor and closes it once: when asked, or at the
// end of its scope. Closing keeps errno, so that a message written after
// the cleanup still names the call that failed.
class socket_owner {
public:
	explicit socket_owner(int fd) : fd_(fd) {}
	~socket_owner() { close_now(); }
	socket_owner(const socket_owner &) = delete;
	socket_owner &operator=(const socket_owner &) = delete;

	int get() const { return fd_; }
	// Hand the descriptor over; this owner no longer closes it.
	int release()
	{
		int fd = fd_;
		fd_ = -1;
		return fd;
	}
	void close_now()
	{
		if (fd_ < 0)
			return;
		int saved = errno;
		close(fd_);
		fd_ = -1;
		errno = saved;
	}

private:
	int fd_;
};

// Wait with poll until `fd` shows one of `events` (or an error or hang-up)
// or `deadline` passes; an interrupted wait goes on with the time left.
// 1 ready, 0 ran out, -1 failed with errno set.
int wait_until(int fd, short events, wait_clock::time_point deadline);

// Owner of one file descriptor: closes it exactly once, when asked or at
// the end of its scope. Closing keeps errno, so that a message written
// after the clean-up still names the call that failed.
#pragma once

#include <unistd.h>

#include <cerrno>

class unique_fd {
public:
	explicit unique_fd(int fd) : fd_(fd) {}
	~unique_fd() { close_now(); }
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;

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

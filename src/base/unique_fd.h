// Owner of one file descriptor: closes it exactly once, when asked or at
// the end of its scope. Closing keeps errno, so that a message written
// after the clean-up still names the call that failed. Ownership moves;
// a moved-from or empty owner holds -1.
#pragma once

#include <unistd.h>

#include <cerrno>

class unique_fd {
public:
	unique_fd() : fd_(-1) {}
	explicit unique_fd(int fd) : fd_(fd) {}
	~unique_fd() { close_now(); }
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;
	unique_fd(unique_fd &&o) noexcept : fd_(o.release()) {}
	unique_fd &operator=(unique_fd &&o) noexcept
	{
		if (this != &o)
			reset(o.release());
		return *this;
	}

	int get() const { return fd_; }
	explicit operator bool() const { return fd_ >= 0; }
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
	// Close what is held and own `fd` from now on.
	void reset(int fd = -1)
	{
		close_now();
		fd_ = fd;
	}

private:
	int fd_;
};

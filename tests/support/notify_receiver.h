// A service manager's end of the notification protocol, for tests: an
// AF_UNIX datagram socket, bound at a path or at an abstract name, that
// keeps every message with its sender's PID and its time of arrival.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"

struct NotifyMessage {
	std::string text;  // "READY=1\nSTATUS=..." as sent
	pid_t sender;      // from the kernel's credentials
	std::chrono::steady_clock::time_point at;
};

class NotifyReceiver {
public:
	// Bound at `path`, or, when it begins with '@', at that abstract name.
	explicit NotifyReceiver(const std::string &name);
	~NotifyReceiver();
	NotifyReceiver(const NotifyReceiver &) = delete;
	NotifyReceiver &operator=(const NotifyReceiver &) = delete;

	bool ok() const { return sock_.get() >= 0; }
	// The value for NOTIFY_SOCKET.
	const std::string &name() const { return name_; }
	std::vector<NotifyMessage> messages() const;
	// Those other than WATCHDOG=1, as texts.
	std::vector<std::string> texts() const;
	size_t count(const std::string &text) const;
	// Wait until `n` messages other than WATCHDOG=1 have come; false on timeout.
	bool wait_for_texts(size_t n, int timeout_ms) const;

private:
	void receive();

	std::string name_;
	unique_fd sock_;
	unique_fd stop_read_, stop_write_;
	mutable std::mutex mu_;
	std::vector<NotifyMessage> got_;
	std::thread thread_;
};

// The accept loop of the tests' servers: one thread accepts on a listening
// socket and hands each connection, non-blocking, to a thread of its own;
// threads that are done are joined as it goes. One stop signal serves the
// loop and the connections' own waits alike.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <thread>

#include "base/unique_fd.h"

class AcceptLoop {
public:
	AcceptLoop();  // makes the stop signal; no thread yet
	~AcceptLoop();  // stop()
	AcceptLoop(const AcceptLoop &) = delete;
	AcceptLoop &operator=(const AcceptLoop &) = delete;

	// Serve `listener`: back once the accepting thread runs, so that an idle
	// server allocates nothing and a test may fork without copying a lock
	// that the thread's start held. SIGPIPE stays blocked in every thread of
	// the loop. False when there is no stop signal or no listener.
	bool start(unique_fd listener, std::function<void(unique_fd)> serve);

	// Raise the stop signal, then join the accepting thread and every
	// connection's. Connections must end their work once stopping() is true
	// or wake_fd() readable.
	void stop();

	bool listening() const { return static_cast<bool>(listen_); }
	bool stopping() const { return stopping_; }
	int wake_fd() const { return wake_read_.get(); }  // readable once stopping

private:
	struct Worker {
		std::thread t;
		std::atomic<bool> done{false};
	};
	void run();
	// Poll `fd` (or nothing, when negative) and the stop signal: 1 ready, 0
	// timed out, -1 stopping.
	int wait(int fd, int timeout_ms) const;

	unique_fd listen_;
	unique_fd wake_read_, wake_write_;
	std::atomic<bool> stopping_{false};
	std::function<void(unique_fd)> serve_;
	std::thread acceptor_;
	std::list<Worker> workers_;  // only the acceptor adds, stop() joins
};

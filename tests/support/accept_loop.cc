#include "accept_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <system_error>

AcceptLoop::AcceptLoop()
{
	int p[2];
	if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0)
		return;
	wake_read_.reset(p[0]);
	wake_write_.reset(p[1]);
}

AcceptLoop::~AcceptLoop()
{
	stop();
}

bool AcceptLoop::start(unique_fd listener, std::function<void(unique_fd)> serve)
{
	if (!wake_read_ || !listener || acceptor_.joinable())
		return false;
	listen_ = std::move(listener);
	serve_ = std::move(serve);
	std::promise<void> running;
	std::future<void> started = running.get_future();
	acceptor_ = std::thread([this, &running] {
		// Writing to a client that has gone raises SIGPIPE: not in these
		// threads (the connections' threads inherit the mask).
		sigset_t pipe;
		sigemptyset(&pipe);
		sigaddset(&pipe, SIGPIPE);
		pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
		running.set_value();
		run();
	});
	started.wait();
	return true;
}

void AcceptLoop::stop()
{
	stopping_ = true;
	if (wake_write_) {
		ssize_t w = write(wake_write_.get(), "x", 1);
		(void)w;
	}
	if (acceptor_.joinable())
		acceptor_.join();
	for (auto &w : workers_)
		w.t.join();
	workers_.clear();
}

int AcceptLoop::wait(int fd, int timeout_ms) const
{
	for (;;) {
		if (stopping_)
			return -1;
		pollfd p[2] = {{wake_read_.get(), POLLIN, 0}, {fd, POLLIN, 0}};
		int r = poll(p, fd >= 0 ? 2 : 1, timeout_ms);
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0 || p[0].revents != 0)
			return -1;
		return r > 0 ? 1 : 0;
	}
}

void AcceptLoop::run()
{
	for (;;) {
		int w = wait(listen_.get(), 1000);
		if (w < 0)
			break;
		// Join the connections that are over, so threads don't pile up.
		for (auto it = workers_.begin(); it != workers_.end();) {
			if (it->done) {
				it->t.join();
				it = workers_.erase(it);
			} else {
				++it;
			}
		}
		if (w == 0)
			continue;
		unique_fd conn(accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
		if (!conn) {
			if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
				wait(-1, 50);  // out of descriptors: don't spin
			continue;
		}
		Worker &wk = workers_.emplace_back();
		try {
			wk.t = std::thread([this, &wk, c = std::move(conn)]() mutable {
				serve_(std::move(c));
				wk.done = true;
			});
		} catch (const std::system_error &) {
			// No thread to be had: drop this connection, keep serving.
			workers_.pop_back();
		}
	}
}

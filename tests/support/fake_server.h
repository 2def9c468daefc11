// A login server of the project's own, on 127.0.0.1 only: the tests'
// fixture and the demo's peer. It serves the status page, takes the login
// form and the logout request, keeps a logged-in flag, records the raw
// bytes of every request, and misbehaves on request, per kind of request.
//
// Every answer is HTTP/1.0: a status line, Content-Type, Content-Length,
// an empty line and a small HTML page. After answering the server shuts
// its sending side and keeps reading until the client closes (at most
// 2 s), so that a request's recorded bytes are all the client sent and the
// client never sees a reset for bytes left unread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "accept_loop.h"
#include "base/unique_fd.h"

enum class Page { status, login, logout, other };

// The kind of a request is only known once it has been read, so every
// behaviour first reads the request (and records it), then acts.
// Only the behaviours that answer with a page change the session state
// (a login under silent, close_at_once, reset or garbage changes nothing).
// The marker-related ones keep the page's usual content: the status page
// carries the logged-in marker only while logged in.
enum class Behaviour {
	normal,             // answer at once with the page
	silent,             // read the request, never answer; hold the
	                    // connection until the client closes it or the
	                    // server is destroyed
	close_at_once,      // close without a byte of answer: the client reads
	                    // the end of the stream (FIN, never a reset)
	reset,              // reset (RST) right after reading the request: the
	                    // client's send succeeds, its next read fails with
	                    // ECONNRESET
	delay,              // answer normally after delay_ms
	oversize,           // more than 4091 bytes of filler, then the page
	nul_before_marker,  // a NUL byte first in the body, then the page
	split,              // headers, pause delay_ms (default 200), then body
	trickle,            // the whole answer one byte every delay_ms (default 100)
	stream_1mib,        // 1 MiB of filler, then the page (marker at the end)
	garbage,            // non-HTTP bytes without any marker, then close
};

struct FakeServerOptions {
	int port = 0;  // 0: any free port
	// A numeric IPv4 or IPv6 address to listen on instead of 127.0.0.1
	// (an address of a network namespace that the test made).
	std::string address;
	std::string init_page = "/sd/init";
	std::string login_page = "/sd/login";
	std::string logout_page = "/sd/logout";
	std::string logged_in_marker = "/sd/create_session_window";
	std::string logged_out_marker = "Login again";
};

struct RecordedRequest {
	Page page;
	std::string raw;  // every byte received on that connection
};

class FakeServer {
public:
	explicit FakeServer(const FakeServerOptions &o = {});
	~FakeServer();  // stops the server and closes every connection
	FakeServer(const FakeServer &) = delete;
	FakeServer &operator=(const FakeServer &) = delete;

	int port() const;
	// false when the port could not be bound (port() is then 0).
	bool listening() const;

	// How requests of this kind are answered from now on.
	void set_behaviour(Page page, Behaviour b, int delay_ms = 0);

	// The session state at the server: the status page carries the
	// logged-in marker while it is set; a login sets it (unless logins
	// are refused), a logout clears it.
	void set_logged_in(bool on);
	bool logged_in() const;
	// false: a login is answered with a page without the marker.
	void set_accept_login(bool on);

	// Waits (at most about 2 s) for connections that were answered and
	// are only collecting the client's last bytes, so that `raw` is
	// complete once the client has closed.
	std::vector<RecordedRequest> requests() const;
	size_t count(Page page) const;
	// Wait until at least n requests of that kind arrived; false on timeout.
	// A request counts as soon as it has been read, before the answer.
	bool wait_for(Page page, size_t n, int timeout_ms) const;
	void clear_requests();

private:
	struct Rule {
		Behaviour b = Behaviour::normal;
		int delay_ms = 0;
	};
	struct Entry {
		uint64_t id;
		RecordedRequest req;
		bool settling;  // answered, still collecting the client's last bytes
	};
	enum class Wait { ready, timeout, stop };

	void listen_elsewhere(const FakeServerOptions &o);
	void start_acceptor(unique_fd listener);
	void serve(unique_fd fd);
	Wait wait_fd(int fd, short events, int timeout_ms) const;
	bool pause(int ms) const;
	bool send_all(int fd, const char *p, size_t n) const;
	void read_request(int fd, std::string &got) const;
	void hold(int fd, uint64_t id);
	void settle(int fd, uint64_t id);
	void append_raw(uint64_t id, const char *p, size_t n);
	void set_settling(uint64_t id, bool on);
	Page classify(const std::string &req) const;
	std::string page_locked(Page page);

	FakeServerOptions opts_;
	int port_ = 0;

	mutable std::mutex mu_;
	mutable std::condition_variable cv_;
	Rule rules_[4];
	bool logged_in_ = false;
	bool accept_login_ = true;
	std::vector<Entry> entries_;
	uint64_t next_id_ = 0;

	// Last: stopped first, while what the connections use still exists.
	AcceptLoop loop_;
};

// A port on 127.0.0.1 where a connect never completes: the listener's
// accept queue is full (listen backlog 0, one connection queued and never
// accepted), so Linux drops every further SYN and the client's connect
// stays pending while it retransmits (about two minutes).
class FullBacklogListener {
public:
	FullBacklogListener();
	FullBacklogListener(const FullBacklogListener &) = delete;
	FullBacklogListener &operator=(const FullBacklogListener &) = delete;

	int port() const { return port_; }
	// true once a filling connect was seen to stay pending.
	bool ok() const { return ok_; }

private:
	unique_fd listen_;
	std::vector<unique_fd> fillers_;
	int port_ = 0;
	bool ok_ = false;
};

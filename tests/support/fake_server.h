// A login server of the project's own, on 127.0.0.1 only: the tests'
// fixture and the demo's peer. It serves the status page, takes the login
// form and the logout request, keeps a logged-in flag, records the raw
// bytes of every request, and misbehaves on request, per kind of request.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class Page { status, login, logout, other };

enum class Behaviour {
	normal,             // answer at once with the page
	silent,             // accept, read the request, never answer (hold it)
	close_at_once,      // close right after accepting, without reading
	reset,              // reset the connection (RST) as soon as it is accepted
	delay,              // answer normally after delay_ms
	oversize,           // more than 4091 bytes of filler, then the marker
	nul_before_marker,  // a NUL byte in the body before the marker
	split,              // headers, pause delay_ms (default 200), then body
	trickle,            // the whole answer one byte every delay_ms (default 100)
	stream_1mib,        // 1 MiB of filler, marker at the end
	garbage,            // non-HTTP bytes without any marker
};

struct FakeServerOptions {
	int port = 0;  // 0: any free port
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

	// How requests of this kind are answered from now on.
	void set_behaviour(Page page, Behaviour b, int delay_ms = 0);

	// The session state at the server: the status page carries the
	// logged-in marker while it is set; a login sets it (unless logins
	// are refused), a logout clears it.
	void set_logged_in(bool on);
	bool logged_in() const;
	// false: a login is answered with a page without the marker.
	void set_accept_login(bool on);

	std::vector<RecordedRequest> requests() const;
	size_t count(Page page) const;
	// Wait until at least n requests of that kind arrived; false on timeout.
	bool wait_for(Page page, size_t n, int timeout_ms) const;
	void clear_requests();
	// (private members: the implementer's choice)
};

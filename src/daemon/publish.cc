#include "daemon/publish.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "base/unique_fd.h"
#include "daemon/notify.h"
#include "daemon/on_change.h"
#include "daemon/state_file.h"
#include "log/log.h"

extern char **environ;

namespace {

struct publication {
	unsigned verbosity = 0;
	daemon_standing standing;
	// The service manager.
	notify_target target;
	unique_fd sock;
	std::atomic<bool> notify_failed{false};  // reported once, until a message goes again
	msec ping_every = 0;                     // the watchdog's; 0: none
	msec next_ping = 0;
	// The state file: written by the main thread, removed by the listener.
	const char *state_file = nullptr;
	bool state_file_failed = false;  // reported once, until a write works again
	std::mutex file_lock;
	on_change_runner on_change;
	// A change not yet handed to it: the pass's own lines come first.
	bool change_waits = false;
	on_change_event change = {};
};

publication the_publication;

void notify(const std::string &message)
{
	publication &p = the_publication;
	if (p.target.len == 0 || p.sock.get() < 0)
		return;
	if (notify_send(p.sock.get(), p.target, message) == 0) {
		p.notify_failed = false;
		return;
	}
	int err = errno;
	if (!p.notify_failed.exchange(true))
		log_msg(p.verbosity, LOG_ERR, "Cannot notify the service manager: %s", strerror(err));
}

// One line: the protocol ends a value at the line's end.
std::string status_message(const daemon_standing &s)
{
	std::string line = status_line(s);
	std::replace(line.begin(), line.end(), '\n', ' ');
	return "STATUS=" + line;
}

void write_state_file()
{
	publication &p = the_publication;
	if (p.state_file == nullptr)
		return;
	std::string text = state_file_text(p.standing, KAVRI_VERSION);
	std::lock_guard<std::mutex> hold(p.file_lock);
	if (state_file_write(p.state_file, text) == 0) {
		p.state_file_failed = false;
		return;
	}
	if (!p.state_file_failed)
		log_msg(p.verbosity, LOG_ERR, "Cannot write state file %s: %s", p.state_file, strerror(errno));
	p.state_file_failed = true;
}

void run_change(msec now)
{
	publication &p = the_publication;
	if (!p.change_waits)
		return;
	p.change_waits = false;
	on_change_request(p.on_change, p.change, now, p.verbosity);
}

// The standing after a check that found `found`; a change runs ON_CHANGE,
// now or at the next publish_service.
void settle(login_state found, check_reason why, msec now, bool run_now)
{
	publication &p = the_publication;
	daemon_standing &s = p.standing;
	time_t wall = time(nullptr);
	login_state previous = s.state;
	s.last_check = wall;
	s.last_reason = why;
	if (found != previous) {
		s.state = found;
		s.since = wall;
		if (p.change_waits)
			p.change.state = found;
		else
			p.change = {found, previous, why};
		p.change_waits = true;
	}
	if (run_now)
		run_change(now);
}

void set_next(unsigned pause_seconds)
{
	daemon_standing &s = the_publication.standing;
	s.logging_in = false;
	// Passes begin a second apart at least.
	s.next_check_by = s.last_check + std::max<time_t>(pause_seconds, PASS_GAP_MS / 1000);
}

}  // namespace

void publish_prepare(const login_config &c, long pid, msec now, unsigned verbosity)
{
	publication &p = the_publication;
	p.verbosity = verbosity;
	daemon_standing &s = p.standing;
	s.server = c.server;
	s.port = c.port;
	s.interface = c.interface != nullptr && *c.interface != '\0' ? c.interface : nullptr;
	s.pid = pid;
	// A unit puts the file in its runtime directory, whatever the
	// configuration says, as -p does the PID file.
	const char *unit_state_file = getenv("KAVRI_STATE_FILE");
	if (unit_state_file != nullptr && *unit_state_file != '\0')
		p.state_file = unit_state_file;
	else if (c.state_file != nullptr && *c.state_file != '\0')
		p.state_file = c.state_file;
	on_change_init(p.on_change, c.on_change, c.server, s.interface, environ);

	p.target = notify_target_of(getenv("NOTIFY_SOCKET"));
	if (p.target.len == 0)
		return;
	p.sock.reset(notify_socket());
	if (p.sock.get() < 0)
		log_msg(verbosity, LOG_ERR, "Cannot notify the service manager: %s", strerror(errno));
	uint64_t usec = notify_watchdog_usec(getenv("WATCHDOG_USEC"), getenv("WATCHDOG_PID"), notify_started_pid());
	if (usec > 0) {
		p.ping_every = std::max<msec>(1, static_cast<msec>(usec / 2000));
		p.next_ping = now + p.ping_every;
	}
}

void publish_start(login_state first, unsigned pause_seconds, msec now)
{
	publication &p = the_publication;
	settle(first, check_reason::start, now, false);
	set_next(pause_seconds);
	write_state_file();
	notify("READY=1\nMAINPID=" + std::to_string(p.standing.pid) + "\n" + status_message(p.standing));
}

void publish_losing(login_state found, check_reason why, msec now)
{
	settle(found, why, now, true);
	the_publication.standing.logging_in = true;
	write_state_file();
	notify(status_message(the_publication.standing));
}

void publish_checked(login_state found, check_reason why, unsigned pause_seconds, msec now)
{
	settle(found, why, now, false);
	set_next(pause_seconds);
	write_state_file();
	notify(status_message(the_publication.standing));
}

int publish_poll_fds(struct pollfd *fds)
{
	return on_change_poll_fds(the_publication.on_change, fds);
}

void publish_service(msec now)
{
	publication &p = the_publication;
	if (p.ping_every > 0 && now >= p.next_ping) {
		notify("WATCHDOG=1");
		p.next_ping = now + p.ping_every;
	}
	on_change_service(p.on_change, now, p.verbosity);
	run_change(now);
}

msec publish_wake_at(msec now)
{
	const publication &p = the_publication;
	msec at = on_change_wake_at(p.on_change, now);
	if (p.ping_every > 0 && (at < 0 || p.next_ping < at))
		at = p.next_ping;
	return at;
}

void publish_stopping()
{
	publication &p = the_publication;
	notify("STOPPING=1");
	on_change_abandon();
	if (p.state_file != nullptr) {
		// Held to the end: no write of the main thread's puts it back.
		p.file_lock.lock();
		unlink(p.state_file);
	}
}

#include "daemon/daemon.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/unique_fd.h"
#include "client/probe.h"
#include "client/retry.h"
#include "daemon/netwatch.h"
#include "daemon/pidfile.h"
#include "daemon/publish.h"
#include "daemon/schedule.h"
#include "log/log.h"

namespace {

// What the signal listener shares with the main thread: whether the main
// thread pauses right now, and the descriptor through which a SIGHUP
// taken meanwhile wakes it.
struct pause_state {
	std::mutex lock;
	bool pausing = false;
	int wake = -1;  // an eventfd
};

pause_state the_pause;

// The sources the pause waits on, all in one poll.
struct pause_sources {
	unique_fd wake;   // an eventfd, readable after a SIGHUP taken in the pause
	unique_fd timer;  // on CLOCK_BOOTTIME, readable when the next deadline passes
	unique_fd net;    // the routing socket, or -1 when the network is not watched
	netwatch_filter filter;
};

sigset_t daemon_signals()
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGHUP);
	sigaddset(&set, SIGTERM);
	return set;
}

// The listener: takes SIGHUP and SIGTERM one at a time, outside any
// asynchronous handler, so that the response may log and lock. A thread of
// its own, not a signalfd in the pause's poll: SIGTERM must also act while
// a pass waits on a connect or a reply, where no poll of ours would see it.
void *listen_for_signals(void *)
{
	sigset_t set = daemon_signals();
	for (;;) {
		int sig = 0;
		if (sigwait(&set, &sig) == 0)
			daemon_signal(sig);
	}
	return nullptr;
}

// The daemon's clock: it goes on counting while the machine is suspended.
msec boot_clock_now()
{
	struct timespec t;
	clock_gettime(CLOCK_BOOTTIME, &t);
	return static_cast<msec>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void arm_timer(int fd, msec at)
{
	struct itimerspec when = {};
	when.it_value.tv_sec = static_cast<time_t>(at / 1000);
	when.it_value.tv_nsec = static_cast<long>(at % 1000) * 1000000;
	timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr);
}

// Empty a counter descriptor (eventfd or timerfd). True when it had counted.
bool take_count(int fd)
{
	uint64_t n = 0;
	return read(fd, &n, sizeof n) == static_cast<ssize_t>(sizeof n) && n > 0;
}

// Whether the network changed in a way that counts. A socket that can no
// longer be read is given up, so that it cannot keep the pause awake.
bool network_changed(pause_sources &src, unsigned verbosity)
{
	int r = netwatch_drain(src.net.get(), src.filter);
	if (r < 0) {
		log_msg(verbosity, LOG_ERR, "Stopped watching the network: %s", strerror(errno));
		src.net.close_now();
	}
	return r > 0;
}

// The pause between passes: until its plan says a pass is due, waiting in
// one poll on a SIGHUP, the timer and the network. Events that came while
// the previous pass ran are still in the routing socket and count now.
pass_reason daemon_pause(pause_sources &src, pause_plan &plan, unsigned verbosity)
{
	{
		std::lock_guard<std::mutex> hold(the_pause.lock);
		the_pause.pausing = true;
	}
	if (src.net.get() >= 0 && network_changed(src, verbosity))
		pause_network(plan, boot_clock_now());

	pass_reason why;
	for (;;) {
		msec now = boot_clock_now();
		publish_service(now);
		if ((why = pause_due(plan, now)) != pass_reason::none)
			break;
		// The watchdog's ping and an ON_CHANGE deadline wake the pause
		// too; without them it sleeps until the pass is due.
		msec wake = pause_wake_at(plan);
		msec also = publish_wake_at(now);
		arm_timer(src.timer.get(), also >= 0 ? std::min(wake, also) : wake);
		struct pollfd fds[3 + PUBLISH_POLL_FDS] = {
			{src.wake.get(), POLLIN, 0},
			{src.timer.get(), POLLIN, 0},
			{src.net.get(), POLLIN, 0},
		};
		int n = src.net.get() >= 0 ? 3 : 2;
		n += publish_poll_fds(fds + n);
		if (poll(fds, static_cast<nfds_t>(n), -1) < 0)
			continue;
		if (fds[0].revents != 0 && take_count(src.wake.get()))
			pause_signal(plan);
		if (fds[1].revents != 0)
			take_count(src.timer.get());
		if (src.net.get() >= 0 && fds[2].revents != 0 && network_changed(src, verbosity))
			pause_network(plan, boot_clock_now());
	}

	std::lock_guard<std::mutex> hold(the_pause.lock);
	the_pause.pausing = false;
	// A SIGHUP taken in the pause's last moment still makes the pass forced.
	if (take_count(src.wake.get()))
		why = pass_reason::forced;
	return why;
}

// The login state, when it differs from the one reported last; returns
// the state reported now.
int report_login(int logged_in, int reported)
{
	if (logged_in != reported)
		log_notice("Login %s", logged_in ? "successful." : "FAILED!");
	return logged_in;
}

// Start-up: the daemon takes its signals, claims its PID file and opens
// what its pauses wait on. If something fails here the daemon may end,
// and says why: false, and the caller returns the login result as the
// daemon's exit status.
bool daemon_start(const login_session *session, unsigned verbosity, pause_sources *src)
{
	const int pid = static_cast<int>(getpid());

	// Blocked before the PID file exists and before any thread: a run that
	// finds the file can signal at once, and the signal waits for the
	// listener instead of taking its default action.
	sigset_t set = daemon_signals();
	pthread_sigmask(SIG_BLOCK, &set, nullptr);

	const login_config &c = *session->conf;
	pid_claim claim = pid_file_claim(c.pid_file, pid);
	if (claim.taken) {
		// Another daemon runs (or a run removing the file is about to
		// start one): this one is not needed.
		log_msg(verbosity, LOG_ERR, "Cannot lock PID file for PID(%d), %s: another process holds it", pid,
		        claim.path);
		return false;
	}
	if (claim.result != 0) {
		log_msg(verbosity, LOG_ERR, "Cannot write PID(%d) to file, %s: %s", pid, claim.path,
		        strerror(claim.error));
		log_msg(verbosity, LOG_ERR, "Aborting daemon - cannot communicate PID to outside world.");
		return false;
	}

	// A network that cannot be watched is reported, and checked on the
	// timer and on SIGHUP as without WATCH_NETWORK.
	int net = c.watch_network ? netwatch_open() : -1;
	if (c.watch_network && net < 0)
		log_msg(verbosity, LOG_ERR, "Cannot watch the network: %s", strerror(errno));
	*src = pause_sources{
		unique_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
		unique_fd(timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK)),
		unique_fd(net),
		{c.interface != nullptr && *c.interface != '\0' ? c.interface : nullptr, 0},
	};
	if (src->net.get() >= 0)
		netwatch_seed(src->filter);  // links running now count only once they have been down
	// Without its wake-up and its timer the pause could not end.
	if (src->wake.get() < 0 || src->timer.get() < 0) {
		log_msg(verbosity, LOG_ERR, "Cannot pause between checks: %s", strerror(errno));
		pid_file_release();  // a daemon that gives up leaves no file to call stale
		return false;
	}
	the_pause.wake = src->wake.get();
	publish_prepare(c, pid, boot_clock_now(), verbosity);

	// The listener inherits the blocked set, as sigwait needs. Without it
	// SIGTERM could never end the daemon, so that is fatal too.
	pthread_t listener;
	int err = pthread_create(&listener, nullptr, listen_for_signals, nullptr);
	if (err != 0) {
		log_msg(verbosity, LOG_ERR, "Cannot take signals: %s", strerror(err));
		pid_file_release();
		return false;
	}
	pthread_detach(listener);
	log_notice("Keep-alive daemon started, pid: %d", pid);
	return true;
}

// The loop: from here on nothing ends the daemon but SIGTERM. A pass that
// fails is reported by the client, and the next pass tries again.
[[noreturn]] void daemon_loop(login_session *session, unsigned verbosity, pause_sources &src)
{
	const login_config &c = *session->conf;
	// daemon_delay * 60 wraps modulo 2^32: 0 is no pause (passes then
	// begin a second apart), a negative delay a pause longer than the
	// daemon will run.
	const unsigned pause_seconds = static_cast<unsigned>(c.daemon_delay) * 60u;
	int reported = report_login(session->logged_in, -1);
	// The foreground's check, the last exchange of which was a login
	// unless it found the login alive.
	publish_start(login_state_of(session->logged_in, session->reply[0] != '\0', !session->logged_in),
	              pause_seconds, boot_clock_now());
	// After the two lines that every start writes.
	if ((verbosity & MODE_VERBOSE) && c.conf_exposed)
		log_syslog(LOG_WARNING, "Configuration file %s holds your password and can be read by other users: %s",
		           c.conf_file, "chmod 600 it.");

	// The foreground's check just before counts as the pass before the
	// first.
	msec pass_began = boot_clock_now();
	int was_logged_in = session->logged_in;
	for (;;) {
		reported = report_login(session->logged_in, reported);
		pause_plan plan = pause_begin(boot_clock_now(), pause_seconds, pass_began);
		pass_reason why = daemon_pause(src, plan, verbosity);
		pass_began = boot_clock_now();
		if (why == pass_reason::network)
			log_notice("Network changed, checking now.");

		const check_reason reason = why == pass_reason::periodic  ? check_reason::periodic
		                            : why == pass_reason::network ? check_reason::network
		                                                          : check_reason::forced;
		http_pre_login(session, verbosity);
		bool logging_in = c.daemon_login && !session->logged_in;
		if (logging_in) {
			if (was_logged_in)
				publish_losing(login_state_of(0, session->reply[0] != '\0', false), reason, boot_clock_now());
			log_msg(verbosity, LOG_INFO, "Daemon logging in again.");
			http_do_login(session, verbosity, retry_sleep);
		}
		// Whether the last exchange was answered: its reply is kept.
		publish_checked(login_state_of(session->logged_in, session->reply[0] != '\0', logging_in), reason,
		                pause_seconds, boot_clock_now());
		was_logged_in = session->logged_in;
		// A check the timer did not call for reports as a forced one.
		if (why != pass_reason::periodic)
			log_notice(session->logged_in ? "Forced relogin successful." : "Forced relogin FAILED!");
		else
			log_msg(verbosity, LOG_INFO, "Periodic relogin %s.", session->logged_in ? "OK" : "FAILED");
	}
}

}  // namespace

void daemon_signal(int sig)
{
	if (sig == SIGHUP) {
		log_notice("Got signal(%d), forcing relogin.", sig);
		std::lock_guard<std::mutex> hold(the_pause.lock);
		// Outside a pause the line is all: the next pause runs its length.
		if (the_pause.pausing) {
			uint64_t one = 1;
			ssize_t w = write(the_pause.wake, &one, sizeof one);
			(void)w;  // a counter that is already set wakes the pause as well
		}
		return;
	}
	log_notice("Got signal(%d), quitting.", sig);
	publish_stopping();
	// The file goes with the daemon, so that no later run calls it stale.
	// Then at once, whatever the main thread is doing: the PID file was
	// written in full when the daemon started and nothing else needs
	// flushing.
	pid_file_release();
	_exit(0);
}

void keepalive_loop(login_session *session, unsigned verbosity)
{
	pause_sources src;
	if (daemon_start(session, verbosity, &src))
		daemon_loop(session, verbosity, src);
}

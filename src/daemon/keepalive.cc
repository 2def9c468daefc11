#include "daemon/daemon.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "client/client.h"
#include "daemon/pidfile.h"
#include "log/log.h"

namespace {

// The pause of the loop, which a SIGHUP taken by the listener may end
// early; `pausing` says whether the main thread is in it right now.
struct pause_state {
	std::mutex lock;
	std::condition_variable wake;
	bool pausing = false;
	bool cut = false;
};

pause_state the_pause;

sigset_t daemon_signals()
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGHUP);
	sigaddset(&set, SIGTERM);
	return set;
}

// The listener: takes SIGHUP and SIGTERM one at a time, outside any
// asynchronous handler, so that the response may log and lock.
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

// The path the first error line names: the field, or, when no path could
// be opened at all, the last one tried as the list spells it.
const char *pid_path_for_report(const char *field)
{
	if (field != nullptr)
		return field;
	const char *last = "";
	for (const char *const *p = pid_fallbacks; *p != nullptr; p++)
		last = *p;
	return last;
}

// The loop's pause: `seconds`, or less when a SIGHUP is taken meanwhile.
// True when it was cut short; 0 is no pause at all.
bool daemon_pause(unsigned seconds)
{
	if (seconds == 0)
		return false;
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
	std::unique_lock<std::mutex> hold(the_pause.lock);
	the_pause.pausing = true;
	the_pause.cut = false;
	the_pause.wake.wait_until(hold, deadline, [] { return the_pause.cut; });
	bool cut = the_pause.cut;
	the_pause.pausing = false;
	the_pause.cut = false;
	return cut;
}

// The login state, when it differs from the one reported last; returns
// the state reported now.
int report_login(int logged_in, int reported)
{
	if (logged_in != reported)
		log_notice("Login %s", logged_in ? "successful." : "FAILED!");
	return logged_in;
}

}  // namespace

void daemon_signal(int sig)
{
	if (sig == SIGHUP) {
		log_notice("Got signal(%d), forcing relogin.", sig);
		std::lock_guard<std::mutex> hold(the_pause.lock);
		// Outside a pause the line is all: the next pause runs its length.
		if (the_pause.pausing) {
			the_pause.cut = true;
			the_pause.wake.notify_all();
		}
		return;
	}
	log_notice("Got signal(%d), quitting.", sig);
	// At once, whatever the main thread is doing; the PID file was written
	// in full when the daemon started and nothing else needs flushing.
	_exit(0);
}

void keepalive_loop(login_session *session, unsigned verbosity)
{
	// daemon_delay * 60 wraps modulo 2^32: 0 is no pause, a negative delay
	// a pause longer than the daemon will run.
	const unsigned pause_seconds = static_cast<unsigned>(session->conf->daemon_delay) * 60u;
	const int pid = static_cast<int>(getpid());

	// Blocked before the PID file exists and before any thread: a run that
	// finds the file can signal at once, and the signal waits for the
	// listener instead of taking its default action.
	sigset_t set = daemon_signals();
	pthread_sigmask(SIG_BLOCK, &set, nullptr);

	// Until the loop starts a fatal error may end the daemon; the caller
	// then returns its login result as the exit status.
	if (pid_file_write(&session->pid_file, pid) != 0) {
		int err = errno;
		log_msg(verbosity, LOG_ERR, "Cannot write PID(%d) to file, %s: %s", pid,
		        pid_path_for_report(session->pid_file), strerror(err));
		log_msg(verbosity, LOG_ERR, "Aborting daemon - cannot communicate PID to outside world.");
		return;
	}

	// The listener inherits the blocked set, as sigwait needs. Without it
	// SIGTERM could never end the daemon, so that is fatal too.
	pthread_t listener;
	int err = pthread_create(&listener, nullptr, listen_for_signals, nullptr);
	if (err != 0) {
		log_msg(verbosity, LOG_ERR, "Cannot take signals: %s", strerror(err));
		return;
	}
	pthread_detach(listener);
	log_notice("Keep-alive daemon started, pid: %d", pid);
	int reported = report_login(session->logged_in, -1);
	// After the two lines that every start writes.
	if ((verbosity & MODE_VERBOSE) && session->conf->conf_exposed)
		log_syslog(LOG_WARNING, "Configuration file %s holds your password and can be read by other users: %s",
		           session->conf->conf_file, "chmod 600 it.");

	// From here on nothing ends the daemon but SIGTERM: failures of a pass
	// are reported by the client and the next pass tries again.
	for (;;) {
		reported = report_login(session->logged_in, reported);
		bool forced = daemon_pause(pause_seconds);
		http_pre_login(session, verbosity);
		if (session->conf->daemon_login && !session->logged_in) {
			log_msg(verbosity, LOG_INFO, "Daemon logging in again.");
			http_do_login(session, verbosity);
		}
		if (forced)
			log_notice(session->logged_in ? "Forced relogin successful." : "Forced relogin FAILED!");
		else
			log_msg(verbosity, LOG_INFO, "Periodic relogin %s.", session->logged_in ? "OK" : "FAILED");
	}
}

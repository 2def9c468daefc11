#include "frame/run_action.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/login.h"
#include "client/logout.h"
#include "client/probe.h"
#include "daemon/daemon.h"
#include "daemon/pidfile.h"
#include "frame/options.h"
#include "log/log.h"

namespace {

// How long -o waits for a daemon told to quit to let go of its PID file.
constexpr int STOP_WAIT_MS = 3000;

// A PID file whose process is gone or not ours: report it and remove the
// configured file. 0 when the login may go on, 1 when the file stays.
int handle_stale(const char *pid_file, int pid, int kill_error, unsigned verbosity)
{
	log_msg(verbosity, LOG_ERR, "kill(%d, SIGHUP) failed: %s\n", pid, strerror(kill_error));
	log_msg(verbosity, LOG_ERR, "Maybe a stale lockfile (%s)?", pid_file);
	log_msg(verbosity, LOG_INFO, "Trying to remove possibly stale lockfile (%s)...", pid_file);
	// A file whose lock a process holds stays: the login goes on, and the
	// daemon it starts meets that lock.
	if (pid_file_remove(pid_file) < 0) {
		log_msg(verbosity, LOG_ERR, "Couldn't remove possible stale lockfile (%s).\n", pid_file);
		log_msg(verbosity, LOG_ERR, "Maybe the process (%d) is running as root, but you are not?", pid);
		return 1;
	}
	return 0;
}

int login(login_session *session, daemon_pid daemon, unsigned verbosity)
{
	const char *pid_file = session->conf->pid_file;
	if (daemon.pid > 0) {
		log_msg(verbosity, LOG_INFO, "Already running on pid %d, forcing relogin.", daemon.pid);
		// A file with no live daemon behind it fails as a kill of a
		// process that is gone would.
		int err = ESRCH;
		if (daemon.live) {
			if (kill(daemon.pid, SIGHUP) == 0)
				return 0;
			err = errno;
		}
		if (handle_stale(pid_file, daemon.pid, err, verbosity) != 0)
			return 1;
	}

	int result = 0;
	http_pre_login(session, verbosity);
	if (session->logged_in) {
		log_msg(verbosity, LOG_INFO, "Already logged in.");
	} else {
		log_msg(verbosity, LOG_INFO, "First check, not logged in yet.");
		result = http_internet_login(session, verbosity);
		if (result != 0) {
			log_msg(verbosity, LOG_ERR, "To diagnose, try the options --debug --verbose");
		} else if (session->logged_in) {
			log_msg(verbosity, LOG_INFO, "SUCCESSFUL LOGIN");
		} else {
			// The server answered and refused (a wrong password, an
			// expired account): for a script that is no login at all.
			log_msg(verbosity, LOG_ERR, "LOGIN FAILED - To diagnose, try the options --debug --verbose");
			result = -1;
		}
	}
	if (!session->conf->daemon_start)
		return result;

	// Hand-over to the daemon, whatever the login gave: it tries again. A
	// file whose lock a process holds stays (a daemon started meanwhile):
	// the new daemon then meets that lock and ends.
	if (pid_file_remove(pid_file) < 0 && errno == EACCES)
		log_msg(verbosity, LOG_ERR, "Failed to delete old PID file, %s - %s", pid_file, strerror(errno));
	if (daemonize() == 0)
		keepalive_loop(session, verbosity | MODE_DAEMON);
	// In the daemon this is reached only when it could not write its PID
	// file; it then ends with the login result too.
	return result;
}

int logout(login_session *session, daemon_pid daemon, unsigned verbosity)
{
	const char *pid_file = session->conf->pid_file;
	if (daemon.live) {
		// The daemon removes its own file as it ends; what it leaves (a
		// daemon that keeps no such rule) goes once its lock does.
		kill(daemon.pid, SIGTERM);
		pid_file_remove(pid_file, STOP_WAIT_MS);
	} else {
		log_msg(verbosity, LOG_ERR, "No active session found, will logout anyway.");
		// A stale file goes as a stopped daemon's would.
		if (daemon.pid > 0)
			pid_file_remove(pid_file);
	}
	return http_internet_logout(session, verbosity);
}

int status(login_session *session, daemon_pid daemon, unsigned verbosity)
{
	http_pre_login(session, verbosity);
	int result = daemon.live ? daemon.pid : -1;
	if (!(verbosity & MODE_VERBOSE))
		return result;
	log_msg(verbosity, LOG_INFO, "Current status: %s", session->logged_in ? "CONNECTED" : "DISCONNECTED");
	if (daemon.live)
		log_msg(verbosity, LOG_INFO, "Login daemon running with PID = %d", daemon.pid);
	else
		log_msg(verbosity, LOG_INFO, "Login daemon not running.");
	return result;
}

}  // namespace

int run_action(login_session *session, int action, unsigned verbosity)
{
	// First of all, in every mode: is a daemon running?
	daemon_pid daemon = pid_file_find(session->conf->pid_file);
	switch (action) {
	case ACTION_LOGIN:
		return login(session, daemon, verbosity);
	case ACTION_LOGOUT:
		return logout(session, daemon, verbosity);
	case ACTION_STATUS:
		return status(session, daemon, verbosity);
	default:
		log_msg(verbosity, LOG_ERR, "Run mode %d is not available.", action);
		return 1;
	}
}

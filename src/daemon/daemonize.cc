#include "daemon/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

// Descriptors 0, 1 and 2 on the null device, so that a stray console write
// can never land in the PID file or a socket that takes their numbers.
void null_standard_streams()
{
	int fd = open("/dev/null", O_RDWR);
	if (fd < 0)
		return;
	for (int target = 0; target <= 2; target++)
		if (fd != target)
			dup2(fd, target);
	if (fd > 2)
		close(fd);
}

}  // namespace

int daemonize()
{
	// Whatever the streams still buffer is written once, here, and not
	// again by each child.
	fflush(stdout);
	fflush(stderr);

	// A program that init started has no terminal to leave. Asked here,
	// before any fork: afterwards the answer would depend on whether the
	// intermediate process has ended yet.
	bool started_by_init = getppid() == 1;

	// Until the daemon has a session of its own it is still in the
	// terminal's, and a terminal that closes meanwhile (a shell or an ssh
	// session ending right after kavri -l) hangs up with SIGHUP to all of
	// that session, which would kill it. Blocked in the children, the
	// signal waits for the daemon's listener; the caller gets its mask back.
	sigset_t hup, caller_mask;
	sigemptyset(&hup);
	sigaddset(&hup, SIGHUP);
	sigprocmask(SIG_BLOCK, &hup, &caller_mask);
	pid_t pid = fork();
	if (pid != 0) {
		sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
		return pid;
	}

	setpgid(0, 0);
	// The intermediate process ends at once, without flushing anything or
	// running exit-time clean-up, whether or not this fork worked.
	if (fork() != 0)
		_exit(0);

	if (!started_by_init) {
		signal(SIGTTOU, SIG_IGN);
		signal(SIGTTIN, SIG_IGN);
		signal(SIGTSTP, SIG_IGN);
		setsid();
	}

	// Every descriptor below the limit goes. One call where the system has
	// it: a limit in the millions would make a loop of closes take seconds.
	long limit = sysconf(_SC_OPEN_MAX);
	if (limit > 0 && close_range(0, static_cast<unsigned>(std::min(limit, 0x7fffffffL)) - 1, 0) != 0) {
		for (long fd = 0;; fd++) {
			limit = sysconf(_SC_OPEN_MAX);
			if (limit <= 0 || fd >= limit)
				break;
			close(static_cast<int>(fd));
		}
	}
	null_standard_streams();

	if (chdir("/") != 0) {
		// Passed over: the daemon works on from where it is.
	}
	umask(0);
	return 0;
}

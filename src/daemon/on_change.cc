#include "daemon/on_change.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "log/log.h"

namespace {

// The process group of the program that runs, for on_change_abandon.
std::atomic<pid_t> running_group{0};

// Without a pidfd (a kernel before 5.3) the end is looked for this often.
constexpr msec REAP_POLL_MS = 100;

bool starts_with(const char *text, const char *prefix)
{
	return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Variables of the service manager's that are the daemon's, not the
// program's, and the ones each run sets itself.
bool kept_from_base(const char *var)
{
	for (const char *name : {"NOTIFY_SOCKET=", "WATCHDOG_USEC=", "WATCHDOG_PID=", "LISTEN_FDS=", "LISTEN_PID=",
	                         "LISTEN_FDNAMES="})
		if (starts_with(var, name))
			return false;
	return !starts_with(var, "KAVRI_");
}

int pidfd_of(pid_t pid)
{
#ifdef SYS_pidfd_open
	return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
	(void)pid;
	errno = ENOSYS;
	return -1;
#endif
}

// The child's part, between fork and exec: only calls that are safe in
// the child of a process with threads. Ends in the program or in _exit.
[[noreturn]] void become_program(const char *path, char *const argv[], char *const envp[], int null_fd,
                                 int out_fd, int err_fd)
{
	// A group of its own, which the daemon kills whole at the deadline.
	setpgid(0, 0);
	struct sigaction dfl = {};
	dfl.sa_handler = SIG_DFL;
	for (int sig = 1; sig < NSIG; sig++)
		sigaction(sig, &dfl, nullptr);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	umask(022);
	dup2(null_fd, 0);
	dup2(out_fd, 1);
	dup2(out_fd, 2);
	// The bound holds also while the daemon is busy in a check that
	// takes longer than it: the alarm outlives the exec.
	alarm(ON_CHANGE_SECONDS);
	execve(path, argv, envp);
	int e = errno;
	ssize_t w = write(err_fd, &e, sizeof e);
	(void)w;
	_exit(127);
}

void start(on_change_runner &r, const on_change_event &e, msec now, unsigned verbosity)
{
	std::vector<std::string> env = on_change_environment(r, e);
	std::vector<char *> envp;
	for (auto &v : env)
		envp.push_back(v.data());
	envp.push_back(nullptr);
	char *argv[] = {r.program.data(), nullptr};

	int out[2], err[2];
	unique_fd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
	if (null_fd.get() < 0 || pipe2(out, O_CLOEXEC) != 0) {
		log_msg(verbosity, LOG_ERR, "Cannot run ON_CHANGE program %s: %s", r.program.c_str(), strerror(errno));
		return;
	}
	unique_fd out_r(out[0]), out_w(out[1]);
	if (pipe2(err, O_CLOEXEC) != 0) {
		log_msg(verbosity, LOG_ERR, "Cannot run ON_CHANGE program %s: %s", r.program.c_str(), strerror(errno));
		return;
	}
	unique_fd err_r(err[0]), err_w(err[1]);

	pid_t pid = fork();
	if (pid < 0) {
		log_msg(verbosity, LOG_ERR, "Cannot run ON_CHANGE program %s: %s", r.program.c_str(), strerror(errno));
		return;
	}
	if (pid == 0)
		become_program(r.program.c_str(), argv, envp.data(), null_fd.get(), out_w.get(), err_w.get());
	// Here too, so that the group exists whichever of the two runs first.
	setpgid(pid, pid);
	out_w.close_now();
	err_w.close_now();

	// The exec's outcome: the end of the pipe when it worked, its errno
	// when it did not; a matter of the exec call only.
	int exec_errno = 0;
	ssize_t n;
	do
		n = read(err_r.get(), &exec_errno, sizeof exec_errno);
	while (n < 0 && errno == EINTR);
	if (n == static_cast<ssize_t>(sizeof exec_errno)) {
		while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
		}
		log_msg(verbosity, LOG_ERR, "Cannot run ON_CHANGE program %s: %s", r.program.c_str(), strerror(exec_errno));
		return;
	}

	fcntl(out_r.get(), F_SETFL, O_NONBLOCK);
	r.pid = pid;
	r.pidfd.reset(pidfd_of(pid));
	r.output = std::move(out_r);
	r.deadline = now + ON_CHANGE_SECONDS * 1000;
	r.killed = false;
	r.line.clear();
	r.line_done = false;
	running_group.store(pid);
}

// Keep the first line of what it wrote; read and drop the rest, so that
// it never blocks on a full pipe.
void take_output(on_change_runner &r)
{
	char buf[512];
	while (r.output.get() >= 0) {
		ssize_t n = read(r.output.get(), buf, sizeof buf);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
				r.output.close_now();
			return;
		}
		for (ssize_t i = 0; i < n && !r.line_done; i++) {
			if (buf[i] == '\n' || r.line.size() >= ON_CHANGE_LINE_MAX)
				r.line_done = true;
			else
				r.line += buf[i];
		}
	}
}

void report_end(const on_change_runner &r, int status, unsigned verbosity)
{
	const char *program = r.program.c_str();
	const char *sep = r.line.empty() ? "" : ": ";
	const char *line = r.line.c_str();
	if (r.killed || (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM))
		log_msg(verbosity, LOG_ERR, "ON_CHANGE %s: killed after %d seconds%s%s", program, ON_CHANGE_SECONDS, sep,
		        line);
	else if (WIFSIGNALED(status))
		log_msg(verbosity, LOG_ERR, "ON_CHANGE %s: ended by signal %d%s%s", program, WTERMSIG(status), sep, line);
	else if (WEXITSTATUS(status) != 0)
		log_msg(verbosity, LOG_ERR, "ON_CHANGE %s: exit status %d%s%s", program, WEXITSTATUS(status), sep, line);
	else
		log_notice("ON_CHANGE %s: exit status 0%s%s", program, sep, line);
}

// True when the program has ended (and is reaped and reported).
bool reap(on_change_runner &r, unsigned verbosity)
{
	int status = 0;
	pid_t got;
	do
		got = waitpid(r.pid, &status, WNOHANG);
	while (got < 0 && errno == EINTR);
	if (got == 0)
		return false;
	take_output(r);
	// What it left behind in its group goes with it after a timeout.
	if (r.killed || (got > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM))
		kill(-r.pid, SIGKILL);
	running_group.store(0);
	if (got > 0)
		report_end(r, status, verbosity);
	r.pid = -1;
	r.pidfd.close_now();
	r.output.close_now();
	return true;
}

}  // namespace

void on_change_init(on_change_runner &r, const char *program, const char *server, const char *interface,
                    char *const *environ_)
{
	r.program = program != nullptr ? program : "";
	r.server = server != nullptr ? server : "";
	r.interface = interface != nullptr ? interface : "";
	r.base.clear();
	for (char *const *v = environ_; v != nullptr && *v != nullptr; v++)
		if (kept_from_base(*v))
			r.base.emplace_back(*v);
}

std::vector<std::string> on_change_environment(const on_change_runner &r, const on_change_event &e)
{
	std::vector<std::string> env = r.base;
	env.push_back(std::string("KAVRI_STATE=") + login_state_name(e.state));
	env.push_back(std::string("KAVRI_PREVIOUS_STATE=") + login_state_name(e.previous));
	env.push_back(std::string("KAVRI_REASON=") + check_reason_name(e.reason));
	env.push_back("KAVRI_SERVER=" + r.server);
	env.push_back("KAVRI_INTERFACE=" + r.interface);
	return env;
}

void on_change_request(on_change_runner &r, const on_change_event &e, msec now, unsigned verbosity)
{
	if (r.program.empty())
		return;
	if (r.pid > 0) {
		if (r.queued) {
			r.next.state = e.state;
			r.next.reason = e.reason;
		} else {
			r.next = e;
			r.queued = true;
		}
		return;
	}
	start(r, e, now, verbosity);
}

int on_change_poll_fds(const on_change_runner &r, struct pollfd *fds)
{
	int n = 0;
	if (r.pid <= 0)
		return 0;
	if (r.pidfd.get() >= 0)
		fds[n++] = {r.pidfd.get(), POLLIN, 0};
	if (r.output.get() >= 0)
		fds[n++] = {r.output.get(), POLLIN, 0};
	return n;
}

void on_change_service(on_change_runner &r, msec now, unsigned verbosity)
{
	if (r.pid <= 0)
		return;
	take_output(r);
	if (!r.killed && now >= r.deadline) {
		kill(-r.pid, SIGKILL);
		r.killed = true;
	}
	// A program killed a moment ago is reaped at its pidfd's next event.
	if (!reap(r, verbosity))
		return;
	if (r.queued) {
		r.queued = false;
		start(r, r.next, now, verbosity);
	}
}

msec on_change_wake_at(const on_change_runner &r, msec now)
{
	if (r.pid <= 0)
		return -1;
	if (r.pidfd.get() < 0)
		return r.killed ? now + REAP_POLL_MS : std::min(r.deadline, now + REAP_POLL_MS);
	// A killed program's pidfd wakes the poll when it is gone.
	return r.killed ? -1 : r.deadline;
}

void on_change_abandon()
{
	pid_t group = running_group.load();
	if (group > 0)
		kill(-group, SIGTERM);
}

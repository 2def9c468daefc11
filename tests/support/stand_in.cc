#include "stand_in.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "base/unique_fd.h"
#include "helpers.h"

namespace {

// The child's part: take the file, say 'y' or 'n' on `ready`, then record
// signals until SIGTERM.
[[noreturn]] void stand_in(const std::string &path, const StandIn::Options &o, int ready)
{
	sigset_t all;
	sigfillset(&all);
	sigprocmask(SIG_BLOCK, &all, nullptr);
	int fd = open(path.c_str(), O_RDWR | O_CREAT | (o.write_pid ? O_TRUNC : 0), 0644);
	struct flock fl = {};
	fl.l_type = F_WRLCK;
	fl.l_whence = SEEK_SET;
	bool ok = fd >= 0 && (!o.write_pid || fchmod(fd, 0644) == 0) && (!o.lock || fcntl(fd, F_SETLK, &fl) == 0);
	std::string text = std::to_string(getpid()) + "\n";
	if (o.write_pid)
		ok = ok && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
	// The lock stays with the process when it changes user.
	if (o.become != 0)
		ok = ok && setgroups(0, nullptr) == 0 && setgid(o.become) == 0 && setuid(o.become) == 0;
	char c = ok ? 'y' : 'n';
	ssize_t w = write(ready, &c, 1);
	(void)w;
	for (;;) {
		int sig = sigwaitinfo(&all, nullptr);
		if (sig < 0)
			continue;
		if (!o.record.empty()) {
			std::string line = std::to_string(sig) + "\n";
			unique_fd r(open(o.record.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644));
			w = write(r.get(), line.data(), line.size());
		}
		if (sig == SIGTERM)
			_exit(0);
	}
}

}  // namespace

StandIn::StandIn(const std::string &path, const Options &o) : record_(o.record)
{
	int ready[2];
	if (pipe2(ready, O_CLOEXEC) != 0)
		return;
	unique_fd ready_read(ready[0]), ready_write(ready[1]);
	pid_t parent = getpid();
	pid_t child = fork();
	if (child < 0)
		return;
	if (child == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (getppid() != parent)
			_exit(1);
		ready_read.close_now();
		stand_in(path, o, ready_write.get());
	}
	pid_ = child;
	ready_write.close_now();
	char c = 'n';
	if (read(ready_read.get(), &c, 1) != 1 || c != 'y')
		stop();
}

StandIn::~StandIn()
{
	stop();
}

void StandIn::stop()
{
	if (pid_ <= 0)
		return;
	kill(pid_, SIGKILL);
	waitpid(pid_, nullptr, 0);
	pid_ = -1;
}

std::vector<int> StandIn::signals() const
{
	std::vector<int> sigs;
	std::string text = record_.empty() ? "" : read_file(record_);
	for (size_t p = 0; p < text.size();) {
		size_t nl = text.find('\n', p);
		if (nl == std::string::npos)
			break;
		sigs.push_back(atoi(text.substr(p, nl - p).c_str()));
		p = nl + 1;
	}
	return sigs;
}

pid_t lock_holder(const std::string &path)
{
	unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
	if (fd.get() < 0)
		return -1;
	struct flock fl = {};
	fl.l_type = F_WRLCK;
	fl.l_whence = SEEK_SET;
	return fcntl(fd.get(), F_GETLK, &fl) == 0 ? (fl.l_type == F_UNLCK ? 0 : fl.l_pid) : -1;
}

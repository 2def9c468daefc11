#include "syslog_sink.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "helpers.h"

namespace {

// Outside /tmp, which some tests replace in a private mount namespace.
const std::string SINK_DIR = "/var/tmp/kavri-test-syslog";

// Is something accepting datagrams on /dev/log?
bool dev_log_listening()
{
	int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (s < 0)
		return false;
	struct sockaddr_un a = {};
	a.sun_family = AF_UNIX;
	strcpy(a.sun_path, "/dev/log");
	bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
	close(s);
	return ok;
}

pid_t sink_pid()
{
	std::string text = read_file(SINK_DIR + "/sink.pid");
	pid_t pid = static_cast<pid_t>(atol(text.c_str()));
	if (pid > 0 && kill(pid, 0) == 0)
		return pid;
	return 0;
}

bool start_sink(std::string *why)
{
	unlink((SINK_DIR + "/sink.pid").c_str());
	std::string exe = std::string(KAVRI_TEST_SYSLOGD);
	// A test that is a child subreaper would adopt the sink and might
	// reap it with its daemons: adopt nothing while the sink detaches.
	int subreaper = 0;
	prctl(PR_GET_CHILD_SUBREAPER, &subreaper);
	if (subreaper)
		prctl(PR_SET_CHILD_SUBREAPER, 0);
	pid_t child = fork();
	if (child == 0) {
		// Detach twice so the sink belongs to no test process.
		setsid();
		if (fork() != 0)
			_exit(0);
		int null = open("/dev/null", O_RDWR);
		dup2(null, 0);
		dup2(null, 1);
		dup2(null, 2);
		execl(exe.c_str(), "kavri-test-syslogd", SINK_DIR.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	if (child > 0)
		waitpid(child, nullptr, 0);
	if (subreaper)
		prctl(PR_SET_CHILD_SUBREAPER, 1);
	if (child < 0) {
		*why = "fork failed";
		return false;
	}
	for (int i = 0; i < 200; i++) {
		if (sink_pid() > 0 && dev_log_listening())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	*why = "the stand-in system log did not start (binding /dev/log needs root)";
	return false;
}

// Where this process's view of the log begins: entries written before it
// started looking may come from an earlier process with the same PID.
long start_offset = -1;

}  // namespace

bool syslog_sink_available(std::string *why)
{
	std::string dummy;
	if (why == nullptr)
		why = &dummy;
	mkdir(SINK_DIR.c_str(), 0755);
	int lock = open((SINK_DIR + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (lock < 0) {
		*why = "cannot open " + SINK_DIR + "/lock";
		return false;
	}
	flock(lock, LOCK_EX);
	bool ok;
	if (sink_pid() > 0 && dev_log_listening()) {
		ok = true;
	} else if (dev_log_listening()) {
		*why = "a real system log owns /dev/log; its entries cannot be captured here";
		ok = false;
	} else {
		struct stat st;
		if (lstat("/dev/log", &st) == 0 && !S_ISSOCK(st.st_mode)) {
			*why = "/dev/log exists and is no socket";
			ok = false;
		} else {
			ok = start_sink(why);
		}
	}
	flock(lock, LOCK_UN);
	close(lock);
	if (ok && start_offset < 0) {
		struct stat st;
		start_offset = stat((SINK_DIR + "/log").c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
	}
	return ok;
}

std::vector<SyslogLine> syslog_lines(pid_t pid)
{
	std::vector<SyslogLine> lines;
	std::string all = read_file(SINK_DIR + "/log");
	size_t pos = 0;
	// A log emptied meanwhile is read from its beginning.
	if (start_offset > 0 && static_cast<size_t>(start_offset) <= all.size())
		pos = static_cast<size_t>(start_offset);
	while (pos < all.size()) {
		size_t colon = all.find(':', pos);
		if (colon == std::string::npos)
			break;
		size_t len = strtoul(all.c_str() + pos, nullptr, 10);
		if (colon + 1 + len > all.size())
			break;  // a record still being written
		std::string rec = all.substr(colon + 1, len);
		pos = colon + 1 + len + 1;

		// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE"
		SyslogLine l{};
		if (rec.empty() || rec[0] != '<')
			continue;
		l.priority = atoi(rec.c_str() + 1);
		size_t open_b = rec.find('[');
		size_t close_b = rec.find("]: ", open_b == std::string::npos ? 0 : open_b);
		if (open_b == std::string::npos || close_b == std::string::npos)
			continue;
		size_t ident_start = rec.rfind(' ', open_b);
		ident_start = ident_start == std::string::npos ? 0 : ident_start + 1;
		l.ident = rec.substr(ident_start, open_b - ident_start);
		l.pid = static_cast<pid_t>(atol(rec.c_str() + open_b + 1));
		l.message = rec.substr(close_b + 3);
		if (l.pid == pid)
			lines.push_back(std::move(l));
	}
	return lines;
}

bool syslog_wait_for(pid_t pid, const std::string &text, int timeout_ms)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	for (;;) {
		for (const auto &l : syslog_lines(pid))
			if (l.message.find(text) != std::string::npos)
				return true;
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
}

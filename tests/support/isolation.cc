#include "isolation.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/unique_fd.h"
#include "syslog_sink.h"

namespace {

// The verdict on what the running test recorded from part `first` on: 1 when
// something failed, 2 when it skipped, else 0. Earlier parts (an earlier
// row's failure) do not count.
int verdict_since(int first)
{
	const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
	if (info == nullptr)
		return testing::Test::HasFailure() ? 1 : testing::Test::IsSkipped() ? 2 : 0;
	const testing::TestResult *result = info->result();
	int code = 0;
	for (int i = first; i < result->total_part_count(); i++) {
		const testing::TestPartResult &part = result->GetTestPartResult(i);
		if (part.failed())
			code = 1;
		else if (part.skipped() && code == 0)
			code = 2;
	}
	return code;
}

int parts_so_far()
{
	const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
	return info == nullptr ? 0 : info->result()->total_part_count();
}

// Die with the process that forked this one (PR_SET_PDEATHSIG), also when
// it died a moment ago.
void die_with_parent(pid_t parent)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() != parent)
		_exit(1);
}

void write_all(int fd, const std::string &text)
{
	for (size_t done = 0; done < text.size();) {
		ssize_t w = write(fd, text.data() + done, text.size() - done);
		if (w <= 0)
			break;
		done += static_cast<size_t>(w);
	}
}

}  // namespace

bool wait_until(const std::function<bool()> &done, int timeout_ms)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	for (;;) {
		if (done())
			return true;
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
}

double seconds_since(std::chrono::steady_clock::time_point t)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

char process_state(pid_t pid)
{
	std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
	size_t close = stat.rfind(')');
	return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

std::vector<pid_t> children_of(pid_t parent)
{
	std::vector<pid_t> kids;
	DIR *d = opendir("/proc");
	if (d == nullptr)
		return kids;
	while (struct dirent *e = readdir(d)) {
		pid_t pid = static_cast<pid_t>(atol(e->d_name));
		if (pid <= 0)
			continue;
		std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
		// "pid (comm) state ppid ...": comm may hold blanks and parens.
		size_t close = stat.rfind(')');
		if (close == std::string::npos || close + 4 >= stat.size())
			continue;
		char state = 0;
		int ppid = 0;
		if (sscanf(stat.c_str() + close + 2, "%c %d", &state, &ppid) == 2 && ppid == parent)
			kids.push_back(pid);
	}
	closedir(d);
	return kids;
}

std::map<pid_t, int> kill_all_children()
{
	std::map<pid_t, int> reaped;
	pid_t sink = syslog_sink_pid();
	for (int round = 0; round < 50; round++) {
		std::vector<pid_t> kids;
		for (pid_t k : children_of(getpid()))
			if (k != sink)
				kids.push_back(k);
		if (kids.empty())
			break;
		for (pid_t k : kids)
			kill(k, SIGKILL);
		for (pid_t k : kids) {
			int st = 0;
			if (waitpid(k, &st, 0) == k)
				reaped[k] = st;
		}
	}
	return reaped;
}

void kill_all_children_checked()
{
	for (const auto &[pid, st] : kill_all_children())
		if (WIFEXITED(st) && WEXITSTATUS(st) == SANITIZER_EXIT)
			ADD_FAILURE() << "process " << pid << " was ended by a sanitizer (exit status " << SANITIZER_EXIT << ")";
}

int reap_within(pid_t pid, int timeout_ms)
{
	int st = -1;
	bool done = wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms);
	return done ? st : -1;
}

std::map<std::string, std::string> sanitizer_env(const std::string &dir)
{
	std::map<std::string, std::string> env;
	mkdir(dir.c_str(), 0755);
	const char *names[] = {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"};
	const char *files[] = {"asan", "tsan", "ubsan"};
	for (int i = 0; i < 3; i++) {
		const char *old = getenv(names[i]);
		std::string v = old != nullptr && *old != '\0' ? std::string(old) + ":" : "";
		env[names[i]] = v + "exitcode=" + std::to_string(SANITIZER_EXIT) + ":log_path=" + dir + "/" + files[i];
	}
	return env;
}

std::string sanitizer_reports(const std::string &dir)
{
	std::string all;
	DIR *d = opendir(dir.c_str());
	if (d == nullptr)
		return all;
	while (struct dirent *e = readdir(d)) {
		if (e->d_name[0] == '.')
			continue;
		all += "== " + std::string(e->d_name) + "\n" + read_file(dir + "/" + e->d_name);
	}
	closedir(d);
	return all;
}

int run_isolated(const std::function<void()> &body, bool own_pids, std::string *why)
{
	// Started here, in the test process, so that every isolated child and
	// all it starts write to the same sink.
	std::string sink_why;
	if (!syslog_sink_available(&sink_why)) {
		*why = "no system log of the test's own: " + sink_why;
		return -1;
	}
	int report[2];
	if (pipe2(report, O_CLOEXEC) != 0) {
		*why = "pipe failed";
		return -1;
	}
	unique_fd report_read(report[0]), report_write(report[1]);
	// The child inherits what the test recorded so far; only its own parts
	// decide, so that a row after a failed one is judged on its own.
	int first_part = parts_so_far();
	pid_t test = getpid();
	fflush(stdout);
	fflush(stderr);
	pid_t outer = fork();
	if (outer < 0) {
		*why = "fork failed";
		return -1;
	}
	if (outer == 0) {
		die_with_parent(test);
		report_read.close_now();
		auto refuse = [&](const std::string &what) {
			write_all(report_write.get(), what + (errno != 0 ? std::string(": ") + strerror(errno) : ""));
			_exit(3);
		};
		if (unshare(CLONE_NEWNS | (own_pids ? CLONE_NEWPID : 0)) != 0)
			refuse("unshare (needs root)");
		if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
			refuse("making / private");
		if (own_pids) {
			// The next child is PID 1 of the new namespace: when it ends,
			// for whatever reason, so does every process in it.
			pid_t inner = fork();
			if (inner < 0)
				refuse("fork");
			if (inner > 0) {
				report_write.close_now();
				int st = 0;
				waitpid(inner, &st, 0);
				_exit(WIFEXITED(st) ? WEXITSTATUS(st) : 1);
			}
			prctl(PR_SET_PDEATHSIG, SIGKILL);
			if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
				refuse("mounting /proc");
		}
		std::string tmp_why;
		if (!mount_private_tmp(&tmp_why)) {
			errno = 0;
			refuse(tmp_why);
		}
		report_write.close_now();
		syslog_restart_view();
		prctl(PR_SET_CHILD_SUBREAPER, 1);
		body();
		kill_all_children_checked();
		int code = verdict_since(first_part);
		fflush(stdout);
		fflush(stderr);
		_exit(code);
	}
	report_write.close_now();
	std::string refused = read_all(report_read.get());
	int st = 0;
	waitpid(outer, &st, 0);
	if (!refused.empty()) {
		*why = "no private namespace: " + refused;
		return -1;
	}
	if (!WIFEXITED(st))
		return 1;
	return WEXITSTATUS(st);
}

void give_to(uid_t uid, const std::vector<std::string> &paths)
{
	for (const auto &p : paths)
		if (lchown(p.c_str(), uid, uid) != 0)
			ADD_FAILURE() << "chown " << p << ": " << strerror(errno);
}

bool run_program_as(uid_t uid, const std::vector<std::string> &args, const RunOptions &o, RunResult *r,
                    std::string *why)
{
	if (uid == 0) {
		*r = run_program(args, o);
		return true;
	}
	int report[2];
	// Close-on-exec: the program and a daemon it starts must not hold the
	// pipe, or the read below would wait for the daemon.
	if (pipe2(report, O_CLOEXEC) != 0) {
		*why = "pipe failed";
		return false;
	}
	unique_fd report_read(report[0]), report_write(report[1]);
	fflush(stdout);
	fflush(stderr);
	pid_t child = fork();
	if (child < 0) {
		*why = "fork failed";
		return false;
	}
	if (child == 0) {
		report_read.close_now();
		gid_t gid = static_cast<gid_t>(uid);
		if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0 || getuid() != uid ||
		    geteuid() != uid || getegid() != gid || getgroups(0, nullptr) != 0 || setuid(0) == 0) {
			write_all(report_write.get(), std::string("!") + strerror(errno));
			_exit(1);
		}
		RunResult res = run_program(args, o);
		write_all(report_write.get(), std::to_string(res.status) + " " + std::to_string(res.signal) + " " +
		                                  std::to_string(res.out.size()) + " " + res.out + res.err);
		_exit(0);
	}
	report_write.close_now();
	std::string text = read_all(report_read.get());
	waitpid(child, nullptr, 0);
	if (text.empty() || text[0] == '!') {
		*why = "cannot run as uid " + std::to_string(uid) + ": " + (text.empty() ? "no report" : text.substr(1));
		return false;
	}
	int status = 0, sig = 0;
	size_t out_len = 0;
	int used = 0;
	// One blank ends the header: the output itself may begin with blanks.
	if (sscanf(text.c_str(), "%d %d %zu%n", &status, &sig, &out_len, &used) != 3 ||
	    static_cast<size_t>(used) + 1 + out_len > text.size()) {
		*why = "garbled report from the child";
		return false;
	}
	size_t at = static_cast<size_t>(used) + 1;
	r->status = status;
	r->signal = sig;
	r->out = text.substr(at, out_len);
	r->err = text.substr(at + out_len);
	return true;
}

bool mount_own_network_state()
{
	if (mount("kavri-test-run", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0 ||
	    mount("kavri-test-var-lib", "/var/lib", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0)
		return false;
	for (const char *d : {"/run/systemd", "/run/systemd/netif", "/run/systemd/netif/links", "/var/lib/dhcp",
	                      "/var/lib/dhcpcd", "/var/lib/NetworkManager"})
		if (mkdir(d, 0755) != 0)
			return false;
	return true;
}

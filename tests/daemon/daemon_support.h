// Helpers for tests that start daemons or touch the fixed PID file paths:
// isolation in private namespaces, finding and killing every process a
// test left behind, and the sanitizers' reports of spawned processes.
// Header only: shared by the daemon and the run-mode tests.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "helpers.h"

// The unprivileged user that cases run as when root must not be the one
// acting, and a user with no account: the other user who plants files.
constexpr uid_t NOBODY = 65534;
constexpr uid_t STRANGER = 54321;

// Poll `done` every 20 ms until it holds or `timeout_ms` has passed.
inline bool wait_until(const std::function<bool()> &done, int timeout_ms)
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

inline double seconds_since(std::chrono::steady_clock::time_point t)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The state letter of a process ('R', 'S', 'Z', ...), or 0 when gone.
inline char process_state(pid_t pid)
{
	std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
	size_t close = stat.rfind(')');
	return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

// The processes whose parent is `parent`, ended ones not yet reaped
// included, from /proc.
inline std::vector<pid_t> children_of(pid_t parent)
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

// The exit status of a sanitized process that a sanitizer stopped. Some
// reports ignore log_path (UBSan's next to ASan, built by GCC) and go to a
// daemon's /dev/null; this status still shows them.
constexpr int SANITIZER_EXIT = 86;

// Kill and reap every child of this process; detached daemons are among
// them while this process is a child subreaper. The exit statuses of the
// reaped processes, by PID.
inline std::map<pid_t, int> kill_all_children()
{
	std::map<pid_t, int> reaped;
	for (int round = 0; round < 50; round++) {
		std::vector<pid_t> kids = children_of(getpid());
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

// kill_all_children, failing the test for each process that a sanitizer
// had ended.
inline void kill_all_children_checked()
{
	for (const auto &[pid, st] : kill_all_children())
		if (WIFEXITED(st) && WEXITSTATUS(st) == SANITIZER_EXIT)
			ADD_FAILURE() << "process " << pid << " was ended by a sanitizer (exit status " << SANITIZER_EXIT << ")";
}

// Reap a child that has ended (a daemon that was told to quit): its wait
// status, or -1 when it is still running after `timeout_ms`.
inline int reap_within(pid_t pid, int timeout_ms)
{
	int st = -1;
	bool done = wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms);
	return done ? st : -1;
}

// Environment for a spawned process: each sanitizer writes its report
// into `dir` instead of standard error, which a daemon has closed, and
// ends the process with SANITIZER_EXIT.
inline std::map<std::string, std::string> sanitizer_env(const std::string &dir)
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

// The text of every sanitizer report written into `dir`.
inline std::string sanitizer_reports(const std::string &dir)
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

// The verdict on what the running test recorded from part `first` on: 1 when
// something failed, 2 when it skipped, else 0. Earlier parts (an earlier
// row's failure) do not count.
inline int verdict_since(int first)
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

inline int parts_so_far()
{
	const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
	return info == nullptr ? 0 : info->result()->total_part_count();
}

// Run `body` in a child process that has a mount namespace of its own, with
// "/" made private and a fresh tmpfs on /tmp, so that the fixed fallback
// /tmp/kavri.pid is never the machine's. With `own_pids` the child is also
// the first process of a new PID namespace: a signal sent to a wrong PID
// cannot leave it, and every process left in it dies with it. The child is
// a subreaper and kills whatever it started before it ends. Returns 0 when
// the body passed, 1 when it failed (its messages are printed by the
// child), 2 when it skipped, -1 when no such child could be made (`why`).
inline int run_isolated(const std::function<void()> &body, bool own_pids, std::string *why)
{
	int report[2];
	if (pipe2(report, O_CLOEXEC) != 0) {
		*why = "pipe failed";
		return -1;
	}
	// The child inherits what the test recorded so far; only its own parts
	// decide, so that a row after a failed one is judged on its own.
	int first_part = parts_so_far();
	fflush(stdout);
	fflush(stderr);
	pid_t outer = fork();
	if (outer < 0) {
		*why = "fork failed";
		return -1;
	}
	if (outer == 0) {
		close(report[0]);
		auto refuse = [&](const char *what) {
			std::string text = std::string(what) + ": " + strerror(errno);
			ssize_t w = write(report[1], text.data(), text.size());
			(void)w;
			_exit(3);
		};
		if (unshare(CLONE_NEWNS | (own_pids ? CLONE_NEWPID : 0)) != 0)
			refuse("unshare (needs root)");
		if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
			refuse("making / private");
		pid_t inner = 0;
		if (own_pids) {
			// The next child is PID 1 of the new namespace.
			inner = fork();
			if (inner < 0)
				refuse("fork");
			if (inner > 0) {
				close(report[1]);
				int st = 0;
				waitpid(inner, &st, 0);
				_exit(WIFEXITED(st) ? WEXITSTATUS(st) : 1);
			}
			if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
				refuse("mounting /proc");
		}
		std::string tmp_why;
		if (!mount_private_tmp(&tmp_why)) {
			errno = 0;
			refuse(tmp_why.c_str());
		}
		close(report[1]);
		prctl(PR_SET_CHILD_SUBREAPER, 1);
		body();
		kill_all_children_checked();
		int code = verdict_since(first_part);
		fflush(stdout);
		fflush(stderr);
		_exit(code);
	}
	close(report[1]);
	std::string refused;
	char buf[256];
	ssize_t n;
	while ((n = read(report[0], buf, sizeof buf)) > 0)
		refused.append(buf, static_cast<size_t>(n));
	close(report[0]);
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

// Run the statements in an isolated child (see run_isolated); skips where
// that cannot be done, fails under CI.
#define RUN_ISOLATED(own_pids, ...)                                                   \
	do {                                                                              \
		std::string why_;                                                             \
		int result_ = run_isolated(__VA_ARGS__, own_pids, &why_);                     \
		if (result_ < 0)                                                              \
			SKIP_OR_FAIL(why_);                                                       \
		if (result_ == 2)                                                             \
			GTEST_SKIP() << "skipped in the isolated child";                          \
		EXPECT_EQ(result_, 0) << "the isolated part failed: see its messages above"; \
	} while (0)

// Hand files to `uid` (and the group of the same number), so that a
// process running as that user can use them.
inline void give_to(uid_t uid, const std::vector<std::string> &paths)
{
	for (const auto &p : paths)
		if (lchown(p.c_str(), uid, uid) != 0)
			ADD_FAILURE() << "chown " << p << ": " << strerror(errno);
}

// run_program as `uid`: a forked child drops every group and root itself
// (setgroups, setgid, setuid, then checks that root cannot be taken back)
// and runs the program; its result comes back through a pipe. 0 runs it
// as it is. False, with `why`, when the child could not drop root.
inline bool run_program_as(uid_t uid, const std::vector<std::string> &args, const RunOptions &o, RunResult *r,
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
	fflush(stdout);
	fflush(stderr);
	pid_t child = fork();
	if (child < 0) {
		*why = "fork failed";
		close(report[0]);
		close(report[1]);
		return false;
	}
	if (child == 0) {
		close(report[0]);
		auto send = [&](const std::string &text) {
			for (size_t done = 0; done < text.size();) {
				ssize_t w = write(report[1], text.data() + done, text.size() - done);
				if (w <= 0)
					break;
				done += static_cast<size_t>(w);
			}
		};
		gid_t gid = static_cast<gid_t>(uid);
		if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0 || getuid() != uid ||
		    geteuid() != uid || getegid() != gid || getgroups(0, nullptr) != 0 || setuid(0) == 0) {
			send("!" + std::string(strerror(errno)));
			_exit(1);
		}
		RunResult res = run_program(args, o);
		send(std::to_string(res.status) + " " + std::to_string(res.signal) + " " + std::to_string(res.out.size()) +
		     " " + res.out + res.err);
		_exit(0);
	}
	close(report[1]);
	std::string text;
	char buf[4096];
	ssize_t n;
	while ((n = read(report[0], buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	close(report[0]);
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

// Who holds a write lock on the file, as this process sees it (a process
// never sees its own locks): the PID, 0 for none, -1 when it cannot tell.
inline pid_t lock_holder(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	struct flock fl = {};
	fl.l_type = F_WRLCK;
	fl.l_whence = SEEK_SET;
	pid_t holder = fcntl(fd, F_GETLK, &fl) == 0 ? (fl.l_type == F_UNLCK ? 0 : fl.l_pid) : -1;
	close(fd);
	return holder;
}

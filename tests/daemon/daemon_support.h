// Helpers for tests that start daemons or touch the fixed PID file paths:
// isolation in private namespaces, finding and killing every process a
// test left behind, and the sanitizers' reports of spawned processes.
// Header only: shared by the daemon and the run-mode tests.
#pragma once

#include <dirent.h>
#include <fcntl.h>
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
		if (mount("kavri-test-tmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
			refuse("mounting a tmpfs on /tmp");
		close(report[1]);
		prctl(PR_SET_CHILD_SUBREAPER, 1);
		body();
		kill_all_children_checked();
		int code = testing::Test::HasFailure() ? 1 : testing::Test::IsSkipped() ? 2 : 0;
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

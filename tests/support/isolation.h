// Isolation for tests that start daemons or touch the fixed PID file
// paths: a child in private namespaces that leaves nothing behind, finding
// and killing the processes a test started, running kavri as another user,
// and the sanitizers' reports of spawned processes.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "helpers.h"

// The unprivileged user that cases run as when root must not be the one
// acting, and a user with no account: the other user who plants files.
constexpr uid_t NOBODY = 65534;
constexpr uid_t STRANGER = 54321;

// Poll `done` every 20 ms until it holds or `timeout_ms` has passed.
bool wait_until(const std::function<bool()> &done, int timeout_ms);

double seconds_since(std::chrono::steady_clock::time_point t);

// The state letter of a process ('R', 'S', 'Z', ...), or 0 when gone.
char process_state(pid_t pid);

// The processes whose parent is `parent`, ended ones not yet reaped
// included, from /proc.
std::vector<pid_t> children_of(pid_t parent);

// The exit status of a sanitized process that a sanitizer stopped. Some
// reports ignore log_path (UBSan's next to ASan, built by GCC) and go to a
// daemon's /dev/null; this status still shows them.
constexpr int SANITIZER_EXIT = 86;

// Kill and reap every child of this process but the system log's sink;
// detached daemons are among them while this process is a child
// subreaper. The wait statuses of the reaped processes, by PID.
std::map<pid_t, int> kill_all_children();

// kill_all_children, failing the test for each process that a sanitizer
// had ended.
void kill_all_children_checked();

// Reap a child that has ended (a daemon that was told to quit): its wait
// status, or -1 when it is still running after `timeout_ms`.
int reap_within(pid_t pid, int timeout_ms);

// Environment for a spawned process: each sanitizer writes its report
// into `dir` instead of standard error, which a daemon has closed, and
// ends the process with SANITIZER_EXIT.
std::map<std::string, std::string> sanitizer_env(const std::string &dir);

// The text of every sanitizer report written into `dir`.
std::string sanitizer_reports(const std::string &dir);

// Run `body` in a child process that has a mount namespace of its own, with
// "/" made private, a fresh tmpfs on /tmp (so that the fixed fallback
// /tmp/kavri.pid is never the machine's) and the test's own /dev/log (see
// syslog_sink.h; its view of the log begins with the child). With
// `own_pids` the child is also the first process of a new PID namespace: a
// signal sent to a wrong PID cannot leave it, and every process left in it
// dies with it, also when the test process itself is killed. The child is
// a subreaper and kills whatever it started before it ends. Returns 0 when
// the body passed, 1 when it failed (its messages are printed by the
// child), 2 when it skipped, -1 when no such child could be made (`why`).
int run_isolated(const std::function<void()> &body, bool own_pids, std::string *why);

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

// In a child of run_isolated: empty file systems over /run and /var/lib,
// with the directories where networkd, dhcpcd, dhclient and
// NetworkManager keep their state made in them, so that those files are
// the test's own. False, with errno, on failure.
bool mount_own_network_state();

// Hand files to `uid` (and the group of the same number), so that a
// process running as that user can use them.
void give_to(uid_t uid, const std::vector<std::string> &paths);

// run_program as `uid`: a forked child drops every group and root itself
// (setgroups, setgid, setuid, then checks that root cannot be taken back)
// and runs the program; its result comes back through a pipe. 0 runs it
// as it is. False, with `why`, when the child could not drop root.
bool run_program_as(uid_t uid, const std::vector<std::string> &args, const RunOptions &o, RunResult *r,
                    std::string *why);

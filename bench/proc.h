// What the benchmarks read of a running process from /proc, and small
// helpers to run a program and sum up timings.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A file's whole text, or "" when it cannot be read.
std::string slurp(const std::string &path);

struct memory {
	long rss;  // resident, KiB
	long pss;  // proportional share: shared pages divided among their users, KiB
};
memory memory_of(pid_t pid);

// Context switches of every thread of the process.
long switches(pid_t pid);

// User plus system CPU time in clock ticks.
long cpu_ticks(pid_t pid);

// Run `binary` with `args` and wait: its exit status, or -1.
int run(const std::string &binary, const std::vector<std::string> &args);

// `kavri -c CONF -l`, then the daemon's PID once PID_FILE names it (within
// 5 seconds), or 0.
pid_t start_daemon(const std::string &kavri, const std::string &conf, const std::string &pid_file);

double ms_since(std::chrono::steady_clock::time_point t);
double median(std::vector<double> v);

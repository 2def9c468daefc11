// Shared test helpers: temporary directories, files, and running the
// built binary with its streams and exit status captured.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// A directory under /tmp removed with everything in it at scope end.
class TempDir {
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }
	std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
	std::string path_;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
// Everything `fd` gives from where it stands until its end.
std::string read_all(int fd);

// A loopback port where nothing listens: bound, then let go.
int closed_port();

struct RunResult {
	std::string out;
	std::string err;
	int status = -1;  // exit status, or -1 when killed by a signal
	int signal = 0;   // the signal that ended it, if any
};

struct RunOptions {
	std::string argv0;                         // default: the binary's path
	std::map<std::string, std::string> env;    // set (added to a clean base)
	std::vector<std::string> unset_env;        // removed from the base
	std::string cwd;                           // default: unchanged
	std::string stdin_data;                    // fed to standard input
	int timeout_seconds = 30;                  // killed after this
	// Run in a mount namespace of its own with an empty /tmp (needs root);
	// exit status 125 with a line on stderr when that cannot be had.
	bool private_tmp = false;
};

// Run `binary` (default: the built kavri) with `args`; wait for it. From
// process 1 of a PID namespace it runs as the child of a child that waits
// for it, as a shell runs a command: kavri takes a parent that is process 1
// for init.
RunResult run_program(const std::vector<std::string> &args, const RunOptions &o = {},
                      const std::string &binary = KAVRI_BINARY);

// In a mount namespace of the caller's own (already unshared and made
// private), mount an empty tmpfs on /tmp, keeping the build and source
// trees visible where they lie under /tmp. False, with `why`, on failure.
bool mount_private_tmp(std::string *why);

// A configuration text that always points SERV at loopback.
std::string loopback_config(int port, const std::string &extra = "");

// True where the CI environment variable is set: skips become failures.
bool in_ci();

// Skip on a developer's machine, fail under CI.
#define SKIP_OR_FAIL(why)                                   \
	do {                                                    \
		if (in_ci())                                        \
			FAIL() << "cannot run under CI: " << (why);      \
		else                                                \
			GTEST_SKIP() << (why);                          \
	} while (0)

// Console lines with their prefix shortened: "<ctime> TAG kavri[pid]: text"
// becomes "TAG: text", so expectations need not know time or PID.
std::string strip_prefixes(const std::string &console);

// Whether `t` has the shape of a ctime text without its line end.
bool looks_like_ctime(const std::string &t);

// A run that inherits more descriptors than select() can watch: every
// number up to 1,102 is taken, so each descriptor the program opens itself
// (its configuration file, its socket) lies above FD_SETSIZE.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client_support.h"
#include "fake_server.h"
#include "helpers.h"

using namespace client_test;

namespace {

constexpr int EXTRA_FDS = 1100;
constexpr int LAST_FD = 2 + EXTRA_FDS;  // 0 to 2 are the standard streams
static_assert(LAST_FD >= FD_SETSIZE, "must reach past what select can hold");

struct Spawned {
	int status = -1;  // exit status, -1 when a signal ended it
	int signal = 0;
	std::string out, err;
};

// Run `argv` with descriptors 3 to LAST_FD all open (on /dev/null) and
// inherited, standard output and error into files. Killed after 30 s.
Spawned spawn_with_descriptors(const std::vector<std::string> &args)
{
	TempDir dir;
	std::string out_path = dir.file("out"), err_path = dir.file("err");
	std::vector<char *> argv;
	std::vector<std::string> copy = args;
	for (auto &a : copy)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	Spawned r;
	pid_t pid = fork();
	if (pid == 0) {
		// Only calls that are safe after fork in a threaded process.
		struct rlimit lim;
		if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
			_exit(120);
		if (lim.rlim_cur < static_cast<rlim_t>(LAST_FD + 64)) {
			if (lim.rlim_max < static_cast<rlim_t>(LAST_FD + 64))
				_exit(121);
			lim.rlim_cur = static_cast<rlim_t>(LAST_FD + 64);
			if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
				_exit(121);
		}
		int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		if (out < 0 || err < 0 || dup2(out, 1) != 1 || dup2(err, 2) != 2)
			_exit(122);
		int null = open("/dev/null", O_RDWR);  // inherited: no O_CLOEXEC
		if (null < 0)
			_exit(122);
		// dup2 leaves the new descriptor without FD_CLOEXEC, so every
		// number in the range is open after exec, whatever was there.
		for (int fd = 3; fd <= LAST_FD; fd++)
			if (fd != null && dup2(null, fd) != fd)
				_exit(122);
		if (null > LAST_FD)
			close(null);
		execv(argv[0], argv.data());
		_exit(127);
	}
	if (pid < 0)
		return r;
	int st = 0;
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
	while (waitpid(pid, &st, WNOHANG) == 0) {
		if (std::chrono::steady_clock::now() > deadline) {
			kill(pid, SIGKILL);
			waitpid(pid, &st, 0);
			break;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	if (WIFEXITED(st))
		r.status = WEXITSTATUS(st);
	else if (WIFSIGNALED(st))
		r.signal = WTERMSIG(st);
	r.out = read_file(out_path);
	r.err = read_file(err_path);
	return r;
}

TEST(ManyDescriptors, StatusRunWithEveryLowNumberTakenFindsTheMarker)
{
	// The spawn itself: a program started this way sees them all.
	Spawned ls = spawn_with_descriptors({"/bin/ls", "/proc/self/fd"});
	if (ls.status == 121)
		SKIP_OR_FAIL("the descriptor limit cannot be raised past " + std::to_string(LAST_FD));
	ASSERT_EQ(ls.status, 0) << ls.err;
	size_t listed = 0;
	for (char c : ls.out)
		listed += c == '\n';
	EXPECT_GE(listed, static_cast<size_t>(LAST_FD + 1)) << "descriptors not inherited";

	FakeServer server;
	ASSERT_TRUE(server.listening());
	server.set_logged_in(true);
	TempDir dir;
	write_file(dir.file("kavri.conf"), loopback_config(server.port(), "PID_FILE = " + dir.file("kavri.pid") + "\n"));

	Spawned r = spawn_with_descriptors({KAVRI_BINARY, "-c", dir.file("kavri.conf"), "-s", "-v"});
	ASSERT_EQ(r.signal, 0) << r.err;
	EXPECT_EQ(r.status, 255) << r.err;  // no daemon runs
	EXPECT_EQ(strip_prefixes(r.err), "");
	EXPECT_NE(strip_prefixes(r.out).find("INF: Current status: CONNECTED\n"), std::string::npos) << r.out;
	EXPECT_EQ(server.count(Page::status), 1u);
}

}  // namespace

#include "netlab.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace {

// The descriptor of a new network namespace, made on a thread of its own
// so that this process stays where it is. -1 with errno on failure.
int new_namespace()
{
	int fd = -1, err = 0;
	std::thread t([&] {
		if (unshare(CLONE_NEWNET) != 0) {
			err = errno;
			return;
		}
		fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
		err = errno;
	});
	t.join();
	errno = err;
	return fd;
}

}  // namespace

bool enter_private_network(std::string *why)
{
	if (unshare(CLONE_NEWNET) != 0) {
		*why = std::string("unshare(CLONE_NEWNET) (needs root): ") + strerror(errno);
		return false;
	}
	return run_ip({"link", "set", "lo", "up"}, why);
}

bool run_ip(const std::vector<std::string> &args, std::string *why, int netns_fd)
{
	// Made before the fork: the child of a threaded process only execs.
	std::vector<char *> argv;
	argv.push_back(const_cast<char *>("ip"));
	for (const auto &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	int out[2];
	if (pipe2(out, O_CLOEXEC) != 0)
		return false;
	pid_t child = fork();
	if (child == 0) {
		dup2(out[1], 1);
		dup2(out[1], 2);
		if (netns_fd >= 0 && setns(netns_fd, CLONE_NEWNET) != 0)
			_exit(126);
		execvp("ip", argv.data());
		_exit(127);
	}
	close(out[1]);
	std::string text;
	char buf[512];
	ssize_t n;
	while ((n = read(out[0], buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	close(out[0]);
	int st = 0;
	if (child < 0 || waitpid(child, &st, 0) != child || !WIFEXITED(st) || WEXITSTATUS(st) != 0) {
		if (why != nullptr) {
			*why = "ip";
			for (const auto &a : args)
				*why += " " + a;
			*why += ": " + text;
		}
		return false;
	}
	return true;
}

FarSide::FarSide(const std::string &near_if, const std::string &far_if)
{
	ns_ = new_namespace();
	if (ns_ < 0) {
		error_ = std::string("cannot make a network namespace: ") + strerror(errno);
		return;
	}
	std::string far_ns = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(ns_);
	if (!run_ip({"link", "add", near_if, "type", "veth", "peer", "name", far_if, "netns", far_ns}, &error_))
		return;
	if (ip({"link", "set", "lo", "up"}))
		ip({"link", "set", far_if, "up"});
}

FarSide::~FarSide()
{
	if (ns_ >= 0)
		close(ns_);
}

bool FarSide::ip(const std::vector<std::string> &args)
{
	std::string why;
	if (run_ip(args, &why, ns_))
		return true;
	if (error_.empty())
		error_ = why;
	return false;
}

std::unique_ptr<FakeServer> FarSide::server(const std::string &address, FakeServerOptions o)
{
	o.address = address;
	std::unique_ptr<FakeServer> s;
	// The listening socket belongs to the namespace of the thread that
	// made it, wherever it is used from.
	std::thread t([&] {
		if (setns(ns_, CLONE_NEWNET) == 0)
			s = std::make_unique<FakeServer>(o);
	});
	t.join();
	if (s != nullptr && !s->listening())
		s.reset();
	return s;
}

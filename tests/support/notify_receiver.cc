#include "notify_receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "isolation.h"

NotifyReceiver::NotifyReceiver(const std::string &name) : name_(name)
{
	struct sockaddr_un a = {};
	a.sun_family = AF_UNIX;
	if (name.size() >= sizeof a.sun_path)
		return;
	memcpy(a.sun_path, name.data(), name.size());
	if (name[0] == '@')
		a.sun_path[0] = '\0';
	socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
	unique_fd s(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
	int on = 1;
	if (s.get() < 0 || setsockopt(s.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
	    bind(s.get(), reinterpret_cast<struct sockaddr *>(&a), len) != 0)
		return;
	int p[2];
	if (pipe2(p, O_CLOEXEC) != 0)
		return;
	stop_read_.reset(p[0]);
	stop_write_.reset(p[1]);
	sock_ = std::move(s);
	thread_ = std::thread([this] { receive(); });
}

NotifyReceiver::~NotifyReceiver()
{
	if (thread_.joinable()) {
		ssize_t w = write(stop_write_.get(), "x", 1);
		(void)w;
		thread_.join();
	}
	if (!name_.empty() && name_[0] == '/')
		unlink(name_.c_str());
}

void NotifyReceiver::receive()
{
	for (;;) {
		struct pollfd fds[2] = {{sock_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
		if (poll(fds, 2, -1) < 0)
			continue;
		if (fds[1].revents != 0)
			return;
		char buf[4096];
		union {
			struct cmsghdr h;
			char space[CMSG_SPACE(sizeof(struct ucred))];
		} control;
		struct iovec iov = {buf, sizeof buf};
		struct msghdr m = {};
		m.msg_iov = &iov;
		m.msg_iovlen = 1;
		m.msg_control = &control;
		m.msg_controllen = sizeof control;
		ssize_t n = recvmsg(sock_.get(), &m, MSG_DONTWAIT);
		if (n < 0)
			continue;
		pid_t sender = 0;
		for (struct cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
			if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
				struct ucred cred;
				memcpy(&cred, CMSG_DATA(c), sizeof cred);
				sender = cred.pid;
			}
		std::lock_guard<std::mutex> hold(mu_);
		got_.push_back({std::string(buf, static_cast<size_t>(n)), sender, std::chrono::steady_clock::now()});
	}
}

std::vector<NotifyMessage> NotifyReceiver::messages() const
{
	std::lock_guard<std::mutex> hold(mu_);
	return got_;
}

std::vector<std::string> NotifyReceiver::texts() const
{
	std::vector<std::string> out;
	for (const auto &m : messages())
		if (m.text != "WATCHDOG=1")
			out.push_back(m.text);
	return out;
}

size_t NotifyReceiver::count(const std::string &text) const
{
	size_t n = 0;
	for (const auto &m : messages())
		n += m.text == text;
	return n;
}

bool NotifyReceiver::wait_for_texts(size_t n, int timeout_ms) const
{
	return wait_until([&] { return texts().size() >= n; }, timeout_ms);
}

#include "net/resolve.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace {

// One lookup, shared by the caller and the thread that runs it: whichever
// lets go of it last frees it, and the result with it unless the caller
// took it. The thread touches nothing else, so a caller that has given up
// and returned leaves it nothing freed to reach.
struct lookup {
	std::string server, service;
	std::mutex m;
	std::condition_variable ended_cv;
	bool ended = false;
	int code = 0, err = 0;
	struct addrinfo *result = nullptr;

	~lookup()
	{
		if (result != nullptr)
			freeaddrinfo(result);
	}
};

void *run_lookup(void *arg)
{
	std::unique_ptr<std::shared_ptr<lookup>> hold(static_cast<std::shared_ptr<lookup> *>(arg));
	lookup &l = **hold;
	struct addrinfo hints = {};
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_NUMERICSERV;
	struct addrinfo *res = nullptr;
	int code = getaddrinfo(l.server.c_str(), l.service.c_str(), &hints, &res);
	int err = errno;
	{
		std::lock_guard<std::mutex> g(l.m);
		l.code = code;
		l.err = err;
		l.result = res;
		l.ended = true;
	}
	l.ended_cv.notify_one();
	return nullptr;
}

// Start the lookup on a detached thread that takes no signals: they stay
// the main thread's, whose waits they must interrupt. 0, or an errno.
int start_lookup(const std::shared_ptr<lookup> &l)
{
	auto *arg = new std::shared_ptr<lookup>(l);
	sigset_t all, old;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &old);
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
	pthread_t thread;
	int r = pthread_create(&thread, &attr, run_lookup, arg);
	pthread_attr_destroy(&attr);
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
	if (r != 0)
		delete arg;
	return r;
}

}  // namespace

address_list::~address_list()
{
	if (first != nullptr)
		freeaddrinfo(first);
}

int resolve_by(const char *server, uint16_t port, wait_clock::time_point deadline, address_list *out, int *err)
{
	char service[8];
	snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
	struct addrinfo hints = {};
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
	int r = getaddrinfo(server, service, &hints, &out->first);
	*err = errno;
	if (r != EAI_NONAME)
		return r;

	auto l = std::make_shared<lookup>();
	l->server = server;
	l->service = service;
	if (int e = start_lookup(l); e != 0) {
		*err = e;
		return EAI_SYSTEM;
	}
	std::unique_lock<std::mutex> g(l->m);
	if (!l->ended_cv.wait_until(g, deadline, [&] { return l->ended; })) {
		*err = ETIMEDOUT;
		return EAI_AGAIN;
	}
	out->first = l->result;
	l->result = nullptr;
	*err = l->err;
	return l->code;
}

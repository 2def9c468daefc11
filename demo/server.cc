// kavri-demo-server: the bundled login server on 127.0.0.1, for trying
// kavri out before pointing it at a real portal.
//   kavri-demo-server [--port N] [--port-file FILE] [--count-file FILE]
//                     [--refuse-logins] [--form]
// Runs until SIGTERM or SIGINT. SIGUSR1 makes it forget the login, as a
// portal does when a session times out: the status page shows the login
// form again until the next login. With --count-file it keeps FILE holding
// the number of requests of each kind taken so far ("status N", "login N",
// "logout N", "other N", one a line), rewritten four times a second and
// at the end: a soak counts a daemon's passes there. With --refuse-logins
// every login is answered with the form again, so a keep-alive daemon
// logs in anew on each pass. With --form it is a portal whose login takes
// two forms, as kavri's LOGIN_FORM reads them: the status page redirects
// to a page of this visit that sets a cookie and holds a form with a
// per-visit token; its reply asks for the user name and password ("demo",
// "demo password"); each step wants the cookie and a fresh token.

#include "fake_server.h"
#include "form_portal.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

void usage(const char *prog)
{
	std::fprintf(stderr, "usage: %s [--port N] [--port-file FILE] [--count-file FILE] [--refuse-logins] [--form]\n", prog);
}

bool parse_port(const char *s, int *out)
{
	char *end = nullptr;
	errno = 0;
	long v = std::strtol(s, &end, 10);
	if (errno != 0 || end == s || *end != '\0' || v < 0 || v > 65535)
		return false;
	*out = static_cast<int>(v);
	return true;
}

// Written beside and renamed into place, so a reader never sees half of it.
bool replace_file(const std::string &path, const std::string &text)
{
	std::string tmp = path + ".tmp";
	FILE *f = std::fopen(tmp.c_str(), "w");
	if (f == nullptr)
		return false;
	bool ok = std::fputs(text.c_str(), f) >= 0;
	ok = std::fclose(f) == 0 && ok;
	return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool write_counts(const std::string &path, const FakeServer &server)
{
	return replace_file(path, "status " + std::to_string(server.count(Page::status)) + "\nlogin " +
	                              std::to_string(server.count(Page::login)) + "\nlogout " +
	                              std::to_string(server.count(Page::logout)) + "\nother " +
	                              std::to_string(server.count(Page::other)) + "\n");
}

// The --form portal, until SIGTERM or SIGINT; SIGUSR1 drops the login.
int serve_form(int port, const std::string &port_file, const sigset_t &taken)
{
	FormPortalOptions o;
	o.port = port;
	o.credentials = true;
	FormPortal portal(o);
	if (!portal.listening()) {
		std::fprintf(stderr, "kavri-demo-server: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
		return 1;
	}
	if (!port_file.empty() && !replace_file(port_file, std::to_string(portal.port()) + "\n")) {
		std::fprintf(stderr, "kavri-demo-server: cannot write %s: %s\n", port_file.c_str(), std::strerror(errno));
		return 1;
	}
	std::printf("kavri-demo-server listening on 127.0.0.1:%d (a portal with a two-step login form)\n",
	            portal.port());
	std::fflush(stdout);
	for (;;) {
		int sig = sigwaitinfo(&taken, nullptr);
		if (sig == SIGUSR1) {
			portal.set_logged_in(false);
			std::printf("kavri-demo-server: session dropped (SIGUSR1)\n");
			std::fflush(stdout);
		}
		if (sig == SIGTERM || sig == SIGINT)
			return 0;
	}
}

}  // namespace

int main(int argc, char **argv)
{
	FakeServerOptions opts;
	std::string port_file;
	std::string count_file;
	bool refuse_logins = false;
	bool form = false;
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if (a == "--port" && i + 1 < argc) {
			if (!parse_port(argv[++i], &opts.port)) {
				std::fprintf(stderr, "%s: bad port: %s\n", argv[0], argv[i]);
				return 2;
			}
		} else if (a == "--port-file" && i + 1 < argc) {
			port_file = argv[++i];
		} else if (a == "--count-file" && i + 1 < argc) {
			count_file = argv[++i];
		} else if (a == "--refuse-logins") {
			refuse_logins = true;
		} else if (a == "--form") {
			form = true;
		} else {
			usage(argv[0]);
			return 2;
		}
	}

	// Blocked before the server's threads start, so they inherit the mask
	// and the waits below are the only takers.
	sigset_t taken;
	sigemptyset(&taken);
	sigaddset(&taken, SIGTERM);
	sigaddset(&taken, SIGINT);
	sigaddset(&taken, SIGUSR1);
	pthread_sigmask(SIG_BLOCK, &taken, nullptr);

	if (form)
		return serve_form(opts.port, port_file, taken);

	FakeServer server(opts);
	if (!server.listening()) {
		std::fprintf(stderr, "%s: cannot listen on 127.0.0.1:%d: %s\n", argv[0], opts.port, std::strerror(errno));
		return 1;
	}
	if (refuse_logins)
		server.set_accept_login(false);
	if (!port_file.empty() && !replace_file(port_file, std::to_string(server.port()) + "\n")) {
		std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], port_file.c_str(), std::strerror(errno));
		return 1;
	}
	std::printf("kavri-demo-server listening on 127.0.0.1:%d\n", server.port());
	std::fflush(stdout);

	// Without a count file the wait has no end but a signal.
	const struct timespec quarter = {0, 250 * 1000 * 1000};
	for (;;) {
		int sig = count_file.empty() ? sigwaitinfo(&taken, nullptr) : sigtimedwait(&taken, nullptr, &quarter);
		if (sig == SIGUSR1) {
			server.set_logged_in(false);
			std::printf("kavri-demo-server: session dropped (SIGUSR1)\n");
			std::fflush(stdout);
		}
		if (!count_file.empty() && !write_counts(count_file, server)) {
			std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], count_file.c_str(), std::strerror(errno));
			return 1;
		}
		if (sig == SIGTERM || sig == SIGINT)
			return 0;
	}
}

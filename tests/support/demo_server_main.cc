// kavri-demo-server: the bundled login server on 127.0.0.1, for trying
// kavri out before pointing it at a real portal.
//   kavri-demo-server [--port N] [--port-file FILE]
// Runs until SIGTERM or SIGINT.

#include "fake_server.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage(const char *prog)
{
	std::fprintf(stderr, "usage: %s [--port N] [--port-file FILE]\n", prog);
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
bool write_port_file(const std::string &path, int port)
{
	std::string tmp = path + ".tmp";
	FILE *f = std::fopen(tmp.c_str(), "w");
	if (f == nullptr)
		return false;
	bool ok = std::fprintf(f, "%d\n", port) > 0;
	ok = std::fclose(f) == 0 && ok;
	return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char **argv)
{
	FakeServerOptions opts;
	std::string port_file;
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if (a == "--port" && i + 1 < argc) {
			if (!parse_port(argv[++i], &opts.port)) {
				std::fprintf(stderr, "%s: bad port: %s\n", argv[0], argv[i]);
				return 2;
			}
		} else if (a == "--port-file" && i + 1 < argc) {
			port_file = argv[++i];
		} else {
			usage(argv[0]);
			return 2;
		}
	}

	// Blocked before the server's threads start, so they inherit the mask
	// and sigwait below is the only taker.
	sigset_t stop;
	sigemptyset(&stop);
	sigaddset(&stop, SIGTERM);
	sigaddset(&stop, SIGINT);
	pthread_sigmask(SIG_BLOCK, &stop, nullptr);

	FakeServer server(opts);
	if (!server.listening()) {
		std::fprintf(stderr, "%s: cannot listen on 127.0.0.1:%d: %s\n", argv[0], opts.port, std::strerror(errno));
		return 1;
	}
	if (!port_file.empty() && !write_port_file(port_file, server.port())) {
		std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], port_file.c_str(), std::strerror(errno));
		return 1;
	}
	std::printf("kavri-demo-server listening on 127.0.0.1:%d\n", server.port());
	std::fflush(stdout);

	int sig = 0;
	while (sigwait(&stop, &sig) != 0) {
	}
	return 0;
}

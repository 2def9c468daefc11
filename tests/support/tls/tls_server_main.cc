// kavri-tls-server: the fake login server behind its TLS front on
// 127.0.0.1, for the benchmark and the valgrind check over HTTPS.
//   kavri-tls-server --dir DIR [--port-file FILE] [--logged-in]
// Makes a CA (DIR/ca.pem) and a certificate for localhost and 127.0.0.1
// in DIR, then serves until SIGTERM or SIGINT. With --logged-in the status
// page carries the logged-in marker from the start.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "fake_server.h"
#include "pki.h"
#include "tls_fake_server.h"

int main(int argc, char **argv)
{
	std::string dir, port_file;
	bool logged_in = false;
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if (a == "--dir" && i + 1 < argc)
			dir = argv[++i];
		else if (a == "--port-file" && i + 1 < argc)
			port_file = argv[++i];
		else if (a == "--logged-in")
			logged_in = true;
		else
			dir.clear(), i = argc;
	}
	if (dir.empty()) {
		std::fprintf(stderr, "usage: %s --dir DIR [--port-file FILE] [--logged-in]\n", argv[0]);
		return 2;
	}
	sigset_t stop;
	sigemptyset(&stop);
	sigaddset(&stop, SIGTERM);
	sigaddset(&stop, SIGINT);
	pthread_sigmask(SIG_BLOCK, &stop, nullptr);

	TestPki pki(dir);
	IssuedCert cert = pki.issue("server", "DNS:localhost,IP:127.0.0.1");
	FakeServer inner;
	inner.set_logged_in(logged_in);
	TlsFakeServer front(inner, cert.cert_file, cert.key_file);
	if (!cert.ok || !inner.listening() || !front.listening()) {
		std::fprintf(stderr, "%s: cannot make the certificates or listen\n", argv[0]);
		return 1;
	}
	if (!port_file.empty()) {
		std::ofstream(port_file + ".tmp") << front.port() << "\n";
		std::rename((port_file + ".tmp").c_str(), port_file.c_str());
	}
	int sig = 0;
	while (sigwait(&stop, &sig) != 0) {
	}
	return 0;
}

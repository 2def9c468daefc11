// Figures of a running keep-alive daemon against the fake login server:
// resident memory after start and after 1,000 forced checks, the time
// from SIGHUP to the probe's arrival, and CPU time and context switches
// during an idle pause of 60 seconds. With --tls the daemon speaks HTTPS to
// the server's TLS front, and the idle pause is left out (it does not
// depend on the transport).
//   kavri-daemon-bench KAVRI_BINARY [--tls]
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_server.h"
#include "proc.h"
#if KAVRI_BENCH_TLS
#include "pki.h"
#include "tls_fake_server.h"
#endif

namespace {

using clk = std::chrono::steady_clock;

// Wait (at most 1 s) until the daemon's main thread waits in poll() on
// more than one descriptor, which it does only in the pause between checks
// (an exchange waits on its one socket).
void paused(pid_t pid)
{
	std::string path = "/proc/" + std::to_string(pid) + "/syscall";
	int seen = 0;
	for (int i = 0; i < 2000 && seen < 2; i++) {
		// "number fds nfds ...": the arguments in hexadecimal.
		std::istringstream f(slurp(path));
		long nr = -1;
		std::string fds, nfds;
		f >> nr >> fds >> nfds;
		bool pausing = (nr == SYS_poll || nr == SYS_ppoll) && strtol(nfds.c_str(), nullptr, 16) >= 2;
		seen = pausing ? seen + 1 : 0;
		std::this_thread::sleep_for(std::chrono::microseconds(500));
	}
}

}  // namespace

int main(int argc, char *argv[])
{
	bool tls = argc == 3 && std::string(argv[2]) == "--tls";
	if (argc != 2 && !tls) {
		fprintf(stderr, "usage: %s KAVRI_BINARY [--tls]\n", argv[0]);
		return 2;
	}
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	FakeServer server;
	server.set_logged_in(true);

	char tmpl[] = "/tmp/kavri-bench-XXXXXX";
	std::string dir = mkdtemp(tmpl);
	std::string conf = dir + "/kavri.conf";
	std::string pidfile = dir + "/kavri.pid";
	int port = server.port();
	std::string extra;
#if KAVRI_BENCH_TLS
	TestPki pki(dir);
	IssuedCert cert = pki.issue("server", "DNS:localhost,IP:127.0.0.1");
	TlsFakeServer front(server, cert.cert_file, cert.key_file);
	if (tls) {
		port = front.port();
		extra = "TLS = yes\nTLS_CA_FILE = " + pki.ca_file() + "\n";
	}
#else
	if (tls) {
		fprintf(stderr, "built without TLS\n");
		return 2;
	}
#endif
	std::ofstream(conf) << "SERV = 127.0.0.1\nSERVER_PORT = " << port << "\nUSER = bench\nPASS = bench\nDEAMON_D = 2\nPID_FILE = "
	                    << pidfile << "\n" << extra;

	pid_t pid = start_daemon(argv[1], conf, pidfile);
	if (pid <= 0) {
		fprintf(stderr, "the daemon did not start\n");
		return 1;
	}
	// Past the second that must lie between the foreground's check and the
	// daemon's first.
	std::this_thread::sleep_for(std::chrono::milliseconds(1100));
	memory at_start = memory_of(pid);

	// Passes begin at least a second apart, so 1,000 checks take some 18
	// minutes; KAVRI_BENCH_CHECKS asks for fewer.
	constexpr int WARM_UP = 10;
	const char *asked = getenv("KAVRI_BENCH_CHECKS");
	const int CHECKS = asked != nullptr && atoi(asked) > 0 ? atoi(asked) : 1000;
	std::vector<double> latency_ms;
	memory warm{};
	for (int i = 0; i < WARM_UP + CHECKS; i++) {
		// Code and buffers first touched by a forced check count once.
		if (i == WARM_UP) {
			std::this_thread::sleep_for(std::chrono::milliseconds(50));
			warm = memory_of(pid);
		}
		size_t before = server.count(Page::status);
		// A SIGHUP that comes before the last pass has finished only writes
		// its line: on a busy machine send it again until a probe comes.
		auto t0 = clk::now();
		bool arrived = false;
		for (int tries = 0; tries < 25 && !arrived; tries++) {
			t0 = clk::now();
			kill(pid, SIGHUP);
			arrived = server.wait_for(Page::status, before + 1, 200);
		}
		if (!arrived) {
			fprintf(stderr, "check %d did not arrive\n", i);
			break;
		}
		latency_ms.push_back(std::chrono::duration<double, std::milli>(clk::now() - t0).count());
		// Let the pass finish and the next pause begin: a SIGHUP during a
		// check is only noted, and an HTTPS pass takes several ms. Then let
		// the second between two passes run out, which a SIGHUP would wait
		// for.
		paused(pid);
		std::this_thread::sleep_until(t0 + std::chrono::milliseconds(1050));
	}
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	memory after = memory_of(pid);

	long cpu0 = cpu_ticks(pid), sw0 = switches(pid);
	if (!tls)
		std::this_thread::sleep_for(std::chrono::seconds(60));
	long cpu1 = cpu_ticks(pid), sw1 = switches(pid);

	kill(pid, SIGTERM);
	while (waitpid(-1, nullptr, 0) > 0) {
	}
	std::sort(latency_ms.begin(), latency_ms.end());
	auto pct = [&](double p) { return latency_ms.empty() ? 0.0 : latency_ms[static_cast<size_t>(p * (latency_ms.size() - 1))]; };
	printf("daemon memory after start:                 %ld KiB resident, %ld KiB Pss\n", at_start.rss, at_start.pss);
	printf("daemon memory after %d warm-up checks:     %ld KiB resident, %ld KiB Pss\n", WARM_UP, warm.rss,
	       warm.pss);
	printf("daemon memory after %zu more checks:     %ld KiB resident, %ld KiB Pss\n",
	       latency_ms.size() - WARM_UP, after.rss, after.pss);
	printf("SIGHUP to probe at the server:             median %.3f ms, p90 %.3f ms, max %.3f ms\n", pct(0.5),
	       pct(0.9), pct(1.0));
	if (!tls)
		printf("idle pause of 60 s:                        %ld CPU ticks, %ld context switches\n", cpu1 - cpu0,
		       sw1 - sw0);
	std::string rm = "rm -rf " + dir;
	return system(rm.c_str()) == 0 ? 0 : 1;
}

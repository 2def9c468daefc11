// Figures of a running keep-alive daemon against the fake login server,
// in a private network: the bench moves into a network namespace of its
// own and reaches the server, in a far namespace, over a veth pair and a
// default route. The time from SIGHUP to the probe's arrival, the time
// from a default route appearing to the probe's arrival, resident memory
// after start and over 1,000 checks that network events set off, CPU
// time and context switches during an idle pause of 60 seconds with the
// routing socket open, and the time SIGTERM takes to end the daemon.
//   kavri-network-bench KAVRI_BINARY [CHECKS]
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
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
#include "netlab.h"

namespace {

using clk = std::chrono::steady_clock;

// Whether the process holds a routing netlink socket.
bool holds_routing_socket(pid_t pid)
{
	std::string net = slurp("/proc/" + std::to_string(pid) + "/net/netlink");
	std::string dir = "/proc/" + std::to_string(pid) + "/fd";
	DIR *d = opendir(dir.c_str());
	if (d == nullptr)
		return false;
	bool found = false;
	while (struct dirent *e = readdir(d)) {
		char link[256];
		ssize_t n = readlink((dir + "/" + e->d_name).c_str(), link, sizeof link - 1);
		if (n <= 0)
			continue;
		std::string l(link, static_cast<size_t>(n));
		if (l.rfind("socket:[", 0) != 0)
			continue;
		std::string inode = l.substr(8, l.size() - 9);
		// "sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode": Eth 0 is NETLINK_ROUTE.
		std::istringstream rows(net);
		std::string row;
		while (std::getline(rows, row)) {
			std::istringstream f(row);
			std::string sk, eth, f3, f4, f5, f6, f7, f8, f9, ino;
			f >> sk >> eth >> f3 >> f4 >> f5 >> f6 >> f7 >> f8 >> f9 >> ino;
			found = found || (eth == "0" && ino == inode);
		}
	}
	closedir(d);
	return found;
}

bool wait_for_count(const std::function<size_t()> &count, size_t n, int timeout_ms)
{
	auto deadline = clk::now() + std::chrono::milliseconds(timeout_ms);
	while (count() < n) {
		if (clk::now() >= deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return true;
}

}  // namespace

int main(int argc, char *argv[])
{
	if (argc != 2 && argc != 3) {
		fprintf(stderr, "usage: %s KAVRI_BINARY [CHECKS]\n", argv[0]);
		return 2;
	}
	const int checks = argc == 3 ? atoi(argv[2]) : 1000;
	prctl(PR_SET_CHILD_SUBREAPER, 1);

	// The network: this process in a namespace of its own, the server in a
	// far one, reached through up0 and a default route.
	std::string why;
	if (!enter_private_network(&why)) {
		fprintf(stderr, "no private network: %s\n", why.c_str());
		return 1;
	}
	FarSide far("up0", "sv0");
	const std::string server_ip = "198.51.100.1";
	std::unique_ptr<FakeServer> server;
	if (far.ok() && far.ip({"addr", "add", "192.0.2.1/24", "dev", "sv0"}) &&
	    far.ip({"addr", "add", server_ip + "/32", "dev", "sv0"}))
		server = far.server(server_ip);
	const std::vector<std::string> add_route = {"route", "add", "default", "via", "192.0.2.1"};
	const std::vector<std::string> del_route = {"route", "del", "default"};
	if (server == nullptr || !run_ip({"link", "set", "up0", "up"}, &why) ||
	    !run_ip({"addr", "add", "192.0.2.2/24", "dev", "up0"}, &why) || !run_ip(add_route, &why)) {
		fprintf(stderr, "cannot set up the network: %s %s\n", far.error().c_str(), why.c_str());
		return 1;
	}
	server->set_logged_in(true);
	auto probes = [&] { return server->count(Page::status); };

	char tmpl[] = "/tmp/kavri-bench-XXXXXX";
	std::string dir = mkdtemp(tmpl);
	std::string conf = dir + "/kavri.conf";
	std::string pidfile = dir + "/kavri.pid";
	std::ofstream(conf) << "SERV = " << server_ip << "\nSERVER_PORT = " << server->port()
	                    << "\nUSER = bench\nPASS = bench\nDEAMON_D = 2\nPID_FILE = " << pidfile << "\n";

	pid_t pid = start_daemon(argv[1], conf, pidfile);
	if (pid <= 0) {
		fprintf(stderr, "the daemon did not start\n");
		return 1;
	}
	std::this_thread::sleep_for(std::chrono::milliseconds(1200));
	memory at_start = memory_of(pid);
	// Checks begin at least a second apart: each round waits that out.
	auto next_round = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); };

	std::vector<double> hup_ms;
	for (int i = 0; i < 20; i++) {
		size_t before = probes();
		auto t0 = clk::now();
		kill(pid, SIGHUP);
		if (!wait_for_count(probes, before + 1, 5000)) {
			fprintf(stderr, "forced check %d did not arrive\n", i);
			break;
		}
		hup_ms.push_back(ms_since(t0));
		next_round();
	}

	// The default route goes (no check) and comes back (a check once the
	// network has settled, a second later).
	std::vector<double> route_ms;
	for (int i = 0; i < 20; i++) {
		run_ip(del_route);
		next_round();
		size_t before = probes();
		auto t0 = clk::now();  // the ip command's own start counts too
		run_ip(add_route);
		if (!wait_for_count(probes, before + 1, 10000)) {
			fprintf(stderr, "no check after route %d\n", i);
			break;
		}
		route_ms.push_back(ms_since(t0));
		next_round();
	}

	// Checks set off by the network, one after another: the route goes and
	// comes back as soon as the previous check has arrived.
	memory warm{};
	int done = 0;
	for (; done < checks; done++) {
		if (done == 10)
			warm = memory_of(pid);
		size_t before = probes();
		run_ip(del_route);
		run_ip(add_route);
		if (!wait_for_count(probes, before + 1, 10000)) {
			fprintf(stderr, "no check after event %d\n", done);
			break;
		}
	}
	std::this_thread::sleep_for(std::chrono::milliseconds(1500));
	memory after = memory_of(pid);
	bool netlink = holds_routing_socket(pid);

	long cpu0 = cpu_ticks(pid), sw0 = switches(pid);
	std::this_thread::sleep_for(std::chrono::seconds(60));
	long cpu1 = cpu_ticks(pid), sw1 = switches(pid);

	auto term = clk::now();
	kill(pid, SIGTERM);
	waitpid(pid, nullptr, 0);
	double term_ms = ms_since(term);
	while (waitpid(-1, nullptr, 0) > 0) {
	}

	printf("SIGHUP to probe at the server:             median %.3f ms of %zu\n", median(hup_ms), hup_ms.size());
	printf("default route added to probe at the server: median %.1f ms of %zu (settle time 1000 ms + %.1f ms)\n",
	       median(route_ms), route_ms.size(), median(route_ms) - 1000);
	printf("daemon memory after start:                  %ld KiB resident, %ld KiB Pss\n", at_start.rss, at_start.pss);
	printf("daemon memory after 10 event-driven checks: %ld KiB resident, %ld KiB Pss\n", warm.rss, warm.pss);
	printf("daemon memory after %d event-driven checks: %ld KiB resident, %ld KiB Pss\n", done, after.rss,
	       after.pss);
	printf("idle pause of 60 s, routing socket %s:  %ld CPU ticks, %ld context switches\n",
	       netlink ? "open" : "NOT open", cpu1 - cpu0, sw1 - sw0);
	printf("SIGTERM to the daemon's end:               %.3f ms\n", term_ms);
	std::string rm = "rm -rf " + dir;
	return system(rm.c_str()) == 0 ? 0 : 1;
}

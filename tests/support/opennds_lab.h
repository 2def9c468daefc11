// A real portal gateway for tests: Debian's openNDS in network namespaces
// of the test's own (tests/support/opennds-lab builds them).
//
//   client 10.250.1.100 ── 10.250.1.1 gateway (openNDS on :2050) 10.250.2.1 ── upstream 203.0.113.10
//
// The client namespace has its own resolv.conf and /etc/hosts (status.client
// is the gateway) and the test's /dev/log (syslog_sink.h); the gateway runs
// openNDS with "click to continue" login, its firewall rules in its own
// namespace only; the upstream namespace stands for the Internet with an
// UpstreamServer (lab_http.h) on port 80. Nothing is named under /run/netns
// and nothing reaches the machine's network. The destructor ends every
// process in the lab's namespaces, those the test started there too; if the
// test process dies, the lab's own processes die with it.
//
// Start-up takes a few seconds (openNDS sets up its firewall): share one lab
// per test suite (SetUpTestSuite). It needs root and the packages that
// scripts/packages.sh lists for it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "helpers.h"
#include "lab_http.h"

class OpenNdsLab {
public:
	static constexpr const char *GATEWAY = "10.250.1.1";
	static constexpr int GATEWAY_PORT = 2050;
	static constexpr const char *GATEWAY_NAME = "status.client";  // in the client's /etc/hosts
	static constexpr const char *CLIENT_IP = "10.250.1.100";
	static constexpr const char *CLIENT_MAC = "02:00:0a:fa:01:64";
	static constexpr const char *UPSTREAM = "203.0.113.10";

	OpenNdsLab();
	~OpenNdsLab();
	OpenNdsLab(const OpenNdsLab &) = delete;
	OpenNdsLab &operator=(const OpenNdsLab &) = delete;

	// False, with error(), when the lab could not be had (not root, a
	// package missing, openNDS did not come up).
	bool ok() const { return error_.empty(); }
	const std::string &error() const { return error_; }
	// From the start of the constructor until openNDS answered.
	double startup_seconds() const { return startup_seconds_; }

	// Run a program (PATH is searched) in the client's network and mount
	// namespaces, in this process's PID namespace (so a PID it prints or
	// logs is one this process can signal).
	RunResult in_client(const std::vector<std::string> &args, const RunOptions &o = {}) const;
	// The command line that does so, for a test that spawns it itself.
	std::vector<std::string> client_command(const std::vector<std::string> &args) const;
	// Run a program in the gateway's namespaces (openNDS's view: its /etc,
	// /tmp, /run and /proc).
	RunResult in_gateway(const std::vector<std::string> &args, const RunOptions &o = {}) const;

	// `ndsctl json`: openNDS's clients; and whether it lists the client
	// as authenticated.
	std::string ndsctl_json() const;
	bool client_authenticated() const;
	// `ndsctl deauth MAC`; true when openNDS confirmed it.
	bool deauth(const std::string &mac = CLIENT_MAC) const;
	// Wait (polling, at most `timeout_ms`) until openNDS treats the client
	// as a client that has not logged in, all through: not authenticated
	// in `ndsctl json`, a page of the Internet answered 307 by the gateway
	// and its status page 511. openNDS takes a moment to settle after a
	// start or a deauth, during which a connection to the gateway's port
	// 80 may be refused.
	bool wait_logged_out(int timeout_ms = 30000) const;

	// A GET from the client namespace (lab_http.h).
	HttpReply client_get(const std::string &address, int port, const std::string &target,
	                     const std::string &host = "") const;
	// The same for an http URL: status.client is the gateway, as the
	// client's /etc/hosts says; Host is the URL's host and port, as a
	// browser sends it.
	HttpReply client_get_url(const std::string &url) const;
	// Log the client in as a browser does, with such GETs: the status page
	// http://status.client/ (511, a form), its form (a 307 to
	// /opennds_preauth/?fas=TOKEN), that page's first form (fas,
	// continue=clicked), then the next page's first form (fas,
	// landing=yes), whose reply says "You are now logged in". Empty when
	// every step went so, else what went otherwise; `steps` gets one line
	// per request.
	std::string browser_login(std::vector<std::string> *steps = nullptr) const;
	// Whether an HTTP GET from the client reaches the upstream server
	// (it is answered 204 there, not by the gateway).
	bool client_reaches_upstream() const;
	const UpstreamServer *upstream() const { return upstream_.get(); }

	// openNDS's own output so far (debug level 3), for failure messages.
	std::string opennds_log() const;

	// Kill every process in the lab's namespaces that the test started
	// (the lab's own stay); the destructor does it too.
	void kill_started_processes() const;

private:
	bool start();
	bool read_line(std::string *line, std::chrono::steady_clock::time_point deadline);
	void stop();

	std::unique_ptr<TempDir> state_;  // one of each start: a retry begins afresh
	std::string error_;
	double startup_seconds_ = 0;
	pid_t lab_ = -1;              // unshare, whose child is process 1 of the lab's PID namespace
	int to_lab_ = -1, from_lab_ = -1;
	std::string pending_;         // read from the lab, not yet a whole line
	pid_t client_ = -1, gateway_ = -1;  // holders of the namespaces
	int client_ns_ = -1, gateway_ns_ = -1, upstream_ns_ = -1;
	std::vector<ino_t> netns_;    // the inodes of the three network namespaces
	ino_t lab_pidns_ = 0;         // the lab's PID namespace
	std::unique_ptr<UpstreamServer> upstream_;
};

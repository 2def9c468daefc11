// Private networks for tests: the calling process moved into a network
// namespace of its own (where kavri and its daemon then run, seeing none
// of the machine's interfaces), and far namespaces joined to it by veth
// pairs, with fake login servers listening inside them. Nothing is named
// under /run/netns: each namespace ends with the last process, socket or
// descriptor that holds it, and its veth pair with it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fake_server.h"

// Move this process into a new network namespace with its loopback up.
// For a child that is the only user of its namespaces (run_isolated's).
// False, with `why`, where that cannot be done (it needs root).
bool enter_private_network(std::string *why);

// Run `ip` (iproute2) with `args` in this process's network namespace,
// or in the one `netns_fd` names. False, with its output in `why`.
bool run_ip(const std::vector<std::string> &args, std::string *why = nullptr, int netns_fd = -1);

// One namespace beyond a veth pair: `near_if` stays in this process's
// namespace (down), `far_if` goes into the far one (up, with loopback up).
class FarSide {
public:
	FarSide(const std::string &near_if, const std::string &far_if);
	~FarSide();
	FarSide(const FarSide &) = delete;
	FarSide &operator=(const FarSide &) = delete;

	// False, with error(), when the namespace or the pair could not be made.
	bool ok() const { return error_.empty(); }
	const std::string &error() const { return error_; }

	// `ip` in the far namespace; a failure is recorded in error().
	bool ip(const std::vector<std::string> &args);

	// A fake login server listening in the far namespace on `address`
	// (FakeServerOptions::address), or null when it could not listen.
	std::unique_ptr<FakeServer> server(const std::string &address, FakeServerOptions o = {});

private:
	int ns_ = -1;
	std::string error_;
};

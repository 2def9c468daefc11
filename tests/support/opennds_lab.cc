#include "opennds_lab.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "isolation.h"
#include "syslog_sink.h"

namespace {

constexpr const char *NSENTER = "/usr/bin/nsenter";
constexpr int START_TIMEOUT_MS = 120000;  // openNDS on a busy machine
constexpr int START_ATTEMPTS = 2;          // a lab that did not get ready is started once more

ino_t ns_inode(pid_t pid, const char *kind)
{
	struct stat st{};
	std::string path = "/proc/" + std::to_string(pid) + "/ns/" + kind;
	return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The processes whose network namespace is one of `netns` and, when
// `except_pidns` is set, whose PID namespace is not that one.
std::vector<pid_t> processes_in(const std::vector<ino_t> &netns, ino_t except_pidns)
{
	std::vector<pid_t> found;
	DIR *d = opendir("/proc");
	if (d == nullptr)
		return found;
	while (struct dirent *e = readdir(d)) {
		pid_t pid = static_cast<pid_t>(atol(e->d_name));
		if (pid <= 0 || pid == getpid())
			continue;
		ino_t net = ns_inode(pid, "net");
		if (net == 0 || std::find(netns.begin(), netns.end(), net) == netns.end())
			continue;
		if (except_pidns != 0 && ns_inode(pid, "pid") == except_pidns)
			continue;
		found.push_back(pid);
	}
	closedir(d);
	return found;
}

// SIGKILL them, reap those that are this process's children, and wait
// (at most 10 s) until they are gone.
void kill_processes(const std::vector<pid_t> &pids)
{
	for (pid_t p : pids)
		kill(p, SIGKILL);
	wait_until(
	    [&] {
		    bool all_gone = true;
		    for (pid_t p : pids) {
			    waitpid(p, nullptr, WNOHANG);
			    if (kill(p, 0) == 0 && process_state(p) != 'Z')
				    all_gone = false;
		    }
		    return all_gone;
	    },
	    10000);
}

bool executable(const char *path)
{
	return access(path, X_OK) == 0;
}

}  // namespace

OpenNdsLab::OpenNdsLab()
{
	// openNDS now and then does not come up on a busy machine (its web
	// server is not there when its rules are): a lab that did not get ready
	// is torn down and started once more, afresh.
	for (int attempt = 1; attempt <= START_ATTEMPTS; attempt++) {
		auto began = std::chrono::steady_clock::now();
		state_ = std::make_unique<TempDir>();
		error_.clear();
		pending_.clear();
		if (start()) {
			startup_seconds_ = seconds_since(began);
			return;
		}
		if (error_.empty())
			error_ = "the lab did not start";
		std::string log = read_file(state_->file("lab.log"));
		if (!log.empty())
			error_ += "\n" + log;
		std::string nds = opennds_log();
		if (!nds.empty())
			error_ += "\nopenNDS's last lines:\n" + nds.substr(nds.size() > 2000 ? nds.size() - 2000 : 0);
		stop();
		// Only a lab that could not get ready is worth another try.
		if (geteuid() != 0 || error_.find(" is missing: ") != std::string::npos)
			return;
	}
}

OpenNdsLab::~OpenNdsLab()
{
	stop();
}

bool OpenNdsLab::start()
{
	if (geteuid() != 0) {
		error_ = "the openNDS lab needs root (network, mount and PID namespaces)";
		return false;
	}
	for (const char *p : {"/usr/bin/opennds", "/usr/bin/ndsctl", "/usr/sbin/nft", "/usr/sbin/iptables", NSENTER,
	                      "/usr/bin/unshare"})
		if (!executable(p)) {
			error_ = std::string(p) + " is missing: install the packages of scripts/packages.sh's openNDS lab";
			return false;
		}
	// Every process of the lab, and kavri in its client namespace, log to
	// the test's own /dev/log.
	std::string why;
	if (!syslog_sink_available(&why)) {
		error_ = "no system log of the test's own: " + why;
		return false;
	}
	const std::string script = std::string(KAVRI_SOURCE_DIR) + "/tests/support/opennds-lab";
	const std::string state = state_->path();
	int in[2], out[2];
	if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
		error_ = "pipe failed";
		return false;
	}
	int log = open(state_->file("lab.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	const char *argv[] = {"unshare", "--pid", "--fork", "--kill-child", "--", "bash", script.c_str(), state.c_str(),
	                      nullptr};
	pid_t parent = getpid();
	fflush(stdout);
	fflush(stderr);
	lab_ = fork();
	if (lab_ == 0) {
		// unshare kills process 1 of the lab's PID namespace, and with it
		// every process there, when it dies; it dies with this process.
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (getppid() != parent)
			_exit(1);
		dup2(in[0], 0);
		dup2(out[1], 1);
		if (log >= 0)
			dup2(log, 2);
		execv("/usr/bin/unshare", const_cast<char **>(argv));
		_exit(127);
	}
	close(in[0]);
	close(out[1]);
	if (log >= 0)
		close(log);
	to_lab_ = in[1];
	from_lab_ = out[0];
	if (lab_ < 0) {
		error_ = "fork failed";
		return false;
	}
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(START_TIMEOUT_MS);
	std::string line;
	while (read_line(&line, deadline)) {
		std::istringstream words(line);
		std::string word, role;
		pid_t pid = -1;
		words >> word;
		if (word == "ready")
			break;
		if (word == "error") {
			error_ = "the openNDS lab: " + line;
			return false;
		}
		if (word != "holder" || !(words >> role >> pid) || pid <= 0) {
			error_ = "the openNDS lab said: " + line;
			return false;
		}
		// Held from now on: the namespace cannot end, nor its number pass
		// to another, before stop() has looked for processes in it.
		int fd = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
		struct stat st{};
		if (fd < 0 || fstat(fd, &st) != 0) {
			if (fd >= 0)
				close(fd);
			error_ = "the " + role + " namespace is gone";
			return false;
		}
		netns_.push_back(st.st_ino);
		if (lab_pidns_ == 0)
			lab_pidns_ = ns_inode(pid, "pid");
		if (role == "client") {
			client_ = pid;
			client_ns_ = fd;
		} else if (role == "gateway") {
			gateway_ = pid;
			gateway_ns_ = fd;
		} else if (role == "upstream") {
			upstream_ns_ = fd;
			upstream_ = std::make_unique<UpstreamServer>(upstream_ns_);
			if (!upstream_->ok()) {
				error_ = upstream_->error();
				return false;
			}
		}
	}
	if (line != "ready") {
		if (error_.empty())
			error_ = "the openNDS lab did not get ready in " + std::to_string(START_TIMEOUT_MS / 1000) + " s";
		return false;
	}
	if (client_ns_ < 0 || gateway_ns_ < 0 || upstream_ == nullptr || lab_pidns_ == 0) {
		error_ = "the openNDS lab named not all of its namespaces";
		return false;
	}
	if (!wait_logged_out(60000)) {
		error_ = "openNDS does not hold the client at its portal: " + client_get(UPSTREAM, 80, "/").error;
		return false;
	}
	return true;
}

bool OpenNdsLab::read_line(std::string *line, std::chrono::steady_clock::time_point deadline)
{
	for (;;) {
		size_t nl = pending_.find('\n');
		if (nl != std::string::npos) {
			*line = pending_.substr(0, nl);
			pending_.erase(0, nl + 1);
			return true;
		}
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
		if (left.count() <= 0)
			return false;
		pollfd p{from_lab_, POLLIN, 0};
		int n = poll(&p, 1, static_cast<int>(left.count()));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		char buf[512];
		ssize_t got = read(from_lab_, buf, sizeof buf);
		if (got <= 0)
			return false;
		pending_.append(buf, static_cast<size_t>(got));
	}
}

void OpenNdsLab::kill_started_processes() const
{
	if (!netns_.empty() && lab_pidns_ != 0)
		kill_processes(processes_in(netns_, lab_pidns_));
}

void OpenNdsLab::stop()
{
	kill_started_processes();
	upstream_.reset();
	for (int *fd : {&to_lab_, &from_lab_})
		if (*fd >= 0) {
			close(*fd);
			*fd = -1;
		}
	// Its standard input closed, the lab stops openNDS (which then removes
	// its rules) and ends; its PID namespace, and every process in it, ends
	// with it.
	if (lab_ > 0) {
		if (reap_within(lab_, 15000) == -1) {
			kill(lab_, SIGKILL);
			waitpid(lab_, nullptr, 0);
		}
		lab_ = -1;
	}
	// Whatever still is in one of the namespaces (nothing should be). They
	// are looked for while this process holds them: once let go, their
	// numbers may name namespaces of others.
	if (!netns_.empty())
		kill_processes(processes_in(netns_, 0));
	for (int *fd : {&client_ns_, &gateway_ns_, &upstream_ns_})
		if (*fd >= 0) {
			close(*fd);
			*fd = -1;
		}
	netns_.clear();
	lab_pidns_ = 0;
	client_ = gateway_ = -1;
}

std::vector<std::string> OpenNdsLab::client_command(const std::vector<std::string> &args) const
{
	std::vector<std::string> cmd = {NSENTER, "-t", std::to_string(client_), "-n", "-m", "--"};
	cmd.insert(cmd.end(), args.begin(), args.end());
	return cmd;
}

RunResult OpenNdsLab::in_client(const std::vector<std::string> &args, const RunOptions &o) const
{
	std::vector<std::string> cmd = client_command(args);
	cmd.erase(cmd.begin());
	return run_program(cmd, o, NSENTER);
}

RunResult OpenNdsLab::in_gateway(const std::vector<std::string> &args, const RunOptions &o) const
{
	// In the lab's PID namespace too: the gateway's /proc is that one's.
	std::vector<std::string> cmd = {"-t", std::to_string(gateway_), "-n", "-m", "-p", "--"};
	cmd.insert(cmd.end(), args.begin(), args.end());
	return run_program(cmd, o, NSENTER);
}

std::string OpenNdsLab::ndsctl_json() const
{
	return in_gateway({"ndsctl", "json"}).out;
}

bool OpenNdsLab::client_authenticated() const
{
	std::string json = ndsctl_json();
	size_t at = json.find(std::string("\"") + CLIENT_MAC + "\"");
	if (at == std::string::npos)
		return false;
	size_t state = json.find("\"state\":", at);
	size_t end = json.find('}', at);
	const std::string authenticated = "\"state\":\"Authenticated\"";
	return state != std::string::npos && state < end && json.compare(state, authenticated.size(), authenticated) == 0;
}

bool OpenNdsLab::deauth(const std::string &mac) const
{
	RunResult r = in_gateway({"ndsctl", "deauth", mac});
	return r.status == 0 && r.out.find("deauthenticated") != std::string::npos;
}

bool OpenNdsLab::wait_logged_out(int timeout_ms) const
{
	return wait_until(
	    [this] {
		    return client_get(UPSTREAM, 80, "/").status == 307 && client_get(GATEWAY, 80, "/", GATEWAY_NAME).status == 511 &&
		           !client_authenticated();
	    },
	    timeout_ms);
}

HttpReply OpenNdsLab::client_get(const std::string &address, int port, const std::string &target,
                                 const std::string &host) const
{
	return http_get(client_ns_, address, port, target, host);
}

HttpReply OpenNdsLab::client_get_url(const std::string &url) const
{
	std::string address, target;
	int port = 0;
	if (!split_http_url(url, &address, &port, &target)) {
		HttpReply r;
		r.error = "not an http URL: " + url;
		return r;
	}
	std::string host = address;
	if (port != 80)
		host.append(":").append(std::to_string(port));
	if (address == GATEWAY_NAME)
		address = GATEWAY;
	return client_get(address, port, target, host);
}

std::string OpenNdsLab::browser_login(std::vector<std::string> *steps) const
{
	std::string url = std::string("http://") + GATEWAY_NAME + "/";
	// status page, its form, the preauth page, its form, the landing form
	const int expected[] = {511, 307, 200, 200, 200};
	for (int step = 0; step < 5; step++) {
		HttpReply r = client_get_url(url);
		if (steps != nullptr)
			steps->push_back("GET " + url + " -> " + std::to_string(r.status) + (r.error.empty() ? "" : " " + r.error));
		if (r.status != expected[step])
			return "GET " + url + ": " + (r.status == 0 ? r.error : r.head) + "\n" + r.body;
		if (step == 4) {
			if (r.body.find("You are now logged in") == std::string::npos)
				return "the last page does not say \"You are now logged in\":\n" + r.body;
			break;
		}
		if (r.status == 307) {
			url = r.location;
			continue;
		}
		if (!first_form_get(r.body, url, &url))
			return "no form on " + url + ":\n" + r.body;
	}
	return "";
}

bool OpenNdsLab::client_reaches_upstream() const
{
	return client_get(UPSTREAM, 80, "/generate_204").status == 204;
}

std::string OpenNdsLab::opennds_log() const
{
	return read_file(state_->file("opennds.log"));
}

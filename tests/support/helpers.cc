#include "helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/unique_fd.h"

extern char **environ;

TempDir::TempDir()
{
	char tmpl[] = "/tmp/kavri-test-XXXXXX";
	char *p = mkdtemp(tmpl);
	path_ = p != nullptr ? p : "/tmp";
}

TempDir::~TempDir()
{
	std::error_code ec;
	if (path_ != "/tmp")
		std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string &path, const std::string &content)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	f << content;
}

std::string read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

bool file_exists(const std::string &path)
{
	return access(path.c_str(), F_OK) == 0;
}

std::string read_all(int fd)
{
	std::string text;
	char buf[8192];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
		if (n > 0)
			text.append(buf, static_cast<size_t>(n));
	return text;
}

int closed_port()
{
	unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof a;
	if (bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
	    getsockname(fd.get(), reinterpret_cast<sockaddr *>(&a), &len) != 0)
		return 0;
	return ntohs(a.sin_port);
}

bool in_ci()
{
	const char *ci = getenv("CI");
	return ci != nullptr && *ci != '\0';
}

std::string loopback_config(int port, const std::string &extra)
{
	return "SERV = 127.0.0.1\nSERVER_PORT = " + std::to_string(port) +
	       "\nUSER = joe\nPASS = secret\nDEAMON_S = false\n" + extra;
}

bool mount_private_tmp(std::string *why)
{
	// Directories that must stay reachable: the built programs and the
	// sources. Held open so that they can be put back after /tmp is covered.
	std::string binary = KAVRI_BINARY;
	const std::string keep[] = {binary.substr(0, binary.rfind('/')), KAVRI_SOURCE_DIR};
	std::vector<std::pair<std::string, int>> held;
	for (const std::string &dir : keep) {
		if (dir.rfind("/tmp/", 0) != 0)
			continue;
		int fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
		if (fd < 0) {
			*why = "cannot open " + dir + ": " + strerror(errno);
			return false;
		}
		held.emplace_back(dir, fd);
	}
	bool ok = mount("kavri-test-tmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
	if (!ok)
		*why = std::string("mounting a tmpfs on /tmp: ") + strerror(errno);
	for (const auto &[dir, fd] : held) {
		if (ok) {
			std::error_code ec;
			std::filesystem::create_directories(dir, ec);
			std::string from = "/proc/self/fd/" + std::to_string(fd);
			if (ec || mount(from.c_str(), dir.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
				*why = "putting back " + dir + ": " + (ec ? ec.message() : strerror(errno));
				ok = false;
			}
		}
		close(fd);
	}
	return ok;
}

RunResult run_program(const std::vector<std::string> &args, const RunOptions &o, const std::string &binary)
{
	RunResult r;
	int in[2], out[2], err[2];
	if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
		return r;

	std::vector<std::string> envs;
	for (char **e = environ; *e != nullptr; e++) {
		std::string kv = *e;
		std::string key = kv.substr(0, kv.find('='));
		bool drop = o.env.count(key) > 0;
		for (const auto &u : o.unset_env)
			drop = drop || u == key;
		if (!drop)
			envs.push_back(kv);
	}
	for (const auto &[k, v] : o.env)
		envs.push_back(k + "=" + v);

	std::vector<std::string> argv_s;
	argv_s.push_back(o.argv0.empty() ? binary : o.argv0);
	argv_s.insert(argv_s.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &a : argv_s)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	std::vector<char *> envp;
	for (auto &e : envs)
		envp.push_back(e.data());
	envp.push_back(nullptr);

	// kavri takes a parent that is process 1 for init, which starts it as a
	// service that has no terminal to leave: from process 1 of a PID
	// namespace it is started from a child, as a shell starts a command.
	bool from_init = getpid() == 1;
	pid_t pid = fork();
	if (pid == 0) {
		dup2(in[0], 0);
		dup2(out[1], 1);
		dup2(err[1], 2);
		if (o.private_tmp) {
			std::string why;
			if (unshare(CLONE_NEWNS) != 0)
				why = std::string("unshare: ") + strerror(errno);
			else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
				why = std::string("making / private: ") + strerror(errno);
			else
				mount_private_tmp(&why);
			if (!why.empty()) {
				why = "no private /tmp: " + why + "\n";
				ssize_t w = write(2, why.data(), why.size());
				(void)w;
				_exit(125);
			}
		}
		if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0)
			_exit(126);
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		if (from_init) {
			// This child stays between, waits and ends as the program did,
			// doing nothing that could wait on a lock another thread of the
			// test held when it forked.
			pid_t program = fork();
			if (program < 0)
				_exit(126);
			if (program > 0) {
				int st = 0;
				while (waitpid(program, &st, 0) < 0 && errno == EINTR) {
				}
				if (WIFSIGNALED(st)) {
					signal(WTERMSIG(st), SIG_DFL);
					kill(getpid(), WTERMSIG(st));
				}
				_exit(WIFEXITED(st) ? WEXITSTATUS(st) : 127);
			}
		}
		execve(binary.c_str(), argv.data(), envp.data());
		_exit(127);
	}
	close(in[0]);
	close(out[1]);
	close(err[1]);
	if (!o.stdin_data.empty()) {
		signal(SIGPIPE, SIG_IGN);
		ssize_t w = write(in[1], o.stdin_data.data(), o.stdin_data.size());
		(void)w;
	}
	close(in[1]);

	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeout_seconds);
	struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	int open_fds = 2;
	while (open_fds > 0) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
		if (left.count() <= 0) {
			kill(pid, SIGKILL);
			break;
		}
		if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
			break;
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			char buf[65536];
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n <= 0) {
				close(fds[i].fd);
				fds[i].fd = -1;
				open_fds--;
			} else {
				(i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
			}
		}
	}
	for (auto &f : fds)
		if (f.fd >= 0)
			close(f.fd);
	int status = 0;
	waitpid(pid, &status, 0);
	if (WIFEXITED(status))
		r.status = WEXITSTATUS(status);
	else if (WIFSIGNALED(status))
		r.signal = WTERMSIG(status);
	return r;
}

bool looks_like_ctime(const std::string &t)
{
	// "Thu Dec 10 00:30:43 2026": letters, blanks, digits and colons in
	// their places; the day of the month may have a blank for its tens.
	static const char shape[] = "Aaa Aaa _9 99:99:99 9999";
	if (t.size() != sizeof shape - 1)
		return false;
	for (size_t i = 0; i < t.size(); i++) {
		char c = t[i], k = shape[i];
		bool ok = (k == 'A' && c >= 'A' && c <= 'Z') || (k == 'a' && c >= 'a' && c <= 'z') ||
		          (k == '9' && c >= '0' && c <= '9') || (k == '_' && (c == ' ' || (c >= '0' && c <= '9'))) ||
		          (k == c);
		if (!ok)
			return false;
	}
	return true;
}

std::string strip_prefixes(const std::string &console)
{
	std::string out;
	size_t from = 0;
	for (;;) {
		// Find the next " TAG kavri[" with a time text before it.
		size_t at = console.find(" kavri[", from);
		if (at == std::string::npos || at < 28) {
			if (at == std::string::npos)
				break;
			out.append(console, from, at + 1 - from);
			from = at + 1;
			continue;
		}
		std::string tag = console.substr(at - 3, 3);
		size_t start = at - 28;
		size_t close = console.find("]: ", at);
		bool digits = close != std::string::npos && close > at + 7 &&
		              console.find_first_not_of("0123456789", at + 7) == close;
		if (start < from || (tag != "INF" && tag != "DBG" && tag != "ERR") || console[at - 4] != ' ' ||
		    !looks_like_ctime(console.substr(start, 24)) || !digits) {
			out.append(console, from, at + 1 - from);
			from = at + 1;
			continue;
		}
		out.append(console, from, start - from);
		out += tag + ": ";
		from = close + 3;
	}
	out.append(console, from, std::string::npos);
	return out;
}

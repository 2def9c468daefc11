#include "kavri_world.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cstdlib>
#include <sstream>

#include "isolation.h"
#include "syslog_sink.h"

pid_t wait_for_daemon(const std::string &pid_file, const RunResult &foreground)
{
	pid_t pid = 0;
	bool up = wait_until(
		[&] {
			pid = static_cast<pid_t>(atol(read_file(pid_file).c_str()));
			return pid > 0 && syslog_wait_for(pid, "Login ", 0);
		},
		10000);
	if (!up)
		ADD_FAILURE() << "no daemon came up; foreground status " << foreground.status << "\nstdout:\n"
		              << foreground.out << "stderr:\n" << foreground.err;
	return up ? pid : 0;
}

std::vector<std::string> messages(pid_t pid)
{
	std::vector<std::string> out;
	for (const auto &l : syslog_lines(pid))
		out.push_back(l.message);
	return out;
}

size_t count_lines(pid_t pid, const std::string &text)
{
	size_t n = 0;
	for (const auto &m : messages(pid))
		n += m.find(text) != std::string::npos;
	return n;
}

std::string joined(const std::vector<std::string> &lines)
{
	std::string s;
	for (const auto &l : lines)
		s += "  " + l + "\n";
	return s;
}

namespace {

// poll(2) and ppoll(2); newer architectures (arm64, riscv64) have only ppoll,
// which the C library's poll calls.
bool is_poll(long nr)
{
#ifdef SYS_poll
	if (nr == SYS_poll)
		return true;
#endif
	return nr == SYS_ppoll;
}

}  // namespace

bool wait_pausing(pid_t pid)
{
	std::string path = "/proc/" + std::to_string(pid) + "/syscall";
	int seen = 0;
	return wait_until(
		[&] {
			// "NR fds nfds timeout ...", the arguments in hex.
			std::istringstream s(read_file(path));
			long nr = -1;
			std::string fds, nfds;
			s >> nr >> fds >> nfds;
			bool pausing = is_poll(nr) && strtoul(nfds.c_str(), nullptr, 16) >= 2;
			seen = pausing ? seen + 1 : 0;
			return seen >= 3;
		},
		10000);
}

Kavri::Kavri(const std::string &server, int port, const std::string &settings, const std::string &configured_pid_file)
{
	write_file(conf, "SERV = " + server + "\nSERVER_PORT = " + std::to_string(port) +
	                     "\nUSER = joe\nPASS = secret\nDEAMON_S = true\nDEAMON_D = 5\nPID_FILE = " +
	                     (configured_pid_file.empty() ? pid_file : configured_pid_file) + "\n" + settings);
	chmod(conf.c_str(), 0600);
}

Kavri::~Kavri()
{
	kill_all_children_checked();
	EXPECT_EQ(sanitizer_reports(san), "") << "sanitizer reports of the spawned processes";
}

void Kavri::run_as(uid_t uid)
{
	runner = uid;
	give_to(uid, {dir.path(), conf});
}

RunResult Kavri::run(std::vector<std::string> args)
{
	args.push_back("-c");
	args.push_back(conf);
	RunOptions o;
	o.env = sanitizer_env(san);
	for (const auto &[name, value] : env)
		o.env[name] = value;
	o.cwd = dir.path();
	if (runner != 0)
		give_to(runner, {san});
	RunResult r;
	std::string why;
	if (!run_program_as(runner, args, o, &r, &why))
		ADD_FAILURE() << why;
	return r;
}

pid_t Kavri::start(const std::vector<std::string> &args, RunResult *foreground)
{
	std::vector<std::string> a = {"-l"};
	a.insert(a.end(), args.begin(), args.end());
	RunResult r = run(a);
	if (foreground != nullptr)
		*foreground = r;
	return wait_for_daemon(pid_file, r);
}

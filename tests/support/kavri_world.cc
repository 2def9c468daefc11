#include "kavri_world.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

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

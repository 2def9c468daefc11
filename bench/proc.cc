#include "proc.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

long status_field(const std::string &status, const std::string &key)
{
	size_t at = status.find(key + ":");
	return at == std::string::npos ? -1 : atol(status.c_str() + at + key.size() + 1);
}

}  // namespace

std::string slurp(const std::string &path)
{
	std::ifstream f(path);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

memory memory_of(pid_t pid)
{
	std::string proc = "/proc/" + std::to_string(pid);
	return {status_field(slurp(proc + "/status"), "VmRSS"), status_field(slurp(proc + "/smaps_rollup"), "Pss")};
}

long switches(pid_t pid)
{
	long total = 0;
	std::string dir = "/proc/" + std::to_string(pid) + "/task";
	DIR *d = opendir(dir.c_str());
	if (d == nullptr)
		return -1;
	while (struct dirent *e = readdir(d)) {
		if (e->d_name[0] == '.')
			continue;
		std::string s = slurp(dir + "/" + e->d_name + "/status");
		total += status_field(s, "voluntary_ctxt_switches") + status_field(s, "nonvoluntary_ctxt_switches");
	}
	closedir(d);
	return total;
}

long cpu_ticks(pid_t pid)
{
	std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
	size_t close_paren = stat.rfind(')');
	if (close_paren == std::string::npos)
		return -1;
	std::istringstream in(stat.substr(close_paren + 2));
	std::string field;
	long utime = 0, stime = 0;
	// Fields 14 and 15, counted from the PID as 1.
	for (int i = 3; in >> field; i++) {
		if (i == 14)
			utime = atol(field.c_str());
		if (i == 15) {
			stime = atol(field.c_str());
			break;
		}
	}
	return utime + stime;
}

int run(const std::string &binary, const std::vector<std::string> &args)
{
	pid_t pid = fork();
	if (pid == 0) {
		std::vector<char *> argv;
		argv.push_back(const_cast<char *>(binary.c_str()));
		for (const auto &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		execv(binary.c_str(), argv.data());
		_exit(127);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t start_daemon(const std::string &kavri, const std::string &conf, const std::string &pid_file)
{
	run(kavri, {"-c", conf, "-l"});
	for (int i = 0; i < 500; i++) {
		pid_t pid = static_cast<pid_t>(atol(slurp(pid_file).c_str()));
		if (pid > 0)
			return pid;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return 0;
}

double ms_since(std::chrono::steady_clock::time_point t)
{
	return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

double median(std::vector<double> v)
{
	if (v.empty())
		return 0;
	std::sort(v.begin(), v.end());
	return v[v.size() / 2];
}

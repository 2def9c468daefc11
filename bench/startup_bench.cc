// Start-up cost of a status check, side by side: each round runs every
// command once, in turn, so that the machine's ups and downs fall on all
// of them alike; then the median of each and kavri's ratios.
//   kavri-startup-bench ROUNDS NAME=COMMAND... (COMMAND split at blanks;
//   the first NAME is kavri's)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct command {
	std::string name;
	std::vector<std::string> argv;
	std::vector<double> ms;
};

std::vector<std::string> split(const std::string &text)
{
	std::vector<std::string> words;
	size_t at = 0;
	while (at < text.size()) {
		size_t end = text.find(' ', at);
		if (end == std::string::npos)
			end = text.size();
		if (end > at)
			words.push_back(text.substr(at, end - at));
		at = end + 1;
	}
	return words;
}

// One run, output to /dev/null: its wall time in milliseconds.
double time_run(const std::vector<std::string> &args)
{
	std::vector<char *> argv;
	for (const auto &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	auto t0 = std::chrono::steady_clock::now();
	pid_t pid = fork();
	if (pid == 0) {
		freopen("/dev/null", "w", stdout);
		freopen("/dev/null", "w", stderr);
		execv(argv[0], argv.data());
		_exit(127);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char *argv[])
{
	if (argc < 3) {
		fprintf(stderr, "usage: %s ROUNDS NAME=COMMAND...\n", argv[0]);
		return 2;
	}
	int rounds = atoi(argv[1]);
	std::vector<command> cmds;
	for (int i = 2; i < argc; i++) {
		std::string arg = argv[i];
		size_t eq = arg.find('=');
		if (eq == std::string::npos)
			return 2;
		cmds.push_back({arg.substr(0, eq), split(arg.substr(eq + 1)), {}});
	}
	for (int r = 0; r < rounds + 10; r++)
		for (auto &c : cmds) {
			double ms = time_run(c.argv);
			if (r >= 10)  // the first rounds warm the caches
				c.ms.push_back(ms);
		}
	double kavri = median(cmds[0].ms);
	for (const auto &c : cmds) {
		double m = median(c.ms);
		printf("%-22s median %7.3f ms", c.name.c_str(), m);
		if (&c != &cmds[0])
			printf("   %s / %s: %.2f", cmds[0].name.c_str(), c.name.c_str(), kavri / m);
		printf("\n");
	}
	return 0;
}

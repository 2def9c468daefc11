// kavri-demo-log: the system log of the demo.
//   kavri-demo-log FILE COMMAND [ARGUMENT...]
// Takes a /dev/log of its own in a mount namespace of its own (see
// tests/support/dev_log.h) and runs COMMAND there, so that what COMMAND and
// the processes it starts (kavri's daemon among them) send with syslog()
// comes here, and never to the machine's system log. Each entry is
// appended to FILE as it comes, one a line:
//   daemon.info kavri[4242]: Keep-alive daemon started, pid: 4242
// The log ends with COMMAND, whose exit status this is.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "dev_log.h"

namespace {

const char *facility_name(int priority)
{
	static const char *const names[] = {"kern", "user", "mail", "daemon", "auth", "syslog", "lpr", "news",
	                                    "uucp", "cron", "authpriv", "ftp"};
	int f = priority >> 3;
	return f >= 0 && f < 12 ? names[f] : "local";
}

const char *level_name(int priority)
{
	static const char *const names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
	return names[priority & 7];
}

[[noreturn]] void keep_log(int sock, FILE *out)
{
	std::string datagram;
	while (next_datagram(sock, &datagram)) {
		SyslogLine l;
		if (parse_syslog_datagram(datagram, &l))
			std::fprintf(out, "%s.%s %s[%d]: %s\n", facility_name(l.priority), level_name(l.priority),
			             l.ident.c_str(), static_cast<int>(l.pid), l.message.c_str());
		else
			std::fprintf(out, "%s\n", datagram.c_str());
		std::fflush(out);
	}
	_exit(1);
}

}  // namespace

int main(int argc, char **argv)
{
	if (argc < 3) {
		std::fprintf(stderr, "usage: %s FILE COMMAND [ARGUMENT...]\n", argv[0]);
		return 2;
	}
	FILE *out = std::fopen(argv[1], "a");
	if (out == nullptr) {
		std::fprintf(stderr, "%s: cannot open %s: %s\n", argv[0], argv[1], std::strerror(errno));
		return 1;
	}
	std::string why;
	int sock = take_dev_log(&why);
	if (sock < 0) {
		std::fprintf(stderr, "%s: no /dev/log of its own: %s\n", argv[0], why.c_str());
		return 1;
	}
	// The log keeper is a child that dies with this process, which becomes
	// COMMAND.
	pid_t parent = getpid();
	pid_t keeper = fork();
	if (keeper < 0) {
		std::fprintf(stderr, "%s: fork: %s\n", argv[0], std::strerror(errno));
		return 1;
	}
	if (keeper == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (getppid() != parent)
			_exit(0);
		close(STDIN_FILENO);
		keep_log(sock, out);
	}
	close(sock);
	std::fclose(out);
	execvp(argv[2], argv + 2);
	std::fprintf(stderr, "%s: cannot run %s: %s\n", argv[0], argv[2], std::strerror(errno));
	return 127;
}

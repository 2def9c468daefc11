// kavri-demo-log: the system log of the demo. Run in a mount namespace of
// its own (demo/run runs under unshare -m), it takes /dev/log there, so
// that what kavri sends with syslog() comes here and never to the
// machine's system log, and prints each entry as it comes:
//   daemon.info kavri[4242]: Keep-alive daemon started, pid: 4242
//   kavri-demo-log [--ready FILE]
// With --ready it creates FILE once it listens. Runs until SIGTERM or
// SIGINT, or until the process that started it ends.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
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

}  // namespace

int main(int argc, char **argv)
{
	std::string ready;
	if (argc == 3 && std::string(argv[1]) == "--ready") {
		ready = argv[2];
	} else if (argc != 1) {
		std::fprintf(stderr, "usage: %s [--ready FILE]\n", argv[0]);
		return 2;
	}
	prctl(PR_SET_PDEATHSIG, SIGTERM);
	std::string why;
	int sock = take_dev_log(&why);
	if (sock < 0) {
		std::fprintf(stderr, "%s: cannot take /dev/log: %s\n", argv[0], why.c_str());
		return 1;
	}
	if (!ready.empty()) {
		FILE *f = std::fopen(ready.c_str(), "w");
		if (f == nullptr || std::fclose(f) != 0) {
			std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], ready.c_str(), std::strerror(errno));
			return 1;
		}
	}
	static char buf[65536];
	for (;;) {
		ssize_t n = recv(sock, buf, sizeof buf, 0);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			std::fprintf(stderr, "%s: %s\n", argv[0], std::strerror(errno));
			return 1;
		}
		std::string datagram(buf, static_cast<size_t>(n));
		SyslogLine l;
		if (parse_syslog_datagram(datagram, &l))
			std::printf("%s.%s %s[%d]: %s\n", facility_name(l.priority), level_name(l.priority), l.ident.c_str(),
			            static_cast<int>(l.pid), l.message.c_str());
		else
			std::printf("%s\n", datagram.c_str());
		std::fflush(stdout);
	}
}

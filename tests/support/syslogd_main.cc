// kavri-test-syslogd DIR: a stand-in system log for tests. Binds /dev/log
// and appends every datagram to DIR/log as "<length>:<bytes>\n".
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char *argv[])
{
	if (argc != 2)
		return 2;
	std::string dir = argv[1];
	int out = open((dir + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (out < 0)
		return 1;
	int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un a = {};
	a.sun_family = AF_UNIX;
	strcpy(a.sun_path, "/dev/log");
	unlink(a.sun_path);
	if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
		return 1;
	chmod(a.sun_path, 0666);
	// Tell the starter we are listening.
	FILE *pf = fopen((dir + "/sink.pid").c_str(), "w");
	if (pf != nullptr) {
		fprintf(pf, "%ld\n", static_cast<long>(getpid()));
		fclose(pf);
	}
	static char buf[65536];
	for (;;) {
		ssize_t n = recv(s, buf, sizeof buf, 0);
		if (n < 0)
			continue;
		std::string rec = std::to_string(n) + ":" + std::string(buf, static_cast<size_t>(n)) + "\n";
		if (write(out, rec.data(), rec.size()) < 0)
			return 1;
	}
}

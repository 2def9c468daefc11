// Interoperation: the built kavri logs in, reports and logs out against
// nginx serving HTTPS on 127.0.0.1 with a certificate from a CA of the
// test's own. nginx runs in the foreground as this test's child, with its
// configuration, PID file and logs in a temporary directory, and is
// stopped on every path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "helpers.h"
#include "pki.h"

namespace {

const char NGINX[] = "/usr/sbin/nginx";

// A port on 127.0.0.1 that was free a moment ago.
int free_port()
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof a;
	int port = 0;
	if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
	    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
		port = ntohs(a.sin_port);
	close(fd);
	return port;
}

bool accepts(int port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
	close(fd);
	return ok;
}

// nginx as a child in the foreground; stopped and reaped at scope end.
class Nginx {
public:
	Nginx(const std::string &dir, int port)
	{
		pid_ = fork();
		if (pid_ == 0) {
			int log = open((dir + "/nginx.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
			dup2(log, 1);
			dup2(log, 2);
			execl(NGINX, NGINX, "-p", (dir + "/").c_str(), "-c", (dir + "/nginx.conf").c_str(), "-e",
			      (dir + "/error.log").c_str(), static_cast<char *>(nullptr));
			_exit(127);
		}
		for (int i = 0; i < 100 && pid_ > 0 && !up_; i++) {
			up_ = accepts(port);
			if (!up_)
				std::this_thread::sleep_for(std::chrono::milliseconds(50));
		}
	}
	~Nginx()
	{
		if (pid_ <= 0)
			return;
		kill(pid_, SIGTERM);
		for (int i = 0; i < 100; i++) {
			if (waitpid(pid_, nullptr, WNOHANG) == pid_)
				return;
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
		}
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
	Nginx(const Nginx &) = delete;
	Nginx &operator=(const Nginx &) = delete;
	bool up() const { return up_; }

private:
	pid_t pid_ = -1;
	bool up_ = false;
};

TEST(Nginx, LoginStatusAndLogoutOverHttps)
{
	if (access(NGINX, X_OK) != 0)
		SKIP_OR_FAIL("nginx is not installed (tests/run installs Debian's nginx-light)");
	TempDir dir;
	TestPki pki(dir.path());
	IssuedCert cert = pki.issue("portal", "DNS:localhost,IP:127.0.0.1");
	ASSERT_TRUE(cert.ok);
	int port = free_port();
	ASSERT_GT(port, 0);
	std::string d = dir.path();
	write_file(dir.file("nginx.conf"),
	           "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\n"
	           "error_log " + d + "/error.log;\nevents { worker_connections 16; }\n"
	           "http {\n  access_log " + d + "/access.log;\n"
	           "  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d + "/proxy;\n"
	           "  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n"
	           "  scgi_temp_path " + d + "/scgi;\n"
	           "  server {\n    listen 127.0.0.1:" + std::to_string(port) + " ssl;\n"
	           "    ssl_certificate " + cert.cert_file + ";\n    ssl_certificate_key " + cert.key_file + ";\n"
	           "    ssl_protocols TLSv1.2 TLSv1.3;\n"
	           "    location = /sd/init { return 200 \"<form>Please sign in.</form>\\n\"; }\n"
	           "    location = /sd/login { return 200 \"Welcome. /sd/create_session_window\\n\"; }\n"
	           "    location = /sd/logout { return 200 \"Signed out. Login again\\n\"; }\n"
	           "  }\n}\n");
	Nginx nginx(d, port);
	ASSERT_TRUE(nginx.up()) << read_file(dir.file("nginx.out")) << read_file(dir.file("error.log"));

	write_file(dir.file("kavri.conf"), "SERV = localhost\nSERVER_PORT = " + std::to_string(port) +
	                                       "\nUSER = joe\nPASS = \"my secret\"\nDEAMON_S = false\nTLS = yes\n"
	                                       "TLS_CA_FILE = " + pki.ca_file() + "\n");
	struct Step {
		const char *mode;
		int status;
		const char *says;
	} steps[] = {
		{"-s", 255, "Current status: DISCONNECTED"},
		{"-l", 0, "SUCCESSFUL LOGIN"},
		{"-o", 0, "SUCCESSFUL LOGOUT"},
	};
	for (const Step &s : steps) {
		SCOPED_TRACE(s.mode);
		RunResult r = run_program({"-c", dir.file("kavri.conf"), "-v", s.mode});
		EXPECT_EQ(r.status, s.status) << r.out << r.err;
		EXPECT_NE(r.out.find(s.says), std::string::npos) << r.out;
		EXPECT_EQ(r.err.find("Failed to connect"), std::string::npos) << r.err;
	}
	std::string log = read_file(dir.file("access.log"));
	for (const char *line : {"\"GET /sd/init HTTP/1.0\" 200", "\"POST /sd/login HTTP/1.0\" 200",
	                         "\"GET /sd/logout HTTP/1.0\" 200"})
		EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

}  // namespace

// What the client tests share: a session record filled for a loopback
// server, the request bytes the server must see, the console messages
// split into (tag, text), and running a call in a child process.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/session.h"
#include "helpers.h"
#include "log/log.h"

namespace client_test {

// The settings and the session record as one object, the way these tests
// handle them: a setting is changed with `s.port = ...`, the state is read
// with `s.reply`, and `&s` is what the client's operations take. A copy
// runs on its own settings.
struct Session : login_config, login_session {
	Session() : login_config{}, login_session{} { conf = this; }
	Session(const Session &o) : login_config(o), login_session(o) { conf = this; }
	Session &operator=(const Session &o)
	{
		login_config::operator=(o);
		login_session::operator=(o);
		conf = this;
		return *this;
	}
};

// Every text field set, the server on loopback, the settings' defaults.
inline Session make_session(int port)
{
	Session s;
	s.username = "joe";
	s.password = "secret";
	s.server = "127.0.0.1";
	s.port = port;
	s.login_header = nullptr;
	s.username_key = "username";
	s.password_key = "password";
	s.login_footer = "submitForm=Login";
	s.logged_in_string = "/sd/create_session_window";
	s.logged_out_string = "Login again";
	s.init_page = "/sd/init";
	s.login_page = "/sd/login";
	s.logout_page = "/sd/logout";
	s.login_config::pid_file = "/nonexistent/kavri.pid";
	return s;
}

// How many descriptors of this process are TCP sockets connected to
// `port` on the far side: the client's, never the server's end of them
// (which is in this process too when the fake server runs in a thread).
inline int client_sockets_to(int port)
{
	std::set<std::string> inodes;
	if (DIR *d = opendir("/proc/self/fd")) {
		while (struct dirent *e = readdir(d)) {
			char link[64];
			std::string path = std::string("/proc/self/fd/") + e->d_name;
			ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
			if (n > 8 && std::string(link, 8) == "socket:[")
				inodes.insert(std::string(link + 8, static_cast<size_t>(n) - 9));
		}
		closedir(d);
	}
	int count = 0;
	for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
		std::istringstream lines(read_file(table));
		std::string line;
		std::getline(lines, line);  // the heading
		while (std::getline(lines, line)) {
			// sl local rem st tx:rx tr:when retrnsmt uid timeout inode
			std::istringstream f(line);
			std::string sl, local, remote, skip, inode;
			f >> sl >> local >> remote;
			for (int i = 0; i < 6; i++)
				f >> skip;
			f >> inode;
			size_t colon = remote.rfind(':');
			if (colon != std::string::npos && std::stoi(remote.substr(colon + 1), nullptr, 16) == port &&
			    inodes.count(inode) != 0)
				count++;
		}
	}
	return count;
}

// The requests as the server must receive them, written out from the
// templates by hand. `scheme` is the Referer's: "https" over TLS.
inline std::string probe_bytes(const std::string &page, const std::string &server,
                               const std::string &scheme = "http")
{
	return "GET " + page + " HTTP/1.0\r\nReferer: " + scheme + "://" + server + "\r\nHost: " + server +
	       "\r\nAccept: */*\r\n\r\n";
}

inline std::string logout_bytes(const std::string &page, const std::string &server, const std::string &init,
                                const std::string &scheme = "http")
{
	return "GET " + page + " HTTP/1.0\r\nReferer: " + scheme + "://" + server + init + "\r\nHost: " + server +
	       "\r\nAccept: */*\r\n\r\n";
}

inline std::string login_bytes(const std::string &page, const std::string &server, const std::string &init,
                               const std::string &form, const std::string &scheme = "http")
{
	return "POST " + page + " HTTP/1.0\r\nHost: " + server + "\r\nUser-Agent: kavri v1.3.3\r\nAccept: */*\r\n" +
	       "Referer: " + scheme + "://" + server + init + "\r\nContent-type: application/x-www-form-urlencoded\r\n" +
	       "Content-length: " + std::to_string(form.size() + 1) + "\r\n\r\n" + form + "\n\n";
}

// One console message: tag 'I', 'D' or 'E' and its text (without the line
// end the writer adds). Text that does not start with a prefix gets '?'.
struct Msg {
	char tag;
	std::string text;
	bool operator==(const Msg &o) const { return tag == o.tag && text == o.text; }
};

inline std::ostream &operator<<(std::ostream &os, const Msg &m)
{
	return os << m.tag << " \"" << m.text << "\"";
}

// The length of the prefix "<ctime> TAG kavri[pid]: " at `at`, or 0;
// `tag` gets the tag's first letter.
inline size_t prefix_at(const std::string &s, size_t at, const std::string &pid, char *tag)
{
	// "Thu Dec 10 00:41:20 2026": each character's class, then the rest.
	static const char shape[] = "Aaa Aaa _9 99:99:99 9999 ";
	size_t i = 0;
	for (; shape[i] != '\0'; i++) {
		if (at + i >= s.size())
			return 0;
		unsigned char c = static_cast<unsigned char>(s[at + i]);
		bool ok = shape[i] == 'A'   ? isupper(c)
		          : shape[i] == 'a' ? islower(c)
		          : shape[i] == '9' ? isdigit(c)
		          : shape[i] == '_' ? (c == ' ' || isdigit(c))
		                            : c == static_cast<unsigned char>(shape[i]);
		if (!ok)
			return 0;
	}
	for (const char *t : {"INF", "DBG", "ERR"}) {
		std::string rest = std::string(t) + " kavri[" + pid + "]: ";
		if (s.compare(at + i, rest.size(), rest) == 0) {
			*tag = t[0];
			return i + rest.size();
		}
	}
	return 0;
}

// Split a captured stream into messages; every message of `pid` starts at
// a line start with "<ctime> TAG kavri[pid]: ".
inline std::vector<Msg> messages(const std::string &stream, pid_t pid)
{
	std::string id = std::to_string(pid);
	std::vector<Msg> out;
	size_t at = 0;
	char tag = 0;  // none yet: text before the first prefix is junk
	auto take = [&](size_t end) {
		if (tag != 0)
			out.push_back({tag, stream.substr(at, end - at)});
		else if (end > 0)
			out.push_back({'?', stream.substr(0, end)});
	};
	for (size_t line = 0; line < stream.size(); line = stream.find('\n', line) + 1) {
		char t = 0;
		size_t n = prefix_at(stream, line, id, &t);
		if (n != 0) {
			take(line);
			tag = t;
			at = line + n;
		}
		if (stream.find('\n', line) == std::string::npos)
			break;
	}
	take(stream.size());
	for (auto &m : out) {
		if (m.tag == '?')
			continue;
		if (!m.text.empty() && m.text.back() == '\n')
			m.text.pop_back();
		else
			m.tag = '!';  // a message without its line end
	}
	return out;
}

// A function run in a child process with its own standard output and
// error; `report` is a short text the child hands back.
struct ChildResult {
	std::string out, err, report;
	pid_t pid = -1;
	int status = -1;  // exit status, -1 when a signal ended it
	int signal = 0;
};

class Child {
public:
	explicit Child(const std::function<std::string()> &body)
	{
		fflush(stdout);
		fflush(stderr);
		pid_ = fork();
		if (pid_ != 0)
			return;
		int out = open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int err = open(dir_.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		dup2(out, 1);
		dup2(err, 2);
		std::string report = body();
		fflush(stdout);
		write_file(dir_.file("report"), report);
		_exit(0);
	}
	Child(const Child &) = delete;
	Child &operator=(const Child &) = delete;

	ChildResult wait()
	{
		ChildResult r;
		r.pid = pid_;
		int st = 0;
		if (pid_ > 0 && waitpid(pid_, &st, 0) == pid_) {
			if (WIFEXITED(st))
				r.status = WEXITSTATUS(st);
			else if (WIFSIGNALED(st))
				r.signal = WTERMSIG(st);
		}
		r.out = read_file(dir_.file("out"));
		r.err = read_file(dir_.file("err"));
		r.report = read_file(dir_.file("report"));
		return r;
	}

private:
	TempDir dir_;
	pid_t pid_ = -1;
};

}  // namespace client_test

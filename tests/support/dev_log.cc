#include "dev_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/unique_fd.h"

namespace {

std::string link_target(const char *path)
{
	char buf[PATH_MAX];
	ssize_t n = readlink(path, buf, sizeof buf - 1);
	return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

std::string failed(const std::string &what)
{
	return what + ": " + strerror(errno);
}

// Put the entry `name` of the old /dev (open as `old`) into the new one.
// Links are copied, the pseudo-terminal multiplexer is made anew (it finds
// its terminals by looking beside itself, which a bound file cannot), and
// everything else is bound, directories with what is mounted below them.
bool copy_entry(int old, const char *name, std::string *why)
{
	struct stat st;
	if (fstatat(old, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
		*why = failed(std::string("stat /dev/") + name);
		return false;
	}
	std::string to = std::string("/dev/") + name;
	std::string from = "/proc/self/fd/" + std::to_string(old) + "/" + name;
	bool ok;
	if (S_ISLNK(st.st_mode)) {
		std::string target = link_target(from.c_str());
		ok = !target.empty() && symlink(target.c_str(), to.c_str()) == 0;
	} else if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(5, 2)) {
		ok = mknod(to.c_str(), st.st_mode, st.st_rdev) == 0 && chown(to.c_str(), st.st_uid, st.st_gid) == 0;
	} else {
		ok = (S_ISDIR(st.st_mode) ? mkdir(to.c_str(), st.st_mode & 07777)
		                          : mknod(to.c_str(), S_IFREG | 0600, 0)) == 0 &&
		     mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
	}
	if (!ok)
		*why = failed("putting back " + to);
	return ok;
}

}  // namespace

bool parse_syslog_datagram(const std::string &rec, SyslogLine *l)
{
	if (rec.empty() || rec[0] != '<')
		return false;
	size_t open_b = rec.find('[');
	if (open_b == std::string::npos)
		return false;
	size_t close_b = rec.find("]: ", open_b);
	if (close_b == std::string::npos)
		return false;
	size_t ident_start = rec.rfind(' ', open_b);
	ident_start = ident_start == std::string::npos ? 0 : ident_start + 1;
	l->priority = atoi(rec.c_str() + 1);
	l->ident = rec.substr(ident_start, open_b - ident_start);
	l->pid = static_cast<pid_t>(atol(rec.c_str() + open_b + 1));
	l->message = rec.substr(close_b + 3);
	return true;
}

bool next_datagram(int sock, std::string *datagram)
{
	static char buf[65536];
	for (;;) {
		ssize_t n = recv(sock, buf, sizeof buf, 0);
		if (n >= 0) {
			datagram->assign(buf, static_cast<size_t>(n));
			return true;
		}
		if (errno != EINTR)
			return false;
	}
}

int take_dev_log(std::string *why)
{
	if (unshare(CLONE_NEWNS) != 0) {
		*why = failed("unshare (needs root)");
		return -1;
	}
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
		*why = failed("making / private");
		return -1;
	}
	unique_fd old(open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (!old) {
		*why = failed("opening /dev");
		return -1;
	}
	if (mount("kavri-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=64k") != 0) {
		*why = failed("mounting a tmpfs on /dev");
		return -1;
	}
	bool ok = true;
	DIR *d = fdopendir(dup(old.get()));
	if (d == nullptr) {
		*why = failed("reading /dev");
		ok = false;
	}
	while (ok) {
		errno = 0;
		struct dirent *e = readdir(d);
		if (e == nullptr) {
			if (errno != 0) {
				*why = failed("reading /dev");
				ok = false;
			}
			break;
		}
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 && strcmp(e->d_name, "log") != 0)
			ok = copy_entry(old.get(), e->d_name, why);
	}
	if (d != nullptr)
		closedir(d);

	unique_fd sock(ok ? socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1);
	struct sockaddr_un a = {};
	a.sun_family = AF_UNIX;
	strcpy(a.sun_path, "/dev/log");
	if (ok && (!sock || bind(sock.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
	           chmod(a.sun_path, 0666) != 0)) {
		*why = failed("binding /dev/log");
		ok = false;
	}
	if (!ok) {
		umount2("/dev", MNT_DETACH);
		return -1;
	}
	return sock.release();
}

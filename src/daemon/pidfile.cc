#include "daemon/pidfile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "base/unique_fd.h"

const char *const pid_fallbacks[3] = {"/tmp/kavri.pid", "~/kavri.pid", nullptr};

namespace {

// The daemon's PID file stays open, and so locked, until the process ends:
// closing any descriptor of the file would drop the lock. Set once, before
// the daemon starts its signal listener, which reads them on SIGTERM.
int held_fd = -1;
const char *held_path = nullptr;

// How often a daemon's claim starts again when the file it locked was
// removed or replaced at its path meanwhile.
constexpr int CLAIM_TRIES = 5;

// A file we may write our PID into: a plain file of ours with no other
// name, so that a link planted in a shared directory is never written.
bool ours_to_write(int fd)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return false;
	return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// A file whose number we may act upon: a plain file that only we or root
// could have written, under no other name. A second name is never a
// daemon's (it writes only files with one), but may be a link that a user
// planted in /tmp to another program's PID file, which would pass every
// other test here, lock included.
bool trusted_to_read(int fd)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return false;
	if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
		return false;
	if (st.st_uid != geteuid() && st.st_uid != 0)
		return false;
	return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Open `path` for writing our PID; -1 with errno when it cannot be used.
int open_for_write(const char *path)
{
	unique_fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
	if (fd.get() < 0)
		return -1;
	if (!ours_to_write(fd.get())) {
		errno = EPERM;
		return -1;
	}
	return fd.release();
}

// Open `path` for reading a PID; -1 with errno when it cannot be trusted.
int open_for_read(const char *path)
{
	unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
	if (fd.get() < 0)
		return -1;
	if (!trusted_to_read(fd.get())) {
		errno = EPERM;
		return -1;
	}
	return fd.release();
}

// The one walk over the PID file paths: `path` (when given), then each
// fallback in order, until `open_one` gives a descriptor. *tried names the
// path of that descriptor, or the last path tried; errno is then that of
// the last failure.
int open_first(const char *path, int (*open_one)(const char *), const char **tried)
{
	const char *const *next = pid_fallbacks;
	const char *current = path != nullptr ? path : *next++;
	int fd = -1;
	while (current != nullptr) {
		*tried = current;
		fd = open_one(current);
		if (fd >= 0)
			break;
		current = *next++;
	}
	return fd;
}

// The lock over the whole file, as the daemon takes it.
struct flock whole_file(short type)
{
	struct flock fl = {};
	fl.l_type = type;
	fl.l_whence = SEEK_SET;
	fl.l_start = 0;
	fl.l_len = 0;
	return fl;
}

int write_all(int fd, const char *buf, size_t len)
{
	while (len > 0) {
		ssize_t n = write(fd, buf, len);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		buf += n;
		len -= static_cast<size_t>(n);
	}
	return 0;
}

// Leading white space, an optional sign, digits; whatever follows is
// ignored. The number must fit a process ID, else it is no number at all.
bool parse_pid(const char *text, int *out)
{
	char *end = nullptr;
	errno = 0;
	long v = strtol(text, &end, 10);
	if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX)
		return false;
	*out = static_cast<int>(v);
	return true;
}

// Who holds a write-conflicting lock on the file: its PID, or 0.
pid_t lock_owner(int fd)
{
	struct flock fl = whole_file(F_WRLCK);
	if (fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK)
		return 0;
	return fl.l_pid;
}

// Take a lock over the whole file without waiting: true, or false with
// errno (EAGAIN or EACCES when another process holds a conflicting lock).
bool take_lock(int fd, short type)
{
	struct flock fl = whole_file(type);
	return fcntl(fd, F_SETLK, &fl) == 0;
}

bool held_by_another(int err)
{
	return err == EAGAIN || err == EACCES;
}

// Whether `path` names the file open on `fd`: a file removed or replaced
// since it was opened does not.
bool same_file(int fd, const char *path)
{
	struct stat open_st, path_st;
	if (fstat(fd, &open_st) != 0 || lstat(path, &path_st) != 0)
		return false;
	return open_st.st_dev == path_st.st_dev && open_st.st_ino == path_st.st_ino;
}

// Remove `path` as it is: 0 when removed or absent, -1 otherwise.
int unlink_path(const char *path)
{
	if (unlink(path) == 0 || errno == ENOENT)
		return 0;
	return -1;
}

}  // namespace

pid_claim pid_file_claim(const char *path, long pid)
{
	pid_claim c = {-1, false, nullptr, 0};
	// The first path that opens ends the search, whatever happens next.
	unique_fd file(open_first(path, open_for_write, &c.path));
	for (int tries = 1; file.get() >= 0; tries++) {
		// Locked before anything is changed: a daemon never touches a live
		// daemon's file, nor one that a run is removing.
		if (!take_lock(file.get(), F_WRLCK)) {
			c.error = errno;
			c.taken = held_by_another(c.error);
			return c;
		}
		if (same_file(file.get(), c.path) && ours_to_write(file.get()))
			break;
		// Removed or replaced at the path since it was opened (a run removed
		// it between our open and our lock): claim what is there now.
		if (tries == CLAIM_TRIES) {
			c.error = EAGAIN;
			return c;
		}
		file.reset(open_for_write(c.path));
	}
	if (file.get() < 0) {
		c.error = errno;
		return c;
	}

	// A leftover file with looser bits would be distrusted by every reader.
	char text[32];
	int len = snprintf(text, sizeof text, "%ld\n", pid);
	if (fchmod(file.get(), 0644) != 0 || ftruncate(file.get(), 0) != 0 ||
	    write_all(file.get(), text, static_cast<size_t>(len)) != 0) {
		c.error = errno;
		return c;
	}

	// An earlier descriptor (a second claim in one process) stays open as
	// well: closing it would drop the lock just taken if it names the
	// same file.
	held_fd = file.release();
	held_path = c.path;
	c.result = 0;
	return c;
}

void pid_file_release()
{
	if (held_fd >= 0 && same_file(held_fd, held_path))
		unlink(held_path);
}

daemon_pid pid_file_find(const char *path)
{
	pid_t holder = 0;
	int pid = pid_file_read(path, &holder);
	bool live = pid > 1 && pid != static_cast<int>(getpid()) && holder == pid;
	return {pid, live};
}

int pid_file_read(const char *path, pid_t *lock_holder)
{
	if (lock_holder != nullptr)
		*lock_holder = 0;
	const char *tried = nullptr;
	unique_fd file(open_first(path, open_for_read, &tried));
	if (file.get() < 0)
		return errno == ENOENT ? 0 : -1;

	char text[128];
	ssize_t n = read(file.get(), text, sizeof text - 1);
	if (n < 0)
		return -1;
	text[n] = '\0';
	int pid = 0;
	if (!parse_pid(text, &pid))
		return -1;
	// Asked before the descriptor closes; a lock of our own would not show
	// here, and closing would drop it (locks belong to the process).
	if (lock_holder != nullptr)
		*lock_holder = lock_owner(file.get());
	return pid;
}

int pid_file_remove(const char *path, int wait_ms)
{
	for (int tries = 1;; tries++) {
		unique_fd file(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
		if (file.get() < 0) {
			if (errno == ENOENT)
				return 0;
			// A link, or a file we may not read: no daemon's lock to ask.
			return unlink_path(path);
		}
		// Our lock keeps every daemon's claim away while we decide and
		// remove; a daemon's lock keeps us away from its file.
		for (int waited = 0; !take_lock(file.get(), F_RDLCK); waited += 10) {
			if (!held_by_another(errno))
				return unlink_path(path);  // a file that takes no locks
			if (waited >= wait_ms)
				return PID_FILE_HELD;
			poll(nullptr, 0, 10);
		}
		// The path may name another file by now (the daemon we waited for
		// removed its own, and another was written): start again with it.
		if (same_file(file.get(), path) || tries == CLAIM_TRIES)
			return unlink_path(path);
	}
}

#include "daemon/pidfile.h"

#include <fcntl.h>
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
// closing any descriptor of the file would drop the lock.
int held_fd = -1;

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

}  // namespace

int pid_file_write(const char **path, long pid)
{
	const char *const *next = pid_fallbacks;
	int fd = -1;
	while (*path != nullptr) {
		fd = open_for_write(*path);
		if (fd >= 0)
			break;
		*path = *next;
		if (*next != nullptr)
			next++;
	}
	if (fd < 0)
		return -1;

	// The first path that opens ends the search, whatever happens next.
	unique_fd file(fd);
	// A leftover file with looser bits would be distrusted by every reader.
	if (fchmod(file.get(), 0644) != 0)
		return -1;
	// Lock before truncating: a second daemon must never empty a live
	// daemon's file.
	struct flock fl = whole_file(F_WRLCK);
	if (fcntl(file.get(), F_SETLK, &fl) != 0)
		return -1;
	if (ftruncate(file.get(), 0) != 0)
		return -1;
	char text[32];
	int len = snprintf(text, sizeof text, "%ld\n", pid);
	if (write_all(file.get(), text, static_cast<size_t>(len)) != 0)
		return -1;

	// An earlier descriptor (a second write in one process) stays open as
	// well: closing it would drop the lock just taken if it names the
	// same file.
	held_fd = file.release();
	return 0;
}

int pid_file_read(const char *path, pid_t *lock_holder)
{
	if (lock_holder != nullptr)
		*lock_holder = 0;
	const char *const *next = pid_fallbacks;
	const char *current = path != nullptr ? path : *next++;
	int fd = -1;
	int last_error = ENOENT;
	while (current != nullptr) {
		fd = open_for_read(current);
		if (fd >= 0)
			break;
		last_error = errno;
		current = *next;
		if (current != nullptr)
			next++;
	}
	if (fd < 0)
		return last_error == ENOENT ? 0 : -1;

	unique_fd file(fd);
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

int pid_file_remove(const char *path)
{
	if (unlink(path) == 0 || errno == ENOENT)
		return 0;
	return -1;
}

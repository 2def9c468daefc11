// The PID file through which foreground runs find the keep-alive daemon,
// and every rule about it: where it may lie, which file names a live
// daemon, when a file may be removed, and the daemon's lock on its own.
#pragma once

#include <sys/types.h>

// Further PID file paths, tried in this order after the configured path;
// ends at nullptr. "~" is a directory of that name, not the home.
extern const char *const pid_fallbacks[3];

// What the PID file says about a daemon.
struct daemon_pid {
	int pid;    // the number read (pid_file_read); only a positive one names a process
	bool live;  // that process holds the lock on the file, so it is the daemon
};

// Find the running daemon: the file is read as pid_file_read reads it,
// and its number is acted upon only while that process holds the file's
// lock; anything else is a stale or planted file. Never PID 1, never us.
daemon_pid pid_file_find(const char *path);

// What the daemon's claim of its PID file came to.
struct pid_claim {
	int result;        // 0: written, and locked for the life of the process; -1: failed
	bool taken;        // failed because another process holds the file's lock
	const char *path;  // the file written, or the last path tried
	int error;         // errno of the failure
};

// The daemon's claim: the first of `path` and the fallbacks that can be
// made ours gets "<pid>\n" under a write lock (F_SETLK) that lasts until
// the process ends. A file whose lock another process holds is never
// touched, and no further path is tried after it: a daemon runs already,
// or a run is removing the file to start one.
pid_claim pid_file_claim(const char *path, long pid);

// On the daemon's way out: remove the file it claimed, while the path still
// names the very file it holds the lock on (one that took its place is
// another's). Safe to call from the signal listener; nothing without a claim.
void pid_file_release();

// The number in the first trustworthy file of `path` and the fallbacks:
// 0 when none opens and the last failure was ENOENT, -1 when none opens
// otherwise or the file holds no number that fits a process ID. When
// `lock_holder` is given it receives the PID holding a write lock on the
// file that was read, or 0 when none does. Not for the daemon itself:
// closing the file it read would drop the daemon's own lock, as locks
// belong to the process, not to the descriptor.
int pid_file_read(const char *path, pid_t *lock_holder = nullptr);

// What pid_file_remove leaves when a process holds the file's lock.
inline constexpr int PID_FILE_HELD = 1;

// Remove the file, unless a process holds its lock: that file is a daemon's
// (or being claimed by one) and stays. Waits up to `wait_ms` for the lock
// to go (a daemon told to quit). 0 when removed or absent, PID_FILE_HELD
// when left to its holder, -1 otherwise (errno kept).
int pid_file_remove(const char *path, int wait_ms = 0);

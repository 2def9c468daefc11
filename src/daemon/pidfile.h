// The PID file through which foreground runs find the keep-alive daemon.
#pragma once

#include <sys/types.h>

// Further PID file paths, tried in this order after the session's path;
// ends at nullptr. "~" is a directory of that name, not the home.
extern const char *const pid_fallbacks[3];

// Write "<pid>\n" to *path, or to the first fallback path that can be
// made ours; the file is locked (F_SETLK write lock) for the life of the
// process. On success *path names the file written; when no path could be
// opened it is nullptr. 0, or -1 with errno set.
int pid_file_write(const char **path, long pid);

// The number in the first trustworthy file of `path` and the fallbacks:
// 0 when none opens and the last failure was ENOENT, -1 when none opens
// otherwise or the file holds no number that fits a process ID. When
// `lock_holder` is given it receives the PID holding a write lock on the
// file that was read, or 0 when none does. Not for the daemon itself:
// closing the file it read would drop the daemon's own lock, as locks
// belong to the process, not to the descriptor.
int pid_file_read(const char *path, pid_t *lock_holder = nullptr);

// Remove the file: 0 when removed or absent, -1 otherwise (errno kept).
int pid_file_remove(const char *path);

// The state file for scripts: one JSON object, schema 1, that the daemon
// replaces whole after each check and each change.
#pragma once

#include <string>

#include "daemon/standing.h"

inline constexpr int STATE_FILE_SCHEMA = 1;

// The file's text: an object with one member a line, times in UTC
// ("2026-12-10T10:05:12Z"), "next_check_by" null while a login is under
// way, "interface" null when none is set. Texts are escaped as JSON
// wants; a byte that is not part of valid UTF-8 becomes U+FFFD.
std::string state_file_text(const daemon_standing &s, const char *version);

// Replace `path` by a file holding `text`, mode 0644: written beside it
// under the name path + ".tmp", then renamed over it, so that a reader
// sees the old file or the new one, never a part. 0, or -1 with errno.
int state_file_write(const char *path, const std::string &text);

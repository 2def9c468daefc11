// Loading the configuration file into the session record.
#pragma once

#include "frame/session.h"

// Choose the file (`conf_path`, else $HOME/.kavrirc when readable, else
// the system file), read it, list the settings with MODE_DEBUG, and fill
// the session record. nullptr, after reporting why, when the file cannot
// be read or the user name or password is missing.
login_session *load_config(const char *conf_path, unsigned verbosity);

// The system-wide configuration file.
inline constexpr const char SYSTEM_CONF_FILE[] = "/usr/local/etc/kavri.conf";

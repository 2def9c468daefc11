// Loading the configuration file into the settings in force.
#pragma once

#include "base/session.h"

// The system-wide configuration file.
inline constexpr const char SYSTEM_CONF_FILE[] = "/usr/local/etc/kavri.conf";

// What the command line puts over the file's settings.
struct config_overrides {
	const char *pid_file = nullptr;  // -p, or none
	int port = -1;                   // -P, or -1 for none
};

// Choose the file (`conf_path`, else $HOME/.kavrirc when readable, else
// the system file), read it, list the settings with MODE_DEBUG, and fill
// the settings in force, the overrides included. nullptr, after reporting
// why, when the file cannot be read or the user name or password is
// missing. The result lives until the process ends.
const login_config *load_config(const char *conf_path, const config_overrides &overrides, unsigned verbosity);

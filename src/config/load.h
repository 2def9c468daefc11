// Loading the configuration file into the settings in force.
#pragma once

#include "base/session.h"

// The system-wide configuration file.
inline constexpr const char SYSTEM_CONF_FILE[] = "/usr/local/etc/kavri.conf";

// What the command line puts over the file's settings.
struct config_overrides {
	const char *pid_file = nullptr;  // -p, or none
	const char *port = nullptr;      // -P as given, or none; "-1" is none too
};

// Choose the file (`conf_path`, else $HOME/.kavrirc when readable, else
// the system file), read it, list the settings with MODE_DEBUG, and fill
// the settings in force, the overrides included. nullptr, after reporting
// why, when the file cannot be read, stops at a syntax error, lacks the
// user name or password, or names a port outside 1 to 65535: a run then
// sends nothing anywhere. The result lives until the process ends.
const login_config *load_config(const char *conf_path, const config_overrides &overrides, unsigned verbosity);

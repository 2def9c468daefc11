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
// why in one line, when the file cannot be read, stops at a syntax error,
// lacks the user name or password, names a port outside 1 to 65535, gives
// TLS, WATCH_NETWORK or LOGIN_FORM a value that is neither yes nor no,
// leaves a marker empty, gives a PROBE_URL that is not an absolute http or
// https URL or a malformed LOGIN_FIELDS, sets TLS_PIN while TLS is off, or
// TLS_CA_FILE while TLS is off and neither LOGIN_FORM nor PROBE_URL may
// lead to an https page elsewhere, has a malformed
// pin, or names a CA file that cannot be read: a run then sends nothing
// anywhere. TLS_CA_FILE comes out absolute, against the working
// directory. The result lives until the process ends.
const login_config *load_config(const char *conf_path, const config_overrides &overrides, unsigned verbosity);

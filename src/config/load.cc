#include "config/load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/reader.h"
#include "config/settings.h"
#include "log/log.h"

namespace {

// What loading keeps for the rest of the run: the values read, which the
// settings' texts point into, and the path of the file.
struct loaded_config {
	conf_values values;
	std::string path;
	login_config conf;
};

loaded_config loaded;

// The user's own file when it can be opened for reading, else the system file.
std::string choose_file(const char *conf_path)
{
	if (conf_path != nullptr)
		return conf_path;
	const char *home = getenv("HOME");
	if (home != nullptr) {
		std::string user = std::string(home) + "/.kavrirc";
		int fd = open(user.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
		if (fd >= 0) {
			close(fd);
			return user;
		}
	}
	return SYSTEM_CONF_FILE;
}

}  // namespace

const login_config *load_config(const char *conf_path, const config_overrides &overrides, unsigned verbosity)
{
	loaded = loaded_config{};
	loaded.path = choose_file(conf_path);
	const char *path = loaded.path.c_str();

	int read_result = conf_read_file(loaded.values, path);
	if (read_result < 0) {
		log_msg(verbosity, LOG_ERR, "Cannot find configuration file %s: %s\n", path, strerror(errno));
		return nullptr;
	}

	log_msg(verbosity, LOG_DEBUG, "Read configuration:");
	for (int row = 0; row < CONF_SETTINGS; row++) {
		const auto &v = loaded.values.value[row];
		if (conf_table[row].listed_when_set && !loaded.values.from_file[row])
			continue;
		log_msg(verbosity, LOG_DEBUG, "%s = %s", conf_table[row].names[0], v ? v->c_str() : "(null)");
	}

	login_config &c = loaded.conf;
	conf_apply(loaded.values, &c);
	c.conf_file = path;
	struct stat st;
	c.conf_exposed = stat(path, &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
	if (overrides.pid_file != nullptr)
		c.pid_file = overrides.pid_file;
	const char *port_text = conf_lookup(loaded.values, "SERVER_PORT");
	if (overrides.port != nullptr && conf_atoi(overrides.port) != -1) {
		port_text = overrides.port;
		c.port = conf_atoi(port_text);
	}

	// What was read past a syntax error is unknown: a server or password
	// from before it may be incomplete, so nothing may be sent on it.
	if (read_result != 0) {
		log_msg(verbosity, LOG_ERR, "Configuration file %s has a syntax error: stopped, nothing was sent.", path);
		return nullptr;
	}
	if (c.username == nullptr || c.password == nullptr) {
		if (c.username == nullptr)
			log_msg(verbosity, LOG_ERR, "Failed to read username from configuration file %s.\n", path);
		else
			log_msg(verbosity, LOG_ERR, "Failed to read password from configuration file %s.\n", path);
		log_msg(verbosity, LOG_ERR, "You must supply at least a username and password.\n");
		return nullptr;
	}
	if (c.port < 1 || c.port > 65535) {
		log_msg(verbosity, LOG_ERR, "Port %s is not a port number from 1 to 65535: nothing was sent.", port_text);
		return nullptr;
	}
	return &c;
}

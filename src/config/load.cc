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
#include "http/form_encoding.h"
#include "http/url.h"
#include "log/log.h"
#include "net/tls_pins.h"

namespace {

// What loading keeps for the rest of the run: the values read, which the
// settings' texts point into, and the path of the file.
struct loaded_config {
	conf_values values;
	std::string path;
	std::string ca_file;  // TLS_CA_FILE made absolute
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

// Whether the configuration may reach a host other than SERV over HTTPS,
// where TLS_CA_FILE serves too: a form login follows whatever URLs the
// portal's pages name, and a probe URL may be an https:// one.
bool conf_may_use_https_elsewhere(const login_config &c)
{
	return c.login_form || c.probe_url != nullptr;
}

// `path` against the working directory when it is relative: the daemon
// changes to "/". False, with errno, when the directory is unknown.
bool make_absolute(const char *path, std::string *out)
{
	if (path[0] == '/') {
		*out = path;
		return true;
	}
	char cwd[4096];
	if (getcwd(cwd, sizeof cwd) == nullptr)
		return false;
	*out = std::string(cwd) + "/" + path;
	return true;
}

// Whether the file can be opened and read as a file. False with errno.
bool readable_file(const char *path)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
	if (fd < 0)
		return false;
	struct stat st;
	int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
	close(fd);
	errno = err;
	return err == 0;
}

// The settings that could make a run send something other than what the
// file says (in clear what was meant for TLS, a reply read as a login),
// checked before anything is sent. False after reporting the first.
bool check_settings(const conf_values &values, int unread, login_config &c, unsigned verbosity)
{
	if (unread >= 0) {
		log_msg(verbosity, LOG_ERR, "%s \"%s\" is not true, yes, on, false, no or off: nothing was sent.",
		        conf_table[unread].names[0], conf_value(values, unread));
		return false;
	}
	const struct {
		const char *name;
		const char *text;
	} markers[] = {{"LOGGED_IN_STRING", c.logged_in_string}, {"LOGGED_OUT_STRING", c.logged_out_string}};
	for (const auto &m : markers) {
		if (*m.text == '\0') {
			log_msg(verbosity, LOG_ERR, "%s is empty, so every reply would hold it: nothing was sent.", m.name);
			return false;
		}
	}
	if (!c.tls && c.tls_pin != nullptr) {
		log_msg(verbosity, LOG_ERR, "TLS_PIN is set but TLS is off (a pin is for SERV over TLS): nothing was sent.");
		return false;
	}
	if (!c.tls && c.tls_ca_file != nullptr && !conf_may_use_https_elsewhere(c)) {
		log_msg(verbosity, LOG_ERR, "TLS_CA_FILE is set but TLS is off: nothing was sent.");
		return false;
	}
	if (c.probe_url != nullptr) {
		std::optional<url> u = url_parse(c.probe_url);
		if (!u || !u->web) {
			log_msg(verbosity, LOG_ERR, "PROBE_URL \"%s\" is not an absolute http or https URL: nothing was sent.",
			        c.probe_url);
			return false;
		}
	}
	if (c.login_fields != nullptr && !parse_login_fields(c.login_fields)) {
		// Its values may be secrets (a voucher): the line does not show them.
		log_msg(verbosity, LOG_ERR,
		        "LOGIN_FIELDS is not a list of name=value entries joined with \"&\" (%%XX for a byte): nothing was "
		        "sent.");
		return false;
	}
	if (c.tls_pin != nullptr && !tls_pins_valid(c.tls_pin)) {
		log_msg(verbosity, LOG_ERR, "TLS_PIN \"%s\" is not a list of base64 SHA-256 digests: nothing was sent.",
		        c.tls_pin);
		return false;
	}
	if (c.tls_ca_file != nullptr) {
		if (!make_absolute(c.tls_ca_file, &loaded.ca_file) || !readable_file(loaded.ca_file.c_str())) {
			int err = errno;
			const char *shown = loaded.ca_file.empty() ? c.tls_ca_file : loaded.ca_file.c_str();
			log_msg(verbosity, LOG_ERR, "TLS_CA_FILE %s cannot be read: %s: nothing was sent.", shown, strerror(err));
			return false;
		}
		c.tls_ca_file = loaded.ca_file.c_str();
	}
	return true;
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
		if (conf_table[row].listed_when_set && !loaded.values.from_file[row])
			continue;
		const char *v = conf_value(loaded.values, row);
		log_msg(verbosity, LOG_DEBUG, "%s = %s", conf_table[row].names[0], v != nullptr ? v : "(null)");
	}

	login_config &c = loaded.conf;
	int unread = conf_apply(loaded.values, &c);
	c.conf_file = path;
	struct stat st;
	c.conf_exposed = stat(path, &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
	if (overrides.pid_file != nullptr)
		c.pid_file = overrides.pid_file;
	const char *port_text = conf_value(loaded.values, conf_row("SERVER_PORT"));
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
	if (!check_settings(loaded.values, unread, c, verbosity))
		return nullptr;
	return &c;
}

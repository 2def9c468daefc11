#include "config/load.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/reader.h"
#include "config/settings.h"
#include "log/log.h"

namespace {

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

login_session *load_config(const char *conf_path, unsigned verbosity)
{
	login_session *s = session_instance();
	std::string path = choose_file(conf_path);
	free(s->conf_file);  // the record owns its copy: one per load
	s->conf_file = strdup(path.c_str());
	if (s->conf_file == nullptr)
		return nullptr;

	if (conf_read_file(conf_table, s->conf_file) < 0) {
		log_msg(verbosity, LOG_ERR, "Cannot find configuration file %s: %s\n", s->conf_file, strerror(errno));
		return nullptr;
	}

	log_msg(verbosity, LOG_DEBUG, "Read configuration:");
	for (const conf_param *p = conf_table; p->names[0] != nullptr; p++)
		log_msg(verbosity, LOG_DEBUG, "%s = %s", p->names[0], p->has_value ? p->value.c_str() : "(null)");

	s->server = conf_lookup(conf_table, "SERV");
	s->init_page = conf_lookup(conf_table, "INIT_PAGE");
	s->login_page = conf_lookup(conf_table, "LOGIN_PAGE");
	s->logout_page = conf_lookup(conf_table, "LOGOUT_PAGE");
	s->pid_file = conf_lookup(conf_table, "PID_FILE");
	s->login_header = conf_lookup(conf_table, "LOGIN_STRING_HEADER");
	s->username_key = conf_lookup(conf_table, "USERNAME_KEY");
	s->password_key = conf_lookup(conf_table, "PASSWORD_KEY");
	s->login_footer = conf_lookup(conf_table, "LOGIN_STRING_FOOTER");
	s->logged_in_string = conf_lookup(conf_table, "LOGGED_IN_STRING");
	s->logged_out_string = conf_lookup(conf_table, "LOGGED_OUT_STRING");
	s->port = conf_atoi(conf_lookup(conf_table, "SERVER_PORT"));
	s->daemon_start = conf_get_bool(conf_table, "DEAMON_S");
	s->daemon_login = strncasecmp(conf_lookup(conf_table, "DEAMON_T"), "login", 5) == 0;
	s->daemon_delay = conf_atoi(conf_lookup(conf_table, "DEAMON_D"));
	s->username = conf_lookup(conf_table, "USER");
	s->password = conf_lookup(conf_table, "PASS");

	if (s->username != nullptr && s->password != nullptr)
		return s;
	if (s->username == nullptr)
		log_msg(verbosity, LOG_ERR, "Failed to read username from configuration file %s.\n", s->conf_file);
	else
		log_msg(verbosity, LOG_ERR, "Failed to read password from configuration file %s.\n", s->conf_file);
	log_msg(verbosity, LOG_ERR, "You must supply at least a username and password.\n");
	return nullptr;
}

#include "config/settings.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

// The default server is a private-network address: it must be configured
// for any real use, and tests never reach it.
constexpr conf_setting conf_table[CONF_SETTINGS] = {
	{.names = {"USER", "USERNAME"}, .def = nullptr, .conv = conf_conv::text, .text = &login_config::username},
	{.names = {"PASS", "PASSWORD"}, .def = nullptr, .conv = conf_conv::text, .text = &login_config::password},
	{.names = {"SERV", "SERVER", "LOGIN_SERVER"},
	 .def = "192.168.1.1",
	 .conv = conf_conv::text,
	 .text = &login_config::server},
	{.names = {"SERVER_PORT", "PORT"}, .def = "80", .conv = conf_conv::decimal, .number = &login_config::port},
	{.names = {"LOGIN_STRING_HEADER", "LOGIN_DATA_HEADER"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::login_header},
	{.names = {"USERNAME_KEY"}, .def = "username", .conv = conf_conv::text, .text = &login_config::username_key},
	{.names = {"PASSWORD_KEY"}, .def = "password", .conv = conf_conv::text, .text = &login_config::password_key},
	{.names = {"LOGIN_STRING_FOOTER", "LOGIN_DATA_FOOTER"},
	 .def = "submitForm=Login",
	 .conv = conf_conv::text,
	 .text = &login_config::login_footer},
	{.names = {"LOGGED_IN_STRING"},
	 .def = "/sd/create_session_window",
	 .conv = conf_conv::text,
	 .text = &login_config::logged_in_string},
	{.names = {"LOGGED_OUT_STRING"},
	 .def = "Login again",
	 .conv = conf_conv::text,
	 .text = &login_config::logged_out_string},
	{.names = {"INIT_PAGE", "INIT"}, .def = "/sd/init", .conv = conf_conv::text, .text = &login_config::init_page},
	{.names = {"LOGIN_PAGE", "LOGIN"},
	 .def = "/sd/login",
	 .conv = conf_conv::text,
	 .text = &login_config::login_page},
	{.names = {"LOGOUT_PAGE", "LOGOUT"},
	 .def = "/sd/logout",
	 .conv = conf_conv::text,
	 .text = &login_config::logout_page},
	{.names = {"PID_FILE"}, .def = "/var/run/kavri.pid", .conv = conf_conv::text, .text = &login_config::pid_file},
	{.names = {"DEAMON_S", "DEAMON_START", "DAEMON_START", "START_DEAMON", "START_DAEMON"},
	 .def = "true",
	 .conv = conf_conv::flag,
	 .number = &login_config::daemon_start},
	{.names = {"DEAMON_T", "DEAMON_TYPE", "DAEMON_TYPE"},
	 .def = "login",
	 .conv = conf_conv::login,
	 .number = &login_config::daemon_login},
	{.names = {"DEAMON_D", "DEAMON_DELAY", "DAEMON_DELAY", "INTERVAL"},
	 .def = "5",
	 .conv = conf_conv::decimal,
	 .number = &login_config::daemon_delay},
	// HTTPS: a file without these lists the settings as before.
	{.names = {"TLS"}, .def = "no", .conv = conf_conv::flag, .number = &login_config::tls, .listed_when_set = true},
	{.names = {"TLS_CA_FILE"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::tls_ca_file,
	 .listed_when_set = true},
	{.names = {"TLS_PIN"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::tls_pin,
	 .listed_when_set = true},
	// The network watch: a file without these lists the settings as before.
	{.names = {"WATCH_NETWORK"},
	 .def = "yes",
	 .conv = conf_conv::flag,
	 .number = &login_config::watch_network,
	 .listed_when_set = true},
	{.names = {"INTERFACE"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::interface,
	 .listed_when_set = true},
	// What the daemon tells scripts: a file without these lists the
	// settings as before.
	{.names = {"STATE_FILE"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::state_file,
	 .listed_when_set = true},
	{.names = {"ON_CHANGE"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::on_change,
	 .listed_when_set = true},
};

namespace {

constexpr int ROW_PORT = 3;
constexpr int ROW_TLS = 17;
static_assert(conf_table[ROW_PORT].number == &login_config::port);
static_assert(conf_table[ROW_TLS].number == &login_config::tls);

// The port when TLS is on and the file names none.
constexpr const char TLS_DEFAULT_PORT[] = "443";

int read_flag(const char *v)
{
	return v != nullptr && (strcasecmp(v, "TRUE") == 0 || strcasecmp(v, "YES") == 0 || strcasecmp(v, "ON") == 0);
}

}  // namespace

int conf_find(const char *name)
{
	for (int row = 0; row < CONF_SETTINGS; row++)
		for (const char *n : conf_table[row].names)
			if (n != nullptr && strcasecmp(n, name) == 0)
				return row;
	return -1;
}

int conf_set_value(conf_values &values, const char *name, const char *value)
{
	if (name == nullptr || value == nullptr) {
		fprintf(stderr, "Failed to allocate memory for configuration values: %s\n", strerror(errno));
		return -1;
	}
	int row = conf_find(name);
	if (row < 0)
		return -1;
	size_t n = strlen(value);
	if (n >= 1 && value[n - 1] == ';')
		n--;
	values.value[row].emplace(value, n);
	values.from_file[row] = true;
	return 0;
}

const char *conf_lookup(const conf_values &values, const char *name)
{
	int row = conf_find(name);
	if (row < 0 || !values.value[row])
		return nullptr;
	return values.value[row]->c_str();
}

int conf_get_bool(const conf_values &values, const char *name)
{
	return read_flag(conf_lookup(values, name));
}

void conf_fill_defaults(conf_values &values)
{
	for (int row = 0; row < CONF_SETTINGS; row++)
		if (!values.value[row] && conf_table[row].def != nullptr)
			values.value[row].emplace(conf_table[row].def);
	if (read_flag(values.value[ROW_TLS]->c_str()) && !values.from_file[ROW_PORT])
		values.value[ROW_PORT].emplace(TLS_DEFAULT_PORT);
}

void conf_apply(const conf_values &values, login_config *conf)
{
	for (int row = 0; row < CONF_SETTINGS; row++) {
		const conf_setting &c = conf_table[row];
		const char *v = values.value[row] ? values.value[row]->c_str() : nullptr;
		switch (c.conv) {
		case conf_conv::text:
			conf->*c.text = v;
			break;
		case conf_conv::decimal:
			conf->*c.number = v != nullptr ? conf_atoi(v) : 0;
			break;
		case conf_conv::flag:
			conf->*c.number = read_flag(v);
			break;
		case conf_conv::login:
			conf->*c.number = v != nullptr && strncasecmp(v, "login", 5) == 0;
			break;
		}
	}
}

int conf_atoi(const char *text)
{
	const char *p = text;
	while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
		p++;
	bool negative = false;
	if (*p == '+' || *p == '-')
		negative = *p++ == '-';
	long long v = 0;
	constexpr long long LIMIT = 1LL << 32;  // beyond either int limit
	for (; *p >= '0' && *p <= '9'; p++)
		if (v < LIMIT)
			v = v * 10 + (*p - '0');
	if (negative)
		v = -v;
	if (v > INT_MAX)
		return INT_MAX;
	if (v < INT_MIN)
		return INT_MIN;
	return static_cast<int>(v);
}

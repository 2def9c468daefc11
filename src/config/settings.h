// The known settings: their names, defaults and where each value goes, as
// one constant table; the values a file gave them are kept apart.
#pragma once

#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "base/session.h"

inline constexpr int CONF_MAX_NAMES = 10;

// How a value becomes a field of login_config.
enum class conf_conv {
	text,     // the text itself
	decimal,  // conf_atoi
	flag,     // "TRUE", "YES" or "ON" in any letter case: 1, anything else 0
	yes_no,   // "TRUE", "YES" or "ON": 1, "FALSE", "NO" or "OFF": 0, any case; nothing else
	login,    // 1 when it begins with "login" in any letter case, else 0
};

struct conf_setting {
	const char *names[CONF_MAX_NAMES];  // canonical first; ends at nullptr
	const char *def;                    // built-in default, or nullptr
	conf_conv conv;
	const char *login_config::*text = nullptr;  // where a text goes
	int login_config::*number = nullptr;        // where any other conversion goes
	// Listed with --debug only when the file sets it: a configuration
	// without it then lists the 17 settings every such file lists.
	bool listed_when_set = false;
};

// The settings in their fixed order, which is also the order of the
// debug listing.
// The default server is a private-network address: it must be configured
// for any real use, and tests never reach it.
inline constexpr conf_setting conf_table[] = {
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
	// HTTPS.
	{.names = {"TLS"}, .def = "no", .conv = conf_conv::yes_no, .number = &login_config::tls, .listed_when_set = true},
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
	// The network watch.
	{.names = {"WATCH_NETWORK"},
	 .def = "yes",
	 .conv = conf_conv::yes_no,
	 .number = &login_config::watch_network,
	 .listed_when_set = true},
	{.names = {"INTERFACE"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::interface,
	 .listed_when_set = true},
	// What the daemon tells scripts.
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
	// The portal's own login form.
	{.names = {"LOGIN_FORM"},
	 .def = "no",
	 .conv = conf_conv::yes_no,
	 .number = &login_config::login_form,
	 .listed_when_set = true},
	{.names = {"PROBE_URL"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::probe_url,
	 .listed_when_set = true},
	{.names = {"PORTAL_HOSTS"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::portal_hosts,
	 .listed_when_set = true},
	{.names = {"LOGIN_FIELDS"},
	 .def = nullptr,
	 .conv = conf_conv::text,
	 .text = &login_config::login_fields,
	 .listed_when_set = true},
};

inline constexpr int CONF_SETTINGS = static_cast<int>(std::size(conf_table));

// The row of the setting whose canonical name is `canonical`, found when
// the program is compiled: a name that is no setting's does not compile.
consteval int conf_row(std::string_view canonical)
{
	for (int row = 0; row < CONF_SETTINGS; row++)
		if (canonical == conf_table[row].names[0])
			return row;
	throw "no setting has this canonical name";
}

// The values read, one per row of conf_table; absent until set.
struct conf_values {
	std::optional<std::string> value[CONF_SETTINGS];
	bool from_file[CONF_SETTINGS] = {};  // set by the file, not by a default
};

// The row a name from a file selects (any of its names, letter case
// ignored), or -1.
int conf_find(const char *name);

// Store a value under any name of a setting, dropping one trailing ';'.
// 0 when stored, -1 when the name selects nothing or a text is missing.
int conf_set_value(conf_values &values, const char *name, const char *value);

// The value of a row, or nullptr when it has none.
inline const char *conf_value(const conf_values &values, int row)
{
	return values.value[row] ? values.value[row]->c_str() : nullptr;
}

// Give every setting still without a value its default.
void conf_fill_defaults(conf_values &values);

// Put every value into its field of `conf`, converted as its row says.
// -1 when every value was read, else the first row whose value a yes/no
// setting cannot take (its field is then 0).
int conf_apply(const conf_values &values, login_config *conf);

// Decimal reading as atoi does it (leading white space, a sign, digits up
// to the first other byte, 0 without digits), saturating at the int range
// instead of overflowing.
int conf_atoi(const char *text);

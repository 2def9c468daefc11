#include "config/settings.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

// The default server is a private-network address: it must be configured
// for any real use, and tests never reach it.
conf_param conf_table[CONF_SETTINGS + 1] = {
	{{"USER", "USERNAME"}, nullptr, false, {}},
	{{"PASS", "PASSWORD"}, nullptr, false, {}},
	{{"SERV", "SERVER", "LOGIN_SERVER"}, "192.168.1.1", false, {}},
	{{"SERVER_PORT", "PORT"}, "80", false, {}},
	{{"LOGIN_STRING_HEADER", "LOGIN_DATA_HEADER"}, nullptr, false, {}},
	{{"USERNAME_KEY"}, "username", false, {}},
	{{"PASSWORD_KEY"}, "password", false, {}},
	{{"LOGIN_STRING_FOOTER", "LOGIN_DATA_FOOTER"}, "submitForm=Login", false, {}},
	{{"LOGGED_IN_STRING"}, "/sd/create_session_window", false, {}},
	{{"LOGGED_OUT_STRING"}, "Login again", false, {}},
	{{"INIT_PAGE", "INIT"}, "/sd/init", false, {}},
	{{"LOGIN_PAGE", "LOGIN"}, "/sd/login", false, {}},
	{{"LOGOUT_PAGE", "LOGOUT"}, "/sd/logout", false, {}},
	{{"PID_FILE"}, "/var/run/kavri.pid", false, {}},
	{{"DEAMON_S", "DEAMON_START", "DAEMON_START", "START_DEAMON", "START_DAEMON"}, "true", false, {}},
	{{"DEAMON_T", "DEAMON_TYPE", "DAEMON_TYPE"}, "login", false, {}},
	{{"DEAMON_D", "DEAMON_DELAY", "DAEMON_DELAY", "INTERVAL"}, "5", false, {}},
	{{}, nullptr, false, {}},
};

const char *const pid_fallbacks[3] = {"/tmp/kavri.pid", "~/kavri.pid", nullptr};

namespace {

conf_param *registered_table;

const char BAD_TABLE[] = "conf_read_file() did not get a correct parameter list.\n";

conf_param *find(conf_param *table, const char *name)
{
	for (conf_param *p = table; p->names[0] != nullptr; p++)
		for (int i = 0; i < CONF_MAX_NAMES && p->names[i] != nullptr; i++)
			if (strcasecmp(p->names[i], name) == 0)
				return p;
	return nullptr;
}

}  // namespace

void conf_register_table(conf_param *table)
{
	registered_table = table;
}

int conf_set_value(conf_param *table, const char *name, const char *value)
{
	if (table == nullptr)
		table = registered_table;
	if (table == nullptr) {
		fputs(BAD_TABLE, stderr);
		return -1;
	}
	if (name == nullptr || value == nullptr) {
		fprintf(stderr, "Failed to allocate memory for configuration values: %s\n", strerror(errno));
		return -1;
	}
	conf_param *p = find(table, name);
	if (p == nullptr)
		return -1;
	size_t n = strlen(value);
	if (n >= 1 && value[n - 1] == ';')
		n--;
	p->value.assign(value, n);
	p->has_value = true;
	return 0;
}

const char *conf_lookup(conf_param *table, const char *name)
{
	if (table == nullptr) {
		fputs(BAD_TABLE, stderr);
		return nullptr;
	}
	conf_param *p = find(table, name);
	if (p == nullptr || !p->has_value)
		return nullptr;
	return p->value.c_str();
}

int conf_get_bool(conf_param *table, const char *name)
{
	if (table == nullptr) {
		fputs(BAD_TABLE, stderr);
		return 0;
	}
	const char *v = conf_lookup(table, name);
	if (v == nullptr)
		return 0;
	return strcasecmp(v, "TRUE") == 0 || strcasecmp(v, "YES") == 0 || strcasecmp(v, "ON") == 0;
}

void conf_fill_defaults(conf_param *table)
{
	for (conf_param *p = table; p->names[0] != nullptr; p++)
		if (!p->has_value && p->def != nullptr) {
			p->value = p->def;
			p->has_value = true;
		}
}

void conf_clear(conf_param *table)
{
	for (conf_param *p = table; p->names[0] != nullptr; p++) {
		p->has_value = false;
		p->value.clear();
		p->value.shrink_to_fit();
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

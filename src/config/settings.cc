#include "config/settings.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr int ROW_PORT = conf_row("SERVER_PORT");
constexpr int ROW_TLS = conf_row("TLS");

// The port when TLS is on and the file names none.
constexpr const char TLS_DEFAULT_PORT[] = "443";

bool is_one_of(const char *v, const char *a, const char *b, const char *c)
{
	return strcasecmp(v, a) == 0 || strcasecmp(v, b) == 0 || strcasecmp(v, c) == 0;
}

int read_flag(const char *v)
{
	return v != nullptr && is_one_of(v, "TRUE", "YES", "ON");
}

// 1 yes, 0 no, -1 neither (or no text).
int read_yes_no(const char *v)
{
	if (v == nullptr)
		return -1;
	if (is_one_of(v, "TRUE", "YES", "ON"))
		return 1;
	if (is_one_of(v, "FALSE", "NO", "OFF"))
		return 0;
	return -1;
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

void conf_fill_defaults(conf_values &values)
{
	for (int row = 0; row < CONF_SETTINGS; row++)
		if (!values.value[row] && conf_table[row].def != nullptr)
			values.value[row].emplace(conf_table[row].def);
	if (read_yes_no(conf_value(values, ROW_TLS)) == 1 && !values.from_file[ROW_PORT])
		values.value[ROW_PORT].emplace(TLS_DEFAULT_PORT);
}

int conf_apply(const conf_values &values, login_config *conf)
{
	int unread = -1;
	for (int row = 0; row < CONF_SETTINGS; row++) {
		const conf_setting &c = conf_table[row];
		const char *v = conf_value(values, row);
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
		case conf_conv::yes_no: {
			int yes = read_yes_no(v);
			if (yes < 0 && unread < 0)
				unread = row;
			conf->*c.number = yes == 1;
			break;
		}
		case conf_conv::login:
			conf->*c.number = v != nullptr && strncasecmp(v, "login", 5) == 0;
			break;
		}
	}
	return unread;
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

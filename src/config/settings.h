// The known settings: their names, defaults and where each value goes, as
// one constant table; the values a file gave them are kept apart.
#pragma once

#include <optional>
#include <string>

#include "base/session.h"

inline constexpr int CONF_MAX_NAMES = 10;
inline constexpr int CONF_SETTINGS = 24;

// How a value becomes a field of login_config.
enum class conf_conv {
	text,     // the text itself
	decimal,  // conf_atoi
	flag,     // "TRUE", "YES" or "ON" in any letter case: 1, else 0
	login,    // 1 when it begins with "login" in any letter case, else 0
};

struct conf_setting {
	const char *names[CONF_MAX_NAMES];  // canonical first; ends at nullptr
	const char *def;                    // built-in default, or nullptr
	conf_conv conv;
	const char *login_config::*text = nullptr;  // where a text goes
	int login_config::*number = nullptr;        // where any other conversion goes
	// Listed with --debug only when the file sets it: a setting that a
	// configuration without it never sees, so that its listing stays the
	// same.
	bool listed_when_set = false;
};

// The settings in their fixed order, which is also the order of the
// debug listing.
extern const conf_setting conf_table[CONF_SETTINGS];

// The values read, one per row of conf_table; absent until set.
struct conf_values {
	std::optional<std::string> value[CONF_SETTINGS];
	bool from_file[CONF_SETTINGS] = {};  // set by the file, not by a default
};

// The row a name selects (any of its names, letter case ignored), or -1.
int conf_find(const char *name);

// Store a value under any name of a setting, dropping one trailing ';'.
// 0 when stored, -1 when the name selects nothing or a text is missing.
int conf_set_value(conf_values &values, const char *name, const char *value);

// The value of the setting the name selects, or nullptr.
const char *conf_lookup(const conf_values &values, const char *name);

// 1 when the value is "TRUE", "YES" or "ON" in any case, else 0.
int conf_get_bool(const conf_values &values, const char *name);

// Give every setting still without a value its default.
void conf_fill_defaults(conf_values &values);

// Put every value into its field of `conf`, converted as its row says.
void conf_apply(const conf_values &values, login_config *conf);

// Decimal reading as atoi does it (leading white space, a sign, digits up
// to the first other byte, 0 without digits), saturating at the int range
// instead of overflowing.
int conf_atoi(const char *text);

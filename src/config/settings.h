// The table of known settings: their names, values and defaults.
#pragma once

#include <string>

inline constexpr int CONF_MAX_NAMES = 10;
inline constexpr int CONF_SETTINGS = 17;

struct conf_param {
	const char *names[CONF_MAX_NAMES];  // canonical first; ends at nullptr
	const char *def;                    // built-in default, or nullptr
	bool has_value;
	std::string value;                  // valid when has_value
};

// The 17 settings in their fixed order, then one entry without names.
extern conf_param conf_table[CONF_SETTINGS + 1];

// Further PID file paths, tried after the session's path; ends at nullptr.
extern const char *const pid_fallbacks[3];

// Store a value under any name of a setting (letter case ignored), dropping
// one trailing ';'. A null table means the one registered for the read
// under way. 0 when stored, -1 when the name selects nothing or a text is
// missing.
int conf_set_value(conf_param *table, const char *name, const char *value);

// The value of the setting the name selects, or nullptr.
const char *conf_lookup(conf_param *table, const char *name);

// 1 when the value is "TRUE", "YES" or "ON" in any case, else 0.
int conf_get_bool(conf_param *table, const char *name);

// Used by the file reader: the table conf_set_value falls back to.
void conf_register_table(conf_param *table);

// Fill every unset value from its default.
void conf_fill_defaults(conf_param *table);

// Forget every stored value (fresh state for another read).
void conf_clear(conf_param *table);

// Decimal reading as atoi does it (leading white space, a sign, digits up
// to the first other byte, 0 without digits), saturating at the int range
// instead of overflowing.
int conf_atoi(const char *text);

// A strict reader of one JSON object whose members are plain values
// (strings, numbers, true, false, null), for tests of the state file:
// anything that is not valid JSON of that shape is refused.
#pragma once

#include <map>
#include <string>

struct JsonValue {
	enum Kind { string, number, boolean, null } kind;
	std::string text;  // a string's value unescaped (UTF-8), a number as written, "true"/"false"/"null"
};

// False, with `why`, for invalid JSON, a top level that is not one
// object, a nested value or a name given twice.
bool parse_flat_json(const std::string &text, std::map<std::string, JsonValue> *out, std::string *why);

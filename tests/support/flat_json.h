// A JSON object of plain members (strings, numbers, true, false, null),
// read by the program's own strict reader (http/json.h), as a map from
// name to member: for tests of the state file.
#pragma once

#include <map>
#include <string>

struct JsonValue {
	enum Kind { string, number, boolean, null } kind;
	std::string text;  // a string's value, an integer in decimal, "true"/"false"/"null"
};

// False, with `why`, for anything that is not valid JSON, not one object,
// or has a member that is an array, an object or a number with a fraction.
bool parse_flat_json(const std::string &text, std::map<std::string, JsonValue> *out, std::string *why);

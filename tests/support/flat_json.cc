#include "flat_json.h"

#include "http/json.h"

bool parse_flat_json(const std::string &text, std::map<std::string, JsonValue> *out, std::string *why)
{
	out->clear();
	json::value v;
	json::error err;
	if (!json::parse(text, v, {}, &err)) {
		*why = std::string(err.what) + " at byte " + std::to_string(err.offset);
		return false;
	}
	if (v.type != json::kind::object) {
		*why = "not an object";
		return false;
	}
	for (size_t i = 0; i < v.keys.size(); i++) {
		const json::value &m = v.items[i];
		JsonValue got{JsonValue::null, "null"};
		switch (m.type) {
		case json::kind::string:
			got = {JsonValue::string, m.string};
			break;
		case json::kind::number:
			if (!m.integral) {
				*why = "member " + v.keys[i] + " is no integer";
				return false;
			}
			got = {JsonValue::number, std::to_string(m.integer)};
			break;
		case json::kind::boolean:
			got = {JsonValue::boolean, m.boolean ? "true" : "false"};
			break;
		case json::kind::null:
			break;
		default:
			*why = "member " + v.keys[i] + " is not a plain value";
			return false;
		}
		(*out)[v.keys[i]] = got;
	}
	return true;
}

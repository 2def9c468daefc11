// The JSON reader: whatever the text, a verdict within the limits; a text
// it reads, written out again, reads as the same tree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "http/json.h"

static void write(const json::value &v, std::string &out)
{
	switch (v.type) {
	case json::kind::null:
		out += "null";
		break;
	case json::kind::boolean:
		out += v.boolean ? "true" : "false";
		break;
	case json::kind::number: {
		char buf[40];
		if (v.integral)
			snprintf(buf, sizeof buf, "%lld", (long long)v.integer);
		else
			snprintf(buf, sizeof buf, "%.17g", v.number);
		out += buf;
		// Written with a fraction or exponent, it reads as not integral.
		if (!v.integral && std::string_view(buf).find_first_of(".eE") == std::string_view::npos)
			out += ".0";
		break;
	}
	case json::kind::string:
		out += '"';
		for (unsigned char c : v.string) {
			if (c == '"' || c == '\\' || c < 0x20) {
				char buf[8];
				snprintf(buf, sizeof buf, "\\u%04x", c);
				out += buf;
			} else {
				out += char(c);
			}
		}
		out += '"';
		break;
	case json::kind::array:
	case json::kind::object:
		out += v.type == json::kind::array ? '[' : '{';
		for (size_t i = 0; i < v.items.size(); i++) {
			if (i)
				out += ',';
			if (v.type == json::kind::object) {
				json::value key;
				key.type = json::kind::string;
				key.string = v.keys[i];
				write(key, out);
				out += ':';
			}
			write(v.items[i], out);
		}
		out += v.type == json::kind::array ? ']' : '}';
		break;
	}
}

static bool same(const json::value &a, const json::value &b)
{
	if (a.type != b.type || a.boolean != b.boolean || a.integral != b.integral || a.integer != b.integer ||
	    a.string != b.string || a.keys != b.keys || a.items.size() != b.items.size())
		return false;
	if (a.type == json::kind::number && !a.integral && a.number != b.number)
		return false;
	for (size_t i = 0; i < a.items.size(); i++)
		if (!same(a.items[i], b.items[i]))
			return false;
	return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string_view text(reinterpret_cast<const char *>(data), size);
	json::value v;
	json::error err;
	const json::limits lim{.max_size = 64 * 1024, .max_depth = 16};
	if (!json::parse(text, v, lim, &err)) {
		if (err.offset > size || v.type != json::kind::null)
			__builtin_trap();
		return 0;
	}
	if (size > lim.max_size)
		__builtin_trap();
	std::string again;
	write(v, again);
	json::value w;
	if (!json::parse(again, w, {.max_size = 16 * again.size() + 64, .max_depth = 16}) || !same(v, w))
		__builtin_trap();
	return 0;
}

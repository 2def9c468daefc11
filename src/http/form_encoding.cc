#include "http/form_encoding.h"

#include "base/text.h"

namespace {

bool kept_as_is(unsigned char c)
{
	return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '*' ||
	       c == '-' || c == '.' || c == '_';
}

std::optional<std::string> percent_decoded(std::string_view s)
{
	std::string out;
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] != '%') {
			out += s[i];
			continue;
		}
		int hi = i + 2 < s.size() ? hex_digit(s[i + 1]) : -1;
		int lo = hi >= 0 ? hex_digit(s[i + 2]) : -1;
		if (lo < 0)
			return std::nullopt;
		out += char(hi * 16 + lo);
		i += 2;
	}
	return out;
}

}  // namespace

std::string form_urlencoded_bytes(std::string_view bytes)
{
	static constexpr char hex[] = "0123456789ABCDEF";
	std::string out;
	for (unsigned char c : bytes) {
		if (kept_as_is(c)) {
			out += char(c);
		} else if (c == ' ') {
			out += '+';
		} else {
			out += '%';
			out += hex[c >> 4];
			out += hex[c & 15];
		}
	}
	return out;
}

std::string form_urlencoded(const std::vector<form_field> &fields)
{
	std::string out;
	for (const form_field &f : fields) {
		if (!out.empty())
			out += '&';
		out += form_urlencoded_bytes(f.name);
		out += '=';
		out += form_urlencoded_bytes(f.value);
	}
	return out;
}

url form_get_url(url action, const std::vector<form_field> &fields)
{
	action.query = form_urlencoded(fields);
	return action;
}

std::optional<std::vector<form_field>> parse_login_fields(std::string_view text)
{
	std::vector<form_field> fields;
	while (!text.empty()) {
		size_t amp = text.find('&');
		std::string_view entry = text.substr(0, amp);
		text.remove_prefix(amp == std::string_view::npos ? text.size() : amp + 1);
		if (entry.empty())
			continue;
		size_t eq = entry.find('=');
		auto name = percent_decoded(entry.substr(0, eq));
		auto value = percent_decoded(eq == std::string_view::npos ? std::string_view() : entry.substr(eq + 1));
		if (!name || !value || name->empty())
			return std::nullopt;
		fields.push_back({*name, *value});
	}
	return fields;
}

#include "json_flat.h"

#include <cstdint>

namespace {

struct Reader {
	const std::string &s;
	size_t i = 0;
	std::string why;

	bool fail(const std::string &w)
	{
		if (why.empty())
			why = w + " at byte " + std::to_string(i);
		return false;
	}
	void blanks()
	{
		while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r'))
			i++;
	}
	bool take(char c)
	{
		blanks();
		if (i < s.size() && s[i] == c) {
			i++;
			return true;
		}
		return false;
	}
	static void utf8(std::string &out, uint32_t v)
	{
		if (v < 0x80) {
			out += static_cast<char>(v);
		} else if (v < 0x800) {
			out += static_cast<char>(0xc0 | (v >> 6));
			out += static_cast<char>(0x80 | (v & 0x3f));
		} else if (v < 0x10000) {
			out += static_cast<char>(0xe0 | (v >> 12));
			out += static_cast<char>(0x80 | ((v >> 6) & 0x3f));
			out += static_cast<char>(0x80 | (v & 0x3f));
		} else {
			out += static_cast<char>(0xf0 | (v >> 18));
			out += static_cast<char>(0x80 | ((v >> 12) & 0x3f));
			out += static_cast<char>(0x80 | ((v >> 6) & 0x3f));
			out += static_cast<char>(0x80 | (v & 0x3f));
		}
	}
	bool hex4(uint32_t *v)
	{
		if (i + 4 > s.size())
			return fail("short \\u escape");
		*v = 0;
		for (int k = 0; k < 4; k++) {
			char c = s[i++];
			int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
			if (d < 0)
				return fail("bad \\u escape");
			*v = *v * 16 + static_cast<uint32_t>(d);
		}
		return true;
	}
	// A string's bytes must be valid UTF-8 too.
	bool raw_utf8(std::string &out)
	{
		unsigned char c = static_cast<unsigned char>(s[i]);
		size_t n = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
		if (n == 0 || i + n > s.size())
			return fail("invalid UTF-8");
		uint32_t v = n == 1 ? c : c & (0x7f >> n);
		for (size_t k = 1; k < n; k++) {
			unsigned char d = static_cast<unsigned char>(s[i + k]);
			if ((d & 0xc0) != 0x80)
				return fail("invalid UTF-8");
			v = (v << 6) | (d & 0x3f);
		}
		static const uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
		if (v < min[n] || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff))
			return fail("invalid UTF-8");
		out.append(s, i, n);
		i += n;
		return true;
	}
	bool string(std::string &out)
	{
		blanks();
		if (i >= s.size() || s[i] != '"')
			return fail("a string expected");
		i++;
		for (;;) {
			if (i >= s.size())
				return fail("unterminated string");
			char c = s[i];
			if (c == '"') {
				i++;
				return true;
			}
			if (static_cast<unsigned char>(c) < 0x20)
				return fail("control character in a string");
			if (c != '\\') {
				if (!raw_utf8(out))
					return false;
				continue;
			}
			if (++i >= s.size())
				return fail("unterminated escape");
			char e = s[i++];
			switch (e) {
			case '"': out += '"'; break;
			case '\\': out += '\\'; break;
			case '/': out += '/'; break;
			case 'b': out += '\b'; break;
			case 'f': out += '\f'; break;
			case 'n': out += '\n'; break;
			case 'r': out += '\r'; break;
			case 't': out += '\t'; break;
			case 'u': {
				uint32_t v = 0;
				if (!hex4(&v))
					return false;
				if (v >= 0xdc00 && v <= 0xdfff)
					return fail("lone low surrogate");
				if (v >= 0xd800 && v <= 0xdbff) {
					uint32_t lo = 0;
					if (i + 2 > s.size() || s[i] != '\\' || s[i + 1] != 'u')
						return fail("lone high surrogate");
					i += 2;
					if (!hex4(&lo) || lo < 0xdc00 || lo > 0xdfff)
						return fail("bad surrogate pair");
					v = 0x10000 + ((v - 0xd800) << 10) + (lo - 0xdc00);
				}
				utf8(out, v);
				break;
			}
			default:
				return fail("bad escape");
			}
		}
	}
	bool digits()
	{
		size_t b = i;
		while (i < s.size() && s[i] >= '0' && s[i] <= '9')
			i++;
		return i > b;
	}
	bool number(std::string &out)
	{
		size_t b = i;
		if (i < s.size() && s[i] == '-')
			i++;
		if (i < s.size() && s[i] == '0')
			i++;
		else if (!digits())
			return fail("bad number");
		if (i < s.size() && s[i] == '.') {
			i++;
			if (!digits())
				return fail("bad fraction");
		}
		if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
			i++;
			if (i < s.size() && (s[i] == '+' || s[i] == '-'))
				i++;
			if (!digits())
				return fail("bad exponent");
		}
		out = s.substr(b, i - b);
		return true;
	}
	bool word(const char *w)
	{
		size_t n = std::char_traits<char>::length(w);
		if (s.compare(i, n, w) != 0)
			return false;
		i += n;
		return true;
	}
	bool value(JsonValue &v)
	{
		blanks();
		if (i >= s.size())
			return fail("a value expected");
		char c = s[i];
		if (c == '"') {
			v.kind = JsonValue::string;
			return string(v.text);
		}
		if (c == '-' || (c >= '0' && c <= '9')) {
			v.kind = JsonValue::number;
			return number(v.text);
		}
		for (const char *w : {"true", "false", "null"})
			if (word(w)) {
				v.kind = w[0] == 'n' ? JsonValue::null : JsonValue::boolean;
				v.text = w;
				return true;
			}
		return fail(c == '{' || c == '[' ? "a nested value" : "not a value");
	}
};

}  // namespace

bool parse_flat_json(const std::string &text, std::map<std::string, JsonValue> *out, std::string *why)
{
	Reader r{text, 0, {}};
	out->clear();
	bool ok = r.take('{');
	if (!ok)
		r.fail("no object");
	if (ok && !r.take('}')) {
		do {
			std::string name;
			JsonValue v{};
			ok = r.string(name) && (r.take(':') || r.fail("':' expected")) && r.value(v);
			if (ok && !out->emplace(name, v).second)
				ok = r.fail("name given twice: " + name);
		} while (ok && r.take(','));
		ok = ok && (r.take('}') || r.fail("',' or '}' expected"));
	}
	if (ok) {
		r.blanks();
		if (r.i != text.size())
			ok = r.fail("bytes after the object");
	}
	if (!ok && why != nullptr)
		*why = r.why;
	return ok;
}

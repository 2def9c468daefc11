#include "http/json.h"

#include <charconv>

#include "base/text.h"

namespace json {

namespace {

// Whether a number out of a double's range is out of it by being too
// small (it then reads as zero) rather than too large: its magnitude's
// decimal exponent, from the digits before the point, the zeros after it
// and the exponent written, is negative.
bool underflows(std::string_view n)
{
	size_t i = n[0] == '-' ? 1 : 0;
	long magnitude = 0;
	if (n[i] == '0') {
		i++;
		if (i < n.size() && n[i] == '.')
			for (i++; i < n.size() && n[i] == '0'; i++)
				magnitude--;
	} else {
		for (; i < n.size() && n[i] >= '0' && n[i] <= '9'; i++)
			magnitude++;
	}
	size_t e = n.find_first_of("eE");
	if (e != std::string_view::npos) {
		bool negative = n[e + 1] == '-';
		long exponent = 0;
		for (size_t k = e + 1; k < n.size(); k++)
			if (n[k] >= '0' && n[k] <= '9')
				exponent = exponent > 100000000 ? exponent : exponent * 10 + (n[k] - '0');
		magnitude += negative ? -exponent : exponent;
	}
	return magnitude < 0;
}

struct reader {
	std::string_view s;
	size_t pos = 0;
	limits lim;
	error err;

	bool fail(const char *what)
	{
		err = {pos, what};
		return false;
	}
	void skip_whitespace()
	{
		while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r'))
			pos++;
	}
	bool literal(std::string_view word)
	{
		if (s.substr(pos, word.size()) != word)
			return fail("unknown literal");
		pos += word.size();
		return true;
	}
	bool digit() const
	{
		return pos < s.size() && s[pos] >= '0' && s[pos] <= '9';
	}

	bool number(value &v);
	bool hex4(uint32_t &u);
	bool string(std::string &out);
	bool parse_value(value &v, size_t depth);
};

bool reader::number(value &v)
{
	size_t start = pos;
	if (pos < s.size() && s[pos] == '-')
		pos++;
	if (!digit())
		return fail("bad number");
	if (s[pos] == '0') {
		pos++;
		if (digit())
			return fail("leading zero");
	} else {
		while (digit())
			pos++;
	}
	bool integral = true;
	if (pos < s.size() && s[pos] == '.') {
		integral = false;
		pos++;
		if (!digit())
			return fail("bad fraction");
		while (digit())
			pos++;
	}
	if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
		integral = false;
		pos++;
		if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
			pos++;
		if (!digit())
			return fail("bad exponent");
		while (digit())
			pos++;
	}
	const char *first = s.data() + start, *last = s.data() + pos;
	v.type = kind::number;
	auto r = std::from_chars(first, last, v.number);
	if (r.ec == std::errc::result_out_of_range && underflows(std::string_view(first, size_t(last - first)))) {
		v.number = *first == '-' ? -0.0 : 0.0;
	} else if (r.ec != std::errc() || r.ptr != last) {
		pos = start;
		return fail("number out of range");
	}
	if (integral) {
		auto ri = std::from_chars(first, last, v.integer);
		v.integral = ri.ec == std::errc() && ri.ptr == last;
		if (!v.integral)
			v.integer = 0;
	}
	return true;
}

bool reader::hex4(uint32_t &u)
{
	u = 0;
	for (int i = 0; i < 4; i++, pos++) {
		if (pos >= s.size())
			return fail("short \\u escape");
		char c = s[pos];
		int d = hex_digit(c);
		if (d < 0)
			return fail("bad \\u escape");
		u = u * 16 + d;
	}
	return true;
}

// The length of the well-formed UTF-8 sequence at `p` (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF), or 0.
size_t utf8_sequence(std::string_view p)
{
	auto b = [&](size_t i) { return i < p.size() ? (unsigned char)p[i] : 0u; };
	auto cont = [&](size_t i) { return (b(i) & 0xC0) == 0x80; };
	unsigned c = b(0);
	if (c >= 0xC2 && c <= 0xDF)
		return cont(1) ? 2 : 0;
	if (c >= 0xE0 && c <= 0xEF) {
		unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
		return b(1) >= lo && b(1) <= hi && cont(2) ? 3 : 0;
	}
	if (c >= 0xF0 && c <= 0xF4) {
		unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
		return b(1) >= lo && b(1) <= hi && cont(2) && cont(3) ? 4 : 0;
	}
	return 0;
}

bool reader::string(std::string &out)
{
	pos++;  // the opening quote
	for (;;) {
		if (pos >= s.size())
			return fail("unterminated string");
		unsigned char c = s[pos];
		if (c == '"') {
			pos++;
			return true;
		}
		if (c < 0x20)
			return fail("control character in string");
		if (c >= 0x80) {
			size_t n = utf8_sequence(s.substr(pos));
			if (n == 0)
				return fail("invalid UTF-8");
			out.append(s.substr(pos, n));
			pos += n;
			continue;
		}
		if (c != '\\') {
			out += char(c);
			pos++;
			continue;
		}
		pos++;
		if (pos >= s.size())
			return fail("unterminated string");
		char e = s[pos++];
		switch (e) {
		case '"':
		case '\\':
		case '/':
			out += e;
			break;
		case 'b':
			out += '\b';
			break;
		case 'f':
			out += '\f';
			break;
		case 'n':
			out += '\n';
			break;
		case 'r':
			out += '\r';
			break;
		case 't':
			out += '\t';
			break;
		case 'u': {
			uint32_t u;
			if (!hex4(u))
				return false;
			if (u >= 0xDC00 && u <= 0xDFFF)
				return fail("unpaired surrogate");
			if (u >= 0xD800 && u <= 0xDBFF) {
				uint32_t low;
				if (s.substr(pos, 2) != "\\u")
					return fail("unpaired surrogate");
				pos += 2;
				if (!hex4(low))
					return false;
				if (low < 0xDC00 || low > 0xDFFF)
					return fail("unpaired surrogate");
				u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
			}
			append_utf8(u, out);
			break;
		}
		default:
			pos--;
			return fail("bad escape");
		}
	}
}

bool reader::parse_value(value &v, size_t depth)
{
	skip_whitespace();
	if (pos >= s.size())
		return fail("value expected");
	switch (s[pos]) {
	case 'n':
		v.type = kind::null;
		return literal("null");
	case 't':
		v.type = kind::boolean;
		v.boolean = true;
		return literal("true");
	case 'f':
		v.type = kind::boolean;
		return literal("false");
	case '"':
		v.type = kind::string;
		return string(v.string);
	case '[':
	case '{': {
		bool object = s[pos] == '{';
		if (depth >= lim.max_depth)
			return fail("nested too deeply");
		v.type = object ? kind::object : kind::array;
		pos++;
		skip_whitespace();
		if (pos < s.size() && s[pos] == (object ? '}' : ']')) {
			pos++;
			return true;
		}
		for (;;) {
			if (object) {
				skip_whitespace();
				if (pos >= s.size() || s[pos] != '"')
					return fail("member name expected");
				size_t at = pos;
				std::string key;
				if (!string(key))
					return false;
				for (const std::string &k : v.keys)
					if (k == key) {
						pos = at;
						return fail("duplicate member name");
					}
				v.keys.push_back(std::move(key));
				skip_whitespace();
				if (pos >= s.size() || s[pos] != ':')
					return fail("':' expected");
				pos++;
			}
			v.items.emplace_back();
			if (!parse_value(v.items.back(), depth + 1))
				return false;
			skip_whitespace();
			if (pos < s.size() && s[pos] == ',') {
				pos++;
				continue;
			}
			if (pos < s.size() && s[pos] == (object ? '}' : ']')) {
				pos++;
				return true;
			}
			return fail(object ? "',' or '}' expected" : "',' or ']' expected");
		}
	}
	default:
		return number(v);
	}
}

}  // namespace

bool parse(std::string_view text, value &out, const limits &lim, error *err)
{
	reader r{text, 0, lim, {}};
	out = value{};
	bool ok;
	if (text.size() > lim.max_size) {
		ok = r.fail("text too long");
	} else {
		ok = r.parse_value(out, 0);
		if (ok) {
			r.skip_whitespace();
			if (r.pos != text.size())
				ok = r.fail("text after the value");
		}
	}
	if (!ok) {
		out = value{};
		if (err)
			*err = r.err;
	}
	return ok;
}

const value *member(const value &object, std::string_view key)
{
	if (object.type != kind::object)
		return nullptr;
	for (size_t i = 0; i < object.keys.size(); i++)
		if (object.keys[i] == key)
			return &object.items[i];
	return nullptr;
}

}  // namespace json

#include "html/js_string.h"

#include <cstdint>

#include "base/text.h"
#include "html/references.h"

namespace html {

namespace {

bool line_break(char c)
{
	return c == '\n' || c == '\r';
}

bool emit(uint32_t cp, std::string &out, js_decoding decoding)
{
	if (decoding == js_decoding::bytes) {
		if (cp > 0xFF)
			return false;
		out += char(cp);
	} else {
		append_utf8(cp, out);
	}
	return true;
}

// One escape, text[i] the character after the backslash; advances i.
bool escape(std::string_view text, size_t &i, std::string &out, js_decoding decoding)
{
	char c = text[i++];
	switch (c) {
	case 'b':
		return emit('\b', out, decoding);
	case 'f':
		return emit('\f', out, decoding);
	case 'n':
		return emit('\n', out, decoding);
	case 'r':
		return emit('\r', out, decoding);
	case 't':
		return emit('\t', out, decoding);
	case 'v':
		return emit('\v', out, decoding);
	case '\r':
		if (i < text.size() && text[i] == '\n')
			i++;
		return true;  // a line continuation
	case '\n':
		return true;
	case 'x': {
		if (i + 2 > text.size())
			return false;
		int h = hex_digit(text[i]), l = hex_digit(text[i + 1]);
		if (h < 0 || l < 0)
			return false;
		i += 2;
		return emit(uint32_t(h * 16 + l), out, decoding);
	}
	case 'u': {
		uint32_t cp = 0;
		if (i < text.size() && text[i] == '{') {
			size_t digits = 0;
			for (i++; i < text.size() && hex_digit(text[i]) >= 0; i++, digits++) {
				cp = cp * 16 + uint32_t(hex_digit(text[i]));
				if (cp > 0x10FFFF)
					return false;
			}
			if (digits == 0 || i >= text.size() || text[i] != '}')
				return false;
			i++;
			return emit(cp, out, decoding);
		}
		if (i + 4 > text.size())
			return false;
		for (int k = 0; k < 4; k++) {
			int d = hex_digit(text[i + k]);
			if (d < 0)
				return false;
			cp = cp * 16 + uint32_t(d);
		}
		i += 4;
		return emit(cp, out, decoding);
	}
	default:
		if (c >= '0' && c <= '7') {
			// A legacy octal escape: up to three digits, at most \377.
			uint32_t cp = uint32_t(c - '0');
			size_t max = c <= '3' ? 2 : 1;
			for (size_t k = 0; k < max && i < text.size() && text[i] >= '0' && text[i] <= '7'; k++)
				cp = cp * 8 + uint32_t(text[i++] - '0');
			return emit(cp, out, decoding);
		}
		out += c;  // \' \" \\ \/ and any other character: itself
		return true;
	}
}

}  // namespace

bool read_js_string(std::string_view text, size_t &pos, std::string &out, js_decoding decoding, size_t *stopped)
{
	if (stopped)
		*stopped = pos;
	if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\''))
		return false;
	char quote = text[pos];
	std::string value;
	size_t i = pos + 1;
	for (; i < text.size();) {
		char c = text[i];
		if (c == quote) {
			pos = i + 1;
			out += value;
			return true;
		}
		if (line_break(c))
			break;
		if (c == '\\') {
			if (++i >= text.size() || !escape(text, i, value, decoding))
				break;
		} else {
			value += c;
			i++;
		}
	}
	if (stopped)
		*stopped = i;
	return false;
}

bool decode_js_escapes(std::string_view text, std::string &out, js_decoding decoding)
{
	std::string value;
	for (size_t i = 0; i < text.size();) {
		if (text[i] == '\\') {
			if (++i >= text.size() || !escape(text, i, value, decoding))
				return false;
		} else {
			value += text[i++];
		}
	}
	out += value;
	return true;
}

}  // namespace html

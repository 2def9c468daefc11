#include "html/references.h"

#include <algorithm>

#include "base/text.h"

namespace html {

namespace {

bool ascii_alphanumeric(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

const named_reference *find_exact(std::string_view name)
{
	const named_reference *end = named_references + named_reference_count;
	const named_reference *r = std::lower_bound(named_references, end, name,
		[](const named_reference &a, std::string_view b) { return a.name < b; });
	return r != end && r->name == name ? r : nullptr;
}

// The numeric character reference end state: what a code point given by
// digits becomes. C1 controls are read as windows-1252, as pages that
// wrote them meant.
uint32_t numeric_reference_value(uint32_t code)
{
	static const uint16_t c1[32] = {
		0x20AC, 0x81, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
		0x2039, 0x0152, 0x8D, 0x017D, 0x8F, 0x90, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
		0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D, 0x017E, 0x0178,
	};
	if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
		return 0xFFFD;
	if (code >= 0x80 && code <= 0x9F)
		return c1[code - 0x80];
	return code;
}

}  // namespace

const named_reference *longest_named_reference(std::string_view text)
{
	// Every name is letters and digits, some with a ";" after them.
	size_t run = 0;
	while (run < text.size() && run < MAX_REFERENCE_NAME && ascii_alphanumeric(text[run]))
		run++;
	if (run < text.size() && run < MAX_REFERENCE_NAME && text[run] == ';')
		if (const named_reference *r = find_exact(text.substr(0, run + 1)))
			return r;
	for (size_t n = run; n > 0; n--)
		if (const named_reference *r = find_exact(text.substr(0, n)))
			return r;
	return nullptr;
}

size_t consume_character_reference(std::string_view after, bool in_attribute, std::string &out)
{
	if (after.empty())
		return 0;
	if (after[0] != '#') {
		// The named character reference state.
		const named_reference *r = longest_named_reference(after);
		if (!r)
			return 0;  // the ambiguous ampersand state: all of it is text
		size_t n = r->name.size();
		if (in_attribute && r->name.back() != ';' && n < after.size() &&
		    (after[n] == '=' || ascii_alphanumeric(after[n])))
			return 0;
		out += r->value;
		return n;
	}
	// The numeric character reference state, then the hexadecimal or the
	// decimal one; without a digit the "&#" (or "&#x") is text.
	size_t i = 1;
	int base = 10;
	if (i < after.size() && (after[i] == 'x' || after[i] == 'X')) {
		base = 16;
		i++;
	}
	size_t digits = i;
	uint32_t code = 0;
	for (; i < after.size(); i++) {
		int d = base == 16 ? hex_digit(after[i]) : (after[i] >= '0' && after[i] <= '9' ? after[i] - '0' : -1);
		if (d < 0)
			break;
		// Past U+10FFFF the value only needs to stay past it.
		code = code > 0x10FFFF ? code : code * base + d;
	}
	if (i == digits)
		return 0;
	if (i < after.size() && after[i] == ';')
		i++;
	append_utf8(numeric_reference_value(code), out);
	return i;
}

}  // namespace html

// A strict, bounded JSON reader (RFC 8259): text in, a tree of values
// out; no I/O. It takes exactly the grammar of the RFC, within limits the
// caller gives, and refuses everything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace json {

enum class kind { null, boolean, number, string, array, object };

struct value {
	kind type = kind::null;
	bool boolean = false;
	double number = 0;
	// A number written without fraction and exponent that fits in an
	// int64_t is also kept exactly here.
	bool integral = false;
	int64_t integer = 0;
	std::string string;         // UTF-8
	std::vector<value> items;   // an array's elements, an object's values
	std::vector<std::string> keys;  // an object's names, in order, beside its values
};

struct limits {
	size_t max_size = 64 * 1024;  // bytes of text
	size_t max_depth = 32;        // arrays and objects inside one another
};

struct error {
	size_t offset = 0;     // where in the text
	const char *what = "";  // a static text
};

// Reads `text`, a whole JSON text with nothing but whitespace around its
// value. Refused, with the reason in `*err`: a text over the size limit,
// nesting past the depth limit, trailing commas, comments, leading zeros,
// a number too large for a double, control characters, invalid UTF-8 or
// an unpaired surrogate (a "\uD800" alone) in a string, an object with a
// name twice, and anything after the value. A number too small for a
// double reads as zero. The search for a name twice takes time quadratic
// in one object's members, which the size limit bounds.
bool parse(std::string_view text, value &out, const limits &lim = {}, error *err = nullptr);

// The value of the member `key` of an object, or null.
const value *member(const value &object, std::string_view key);

}  // namespace json

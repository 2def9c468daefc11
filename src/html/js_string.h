// JavaScript string literals as a page's scripts write them ('...' or
// "..."), decoded; no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace html {

enum class js_decoding {
	utf8,   // every escape as the UTF-8 of its code point
	bytes,  // every escape as one byte (its code point, up to \xFF); a larger one fails
};

// Reads the string literal that starts at text[pos] (its quote) and
// decodes it into `out`; on success `pos` is just past its closing quote.
// Escapes: \' \" \\ \/ \b \f \n \r \t \v, octal \0 to \377, \xHH, \uHHHH,
// \u{H...}, a backslash before a line break (nothing), and a backslash
// before any other character (that character). Fails, leaving `pos`, on a
// missing quote, a line break inside, or a malformed \x or \u; then
// `*stopped`, when given, is where it stopped, which a scan for literals
// resumes from to stay linear.
bool read_js_string(std::string_view text, size_t &pos, std::string &out, js_decoding decoding,
		    size_t *stopped = nullptr);

// Decodes `text` as the inside of a literal (no quotes around it), with
// the same escapes; quotes and line breaks in it are plain characters.
bool decode_js_escapes(std::string_view text, std::string &out, js_decoding decoding);

}  // namespace html

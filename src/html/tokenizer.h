// An HTML tokenizer that reads a page as a browser does: the WHATWG HTML
// standard's tokenization, state by state, without a tree builder. Text
// in, tokens out; no I/O. Linear in the page's length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace html {

struct attribute {
	std::string name;   // lower case
	std::string value;  // character references decoded
};

enum class token_kind { start_tag, end_tag, text };

struct token {
	token_kind kind = token_kind::text;
	std::string name;                   // tags: lower case
	std::vector<attribute> attributes;  // start tags: in order, the first of a name only
	bool self_closing = false;          // start tags: "<br/>"
	bool foreign = false;               // start tags: an SVG or MathML element (a <form> there is none)
	std::string text;                   // text: the characters (references decoded in data and RCDATA)
};

// The states a tokenizer may start in (html5lib-tests' "initialStates").
enum class text_state { data, rcdata, rawtext, script_data, plaintext, cdata_section };

struct tokenizer_options {
	text_state initial = text_state::data;
	// The name of the last start tag, for an end tag that leaves the
	// initial state ("appropriate end tag").
	std::string_view last_start_tag;
	// Switch to RCDATA, RAWTEXT, script data or PLAINTEXT after the start
	// tag of an element read that way (title, textarea; style, xmp,
	// iframe, noembed, noframes; script; plaintext), and read CDATA
	// sections inside SVG and MathML but no element there as text, as the
	// tree builder has the tokenizer do; the tokenizer follows these
	// elements itself, without a tree. Off only to test the tokenizer
	// alone.
	bool follow_text_elements = true;
};

// A tag holds at most this many attributes; further ones are dropped, so
// that the check for duplicates stays linear in the page.
constexpr size_t MAX_ATTRIBUTES = 128;

// The page's tokens in order. Neighbouring characters make one text token;
// comments and DOCTYPEs make none.
std::vector<token> tokenize(std::string_view page, const tokenizer_options &options = {});

// The value of the first attribute named `name` (lower case), or null.
const std::string *find_attribute(const token &tag, std::string_view name);

// The text of each script element, in order (a script without text gives
// an empty one).
std::vector<std::string> script_texts(const std::vector<token> &tokens);

}  // namespace html

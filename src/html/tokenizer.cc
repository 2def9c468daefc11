// One case per state of the standard's tokenizer ("13.2.5 Tokenization"),
// named as the standard names it. Parse errors are not reported: they
// change no token.
// Folded: the comment less-than sign states into comment (they only report errors); the DOCTYPE states into one (all end at ">").
#include "html/tokenizer.h"

#include "html/references.h"

namespace html {

namespace {

constexpr int END_OF_FILE = -1;
// SVG and MathML elements followed inside one another: deeper ones are
// not, so that an end tag's search for its element stays short.
constexpr size_t MAX_FOREIGN_DEPTH = 64;
const char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";

enum class state {
	data,
	rcdata,
	rawtext,
	script_data,
	plaintext,
	tag_open,
	end_tag_open,
	tag_name,
	rcdata_less_than_sign,
	rcdata_end_tag_open,
	rcdata_end_tag_name,
	rawtext_less_than_sign,
	rawtext_end_tag_open,
	rawtext_end_tag_name,
	script_data_less_than_sign,
	script_data_end_tag_open,
	script_data_end_tag_name,
	script_data_escape_start,
	script_data_escape_start_dash,
	script_data_escaped,
	script_data_escaped_dash,
	script_data_escaped_dash_dash,
	script_data_escaped_less_than_sign,
	script_data_escaped_end_tag_open,
	script_data_escaped_end_tag_name,
	script_data_double_escape_start,
	script_data_double_escaped,
	script_data_double_escaped_dash,
	script_data_double_escaped_dash_dash,
	script_data_double_escaped_less_than_sign,
	script_data_double_escape_end,
	before_attribute_name,
	attribute_name,
	after_attribute_name,
	before_attribute_value,
	attribute_value_double_quoted,
	attribute_value_single_quoted,
	attribute_value_unquoted,
	after_attribute_value_quoted,
	self_closing_start_tag,
	bogus_comment,
	markup_declaration_open,
	comment_start,
	comment_start_dash,
	comment,
	comment_end_dash,
	comment_end,
	comment_end_bang,
	doctype,
	cdata_section,
};

bool whitespace(int c)
{
	return c == '\t' || c == '\n' || c == '\f' || c == ' ';
}

bool upper_alpha(int c)
{
	return c >= 'A' && c <= 'Z';
}

bool alpha(int c)
{
	return upper_alpha(c) || (c >= 'a' && c <= 'z');
}

char lower(int c)
{
	return char(upper_alpha(c) ? c + ('a' - 'A') : c);
}

bool starts_with_ignoring_case(std::string_view text, std::string_view word)
{
	if (text.size() < word.size())
		return false;
	for (size_t i = 0; i < word.size(); i++)
		if (lower((unsigned char)text[i]) != word[i])
			return false;
	return true;
}

struct tokenizer {
	std::string in;  // the input stream, newlines normalized
	size_t pos = 0;
	state st = state::data;
	bool follow = true;

	std::vector<token> out;
	std::string text;  // characters not yet emitted
	token tag;         // the tag being read
	std::string attr_name, attr_value;
	bool have_attr = false;
	std::string temp;  // the temporary buffer
	std::string last_start_tag;
	// The SVG and MathML elements open (their roots and their HTML
	// integration points), as far as the tokenizer's state depends on
	// them: inside foreign content no element is read as text and
	// "<![CDATA[" opens a CDATA section.
	struct open_element {
		std::string name;
		bool foreign;  // false: an HTML integration point (foreignObject...)
	};
	std::vector<open_element> foreign;

	int next()
	{
		return pos < in.size() ? (unsigned char)in[pos++] : END_OF_FILE;
	}
	void reconsume(int c)
	{
		if (c != END_OF_FILE)
			pos--;
	}

	void flush_text()
	{
		if (text.empty())
			return;
		token t{};
		t.kind = token_kind::text;
		t.text.swap(text);
		out.push_back(std::move(t));
	}

	void start_tag(token_kind kind)
	{
		tag = token{};
		tag.kind = kind;
		have_attr = false;
	}
	// The current attribute is done: kept unless the tag has one of its
	// name already (the first wins) or has all it may hold.
	void finish_attribute()
	{
		if (!have_attr)
			return;
		have_attr = false;
		if (tag.attributes.size() >= MAX_ATTRIBUTES)
			return;
		for (const attribute &a : tag.attributes)
			if (a.name == attr_name)
				return;
		tag.attributes.push_back({std::move(attr_name), std::move(attr_value)});
	}
	void start_attribute()
	{
		finish_attribute();
		have_attr = true;
		attr_name.clear();
		attr_value.clear();
	}
	bool appropriate_end_tag() const
	{
		return !last_start_tag.empty() && tag.name == last_start_tag;
	}

	void emit_tag()
	{
		finish_attribute();
		flush_text();
		st = state::data;
		if (tag.kind == token_kind::end_tag) {
			tag.attributes.clear();
			tag.self_closing = false;
		} else {
			last_start_tag = tag.name;
		}
		if (follow) {
			bool html = follow_foreign_content();
			if (tag.kind == token_kind::start_tag) {
				tag.foreign = !html;
				if (html)
					st = text_state_after(tag.name);
			}
		}
		out.push_back(std::move(tag));
	}

	bool in_foreign_content() const
	{
		return !foreign.empty() && foreign.back().foreign;
	}

	// What the tree builder does with SVG and MathML, in outline: <svg>
	// and <math> open foreign content; in it, a self-closing tag opens
	// nothing, foreignObject, desc and title (SVG) and the MathML text
	// elements let HTML in again, and an HTML element such as <p>, <div>
	// or <table> ends the foreign content. Returns whether the tag is
	// read as HTML.
	bool follow_foreign_content()
	{
		static const std::string_view breakout[] = {
			"b", "big", "blockquote", "body", "br", "center", "code", "dd", "div", "dl", "dt", "em",
			"embed", "h1", "h2", "h3", "h4", "h5", "h6", "head", "hr", "i", "img", "li", "listing",
			"menu", "meta", "nobr", "ol", "p", "pre", "ruby", "s", "small", "span", "strong", "strike",
			"sub", "sup", "table", "tt", "u", "ul", "var",
		};
		static const std::string_view integration[] = {
			"foreignobject", "desc", "title", "mi", "mo", "mn", "ms", "mtext", "annotation-xml",
		};
		const std::string &n = tag.name;
		if (tag.kind == token_kind::end_tag) {
			// It closes the innermost element of its name and all inside it.
			for (size_t i = foreign.size(); i-- > 0;) {
				if (foreign[i].name == n) {
					foreign.resize(i);
					break;
				}
			}
			return true;
		}
		if (!in_foreign_content()) {
			if ((n == "svg" || n == "math") && !tag.self_closing && foreign.size() < MAX_FOREIGN_DEPTH)
				foreign.push_back({n, true});
			return n != "svg" && n != "math";
		}
		for (std::string_view b : breakout) {
			if (n == b) {
				while (in_foreign_content())
					foreign.pop_back();
				return true;
			}
		}
		if (!tag.self_closing && foreign.size() < MAX_FOREIGN_DEPTH) {
			bool html = false;
			for (std::string_view i : integration)
				html = html || n == i;
			foreign.push_back({n, !html});
		}
		return false;
	}

	// The state a tree builder puts the tokenizer in after this start tag
	// (scripting off for noscript: kavri runs no script, so a form inside
	// noscript is a form).
	static state text_state_after(std::string_view name)
	{
		if (name == "title" || name == "textarea")
			return state::rcdata;
		if (name == "style" || name == "xmp" || name == "iframe" || name == "noembed" || name == "noframes")
			return state::rawtext;
		if (name == "script")
			return state::script_data;
		if (name == "plaintext")
			return state::plaintext;
		return state::data;
	}

	// A character reference in text or in an attribute value.
	void character_reference(std::string &to, bool in_attribute)
	{
		size_t n = consume_character_reference(std::string_view(in).substr(pos), in_attribute, to);
		if (n == 0)
			to += '&';
		pos += n;
	}

	void append_char(std::string &to, int c)
	{
		if (c == 0)
			to += REPLACEMENT_CHARACTER;
		else
			to += char(c);
	}

	// The end tag name states of RCDATA, RAWTEXT and script data (escaped
	// or not) differ only in the state they go back to.
	void text_end_tag_name(int c, state back)
	{
		if (whitespace(c) && appropriate_end_tag()) {
			st = state::before_attribute_name;
		} else if (c == '/' && appropriate_end_tag()) {
			st = state::self_closing_start_tag;
		} else if (c == '>' && appropriate_end_tag()) {
			emit_tag();
		} else if (alpha(c)) {
			tag.name += lower(c);
			temp += char(c);
		} else {
			text += "</";
			text += temp;
			reconsume(c);
			st = back;
		}
	}

	void run();
};

void tokenizer::run()
{
	for (;;) {
		int c = next();
		switch (st) {
		case state::data:
			if (c == '&')
				character_reference(text, false);
			else if (c == '<')
				st = state::tag_open;
			else if (c == END_OF_FILE)
				return;
			else
				text += char(c);  // a NUL stays in text, as the standard says
			break;
		case state::rcdata:
			if (c == '&')
				character_reference(text, false);
			else if (c == '<')
				st = state::rcdata_less_than_sign;
			else if (c == END_OF_FILE)
				return;
			else
				append_char(text, c);
			break;
		case state::rawtext:
			if (c == '<')
				st = state::rawtext_less_than_sign;
			else if (c == END_OF_FILE)
				return;
			else
				append_char(text, c);
			break;
		case state::script_data:
			if (c == '<')
				st = state::script_data_less_than_sign;
			else if (c == END_OF_FILE)
				return;
			else
				append_char(text, c);
			break;
		case state::plaintext:
			if (c == END_OF_FILE)
				return;
			append_char(text, c);
			break;
		case state::tag_open:
			if (c == '!') {
				st = state::markup_declaration_open;
			} else if (c == '/') {
				st = state::end_tag_open;
			} else if (alpha(c)) {
				start_tag(token_kind::start_tag);
				reconsume(c);
				st = state::tag_name;
			} else if (c == '?') {
				reconsume(c);
				st = state::bogus_comment;
			} else {
				text += '<';
				reconsume(c);
				st = state::data;
			}
			break;
		case state::end_tag_open:
			if (alpha(c)) {
				start_tag(token_kind::end_tag);
				reconsume(c);
				st = state::tag_name;
			} else if (c == '>') {
				st = state::data;
			} else if (c == END_OF_FILE) {
				text += "</";
				return;
			} else {
				reconsume(c);
				st = state::bogus_comment;
			}
			break;
		case state::tag_name:
			if (whitespace(c))
				st = state::before_attribute_name;
			else if (c == '/')
				st = state::self_closing_start_tag;
			else if (c == '>')
				emit_tag();
			else if (c == END_OF_FILE)
				return;  // eof-in-tag: the tag is dropped
			else
				append_char(tag.name, lower(c));
			break;
		case state::rcdata_less_than_sign:
		case state::rawtext_less_than_sign: {
			state back = st == state::rcdata_less_than_sign ? state::rcdata : state::rawtext;
			if (c == '/') {
				temp.clear();
				st = back == state::rcdata ? state::rcdata_end_tag_open : state::rawtext_end_tag_open;
			} else {
				text += '<';
				reconsume(c);
				st = back;
			}
			break;
		}
		case state::rcdata_end_tag_open:
		case state::rawtext_end_tag_open:
		case state::script_data_end_tag_open:
		case state::script_data_escaped_end_tag_open: {
			state back = st == state::rcdata_end_tag_open    ? state::rcdata
				     : st == state::rawtext_end_tag_open ? state::rawtext
				     : st == state::script_data_end_tag_open ? state::script_data
									     : state::script_data_escaped;
			if (alpha(c)) {
				start_tag(token_kind::end_tag);
				reconsume(c);
				st = back == state::rcdata	    ? state::rcdata_end_tag_name
				     : back == state::rawtext	    ? state::rawtext_end_tag_name
				     : back == state::script_data ? state::script_data_end_tag_name
								  : state::script_data_escaped_end_tag_name;
			} else {
				text += "</";
				reconsume(c);
				st = back;
			}
			break;
		}
		case state::rcdata_end_tag_name:
			text_end_tag_name(c, state::rcdata);
			break;
		case state::rawtext_end_tag_name:
			text_end_tag_name(c, state::rawtext);
			break;
		case state::script_data_end_tag_name:
			text_end_tag_name(c, state::script_data);
			break;
		case state::script_data_escaped_end_tag_name:
			text_end_tag_name(c, state::script_data_escaped);
			break;
		case state::script_data_less_than_sign:
			if (c == '/') {
				temp.clear();
				st = state::script_data_end_tag_open;
			} else if (c == '!') {
				text += "<!";
				st = state::script_data_escape_start;
			} else {
				text += '<';
				reconsume(c);
				st = state::script_data;
			}
			break;
		case state::script_data_escape_start:
		case state::script_data_escape_start_dash:
			if (c == '-') {
				text += '-';
				st = st == state::script_data_escape_start ? state::script_data_escape_start_dash
									   : state::script_data_escaped_dash_dash;
			} else {
				reconsume(c);
				st = state::script_data;
			}
			break;
		case state::script_data_escaped:
		case state::script_data_escaped_dash:
		case state::script_data_escaped_dash_dash:
			if (c == '-') {
				text += '-';
				st = st == state::script_data_escaped ? state::script_data_escaped_dash
								      : state::script_data_escaped_dash_dash;
			} else if (c == '<') {
				st = state::script_data_escaped_less_than_sign;
			} else if (c == '>' && st == state::script_data_escaped_dash_dash) {
				text += '>';
				st = state::script_data;
			} else if (c == END_OF_FILE) {
				return;
			} else {
				append_char(text, c);
				st = state::script_data_escaped;
			}
			break;
		case state::script_data_escaped_less_than_sign:
			if (c == '/') {
				temp.clear();
				st = state::script_data_escaped_end_tag_open;
			} else if (alpha(c)) {
				temp.clear();
				text += '<';
				reconsume(c);
				st = state::script_data_double_escape_start;
			} else {
				text += '<';
				reconsume(c);
				st = state::script_data_escaped;
			}
			break;
		case state::script_data_double_escape_start:
		case state::script_data_double_escape_end: {
			bool start = st == state::script_data_double_escape_start;
			if (whitespace(c) || c == '/' || c == '>') {
				bool script = temp == "script";
				st = start == script ? state::script_data_double_escaped : state::script_data_escaped;
				text += char(c);
			} else if (alpha(c)) {
				temp += lower(c);
				text += char(c);
			} else {
				reconsume(c);
				st = start ? state::script_data_escaped : state::script_data_double_escaped;
			}
			break;
		}
		case state::script_data_double_escaped:
		case state::script_data_double_escaped_dash:
		case state::script_data_double_escaped_dash_dash:
			if (c == '-') {
				text += '-';
				st = st == state::script_data_double_escaped ? state::script_data_double_escaped_dash
									     : state::script_data_double_escaped_dash_dash;
			} else if (c == '<') {
				text += '<';
				st = state::script_data_double_escaped_less_than_sign;
			} else if (c == '>' && st == state::script_data_double_escaped_dash_dash) {
				text += '>';
				st = state::script_data;
			} else if (c == END_OF_FILE) {
				return;
			} else {
				append_char(text, c);
				st = state::script_data_double_escaped;
			}
			break;
		case state::script_data_double_escaped_less_than_sign:
			if (c == '/') {
				temp.clear();
				text += '/';
				st = state::script_data_double_escape_end;
			} else {
				reconsume(c);
				st = state::script_data_double_escaped;
			}
			break;
		case state::before_attribute_name:
			if (whitespace(c)) {
			} else if (c == '/' || c == '>' || c == END_OF_FILE) {
				reconsume(c);
				st = state::after_attribute_name;
			} else if (c == '=') {
				start_attribute();
				attr_name += '=';
				st = state::attribute_name;
			} else {
				start_attribute();
				reconsume(c);
				st = state::attribute_name;
			}
			break;
		case state::attribute_name:
			if (whitespace(c) || c == '/' || c == '>' || c == END_OF_FILE) {
				reconsume(c);
				st = state::after_attribute_name;
			} else if (c == '=') {
				st = state::before_attribute_value;
			} else {
				append_char(attr_name, lower(c));
			}
			break;
		case state::after_attribute_name:
			if (whitespace(c)) {
			} else if (c == '/') {
				st = state::self_closing_start_tag;
			} else if (c == '=') {
				st = state::before_attribute_value;
			} else if (c == '>') {
				emit_tag();
			} else if (c == END_OF_FILE) {
				return;
			} else {
				start_attribute();
				reconsume(c);
				st = state::attribute_name;
			}
			break;
		case state::before_attribute_value:
			if (whitespace(c)) {
			} else if (c == '"') {
				st = state::attribute_value_double_quoted;
			} else if (c == '\'') {
				st = state::attribute_value_single_quoted;
			} else if (c == '>') {
				emit_tag();
			} else {
				reconsume(c);
				st = state::attribute_value_unquoted;
			}
			break;
		case state::attribute_value_double_quoted:
		case state::attribute_value_single_quoted: {
			char quote = st == state::attribute_value_double_quoted ? '"' : '\'';
			if (c == quote)
				st = state::after_attribute_value_quoted;
			else if (c == '&')
				character_reference(attr_value, true);
			else if (c == END_OF_FILE)
				return;
			else
				append_char(attr_value, c);
			break;
		}
		case state::attribute_value_unquoted:
			if (whitespace(c))
				st = state::before_attribute_name;
			else if (c == '&')
				character_reference(attr_value, true);
			else if (c == '>')
				emit_tag();
			else if (c == END_OF_FILE)
				return;
			else
				append_char(attr_value, c);
			break;
		case state::after_attribute_value_quoted:
			if (whitespace(c)) {
				st = state::before_attribute_name;
			} else if (c == '/') {
				st = state::self_closing_start_tag;
			} else if (c == '>') {
				emit_tag();
			} else if (c == END_OF_FILE) {
				return;
			} else {
				reconsume(c);
				st = state::before_attribute_name;
			}
			break;
		case state::self_closing_start_tag:
			if (c == '>') {
				tag.self_closing = true;
				emit_tag();
			} else if (c == END_OF_FILE) {
				return;
			} else {
				reconsume(c);
				st = state::before_attribute_name;
			}
			break;
		case state::bogus_comment:
			if (c == '>')
				st = state::data;
			else if (c == END_OF_FILE)
				return;
			break;
		case state::markup_declaration_open: {
			reconsume(c);
			std::string_view rest = std::string_view(in).substr(pos);
			if (rest.substr(0, 2) == "--") {
				pos += 2;
				st = state::comment_start;
			} else if (starts_with_ignoring_case(rest, "doctype")) {
				pos += 7;
				st = state::doctype;
			} else if (rest.substr(0, 7) == "[CDATA[" && follow && in_foreign_content()) {
				pos += 7;
				st = state::cdata_section;
			} else {
				// "[CDATA[" too outside foreign content.
				st = state::bogus_comment;
			}
			break;
		}
		case state::comment_start:
			if (c == '-') {
				st = state::comment_start_dash;
			} else if (c == '>') {
				st = state::data;  // "<!-->"
			} else {
				reconsume(c);
				st = state::comment;
			}
			break;
		case state::comment_start_dash:
			if (c == '-') {
				st = state::comment_end;
			} else if (c == '>') {
				st = state::data;  // "<!--->"
			} else if (c == END_OF_FILE) {
				return;
			} else {
				reconsume(c);
				st = state::comment;
			}
			break;
		case state::comment:
			if (c == '-')
				st = state::comment_end_dash;
			else if (c == END_OF_FILE)
				return;
			break;
		case state::comment_end_dash:
			if (c == '-') {
				st = state::comment_end;
			} else if (c == END_OF_FILE) {
				return;
			} else {
				reconsume(c);
				st = state::comment;
			}
			break;
		case state::comment_end:
			if (c == '>') {
				st = state::data;
			} else if (c == '!') {
				st = state::comment_end_bang;
			} else if (c == '-') {
			} else if (c == END_OF_FILE) {
				return;
			} else {
				reconsume(c);
				st = state::comment;
			}
			break;
		case state::comment_end_bang:
			if (c == '-') {
				st = state::comment_end_dash;
			} else if (c == '>') {
				st = state::data;  // "--!>"
			} else if (c == END_OF_FILE) {
				return;
			} else {
				reconsume(c);
				st = state::comment;
			}
			break;
		case state::doctype:
			if (c == '>')
				st = state::data;
			else if (c == END_OF_FILE)
				return;
			break;
		case state::cdata_section:
			if (c == END_OF_FILE)
				return;
			if (c == ']' && std::string_view(in).substr(pos, 2) == "]>") {
				pos += 2;
				st = state::data;
			} else {
				text += char(c);
			}
			break;
		}
	}
}

state initial_state(text_state s)
{
	switch (s) {
	case text_state::rcdata:
		return state::rcdata;
	case text_state::rawtext:
		return state::rawtext;
	case text_state::script_data:
		return state::script_data;
	case text_state::plaintext:
		return state::plaintext;
	case text_state::cdata_section:
		return state::cdata_section;
	case text_state::data:
		break;
	}
	return state::data;
}

}  // namespace

std::vector<token> tokenize(std::string_view page, const tokenizer_options &options)
{
	tokenizer t;
	// The input stream's preprocessing: CR LF and a lone CR become LF.
	t.in.reserve(page.size());
	for (size_t i = 0; i < page.size(); i++) {
		if (page[i] == '\r') {
			t.in += '\n';
			if (i + 1 < page.size() && page[i + 1] == '\n')
				i++;
		} else {
			t.in += page[i];
		}
	}
	t.st = initial_state(options.initial);
	t.last_start_tag = options.last_start_tag;
	t.follow = options.follow_text_elements;
	t.run();
	t.flush_text();
	return std::move(t.out);
}

const std::string *find_attribute(const token &tag, std::string_view name)
{
	for (const attribute &a : tag.attributes)
		if (a.name == name)
			return &a.value;
	return nullptr;
}

std::vector<std::string> script_texts(const std::vector<token> &tokens)
{
	std::vector<std::string> scripts;
	bool inside = false;
	for (const token &t : tokens) {
		if (t.kind == token_kind::start_tag && t.name == "script") {
			scripts.emplace_back();
			inside = true;
		} else if (t.kind == token_kind::text && inside) {
			scripts.back() += t.text;
		} else {
			inside = false;
		}
	}
	return scripts;
}

}  // namespace html

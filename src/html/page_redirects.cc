#include "html/page_redirects.h"

#include <algorithm>

#include "html/js_string.h"

namespace html {

namespace {

bool ascii_whitespace(char c)
{
	return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

bool digit(char c)
{
	return c >= '0' && c <= '9';
}

bool identifier_char(char c)
{
	return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' ||
	       (unsigned char)c >= 0x80;
}

bool equals_ignoring_case(std::string_view a, std::string_view b)
{
	if (a.size() != b.size())
		return false;
	for (size_t i = 0; i < a.size(); i++) {
		char x = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] + 32) : a[i];
		char y = b[i] >= 'A' && b[i] <= 'Z' ? char(b[i] + 32) : b[i];
		if (x != y)
			return false;
	}
	return true;
}

void skip_whitespace(std::string_view s, size_t &i)
{
	while (i < s.size() && ascii_whitespace(s[i]))
		i++;
}

// JavaScript's whitespace between tokens, as far as pages use it.
void skip_js_space(std::string_view s, size_t &i)
{
	while (i < s.size() && (ascii_whitespace(s[i]) || s[i] == '\v'))
		i++;
}

bool object_before(std::string_view s, size_t at)
{
	// "location" with nothing of an identifier before it, or after one of
	// the objects whose location is the page's.
	if (at == 0 || (!identifier_char(s[at - 1]) && s[at - 1] != '.'))
		return true;
	for (std::string_view object : {"window.", "document.", "self.", "top."}) {
		if (at < object.size() || s.substr(at - object.size(), object.size()) != object)
			continue;
		size_t start = at - object.size();
		if (start == 0 || (!identifier_char(s[start - 1]) && s[start - 1] != '.'))
			return true;
	}
	return false;
}

// A string literal at s[i] that ends the statement: what follows it on
// its line is nothing, ";", "}", "," or a comment.
bool literal_alone(std::string_view s, size_t &i, std::string &value, size_t &resume)
{
	std::string v;
	if (!read_js_string(s, i, v, js_decoding::utf8, &resume))
		return false;
	resume = i;
	size_t j = i;
	while (j < s.size() && (s[j] == ' ' || s[j] == '\t'))
		j++;
	bool ends = j == s.size() || s[j] == '\n' || s[j] == '\r' || s[j] == ';' || s[j] == '}' || s[j] == ',' ||
		    s.substr(j, 2) == "//" || s.substr(j, 2) == "/*";
	if (!ends)
		return false;
	value = std::move(v);
	return true;
}

// `resume`: past the string literal it read, whether it matched or not.
bool redirect_at(std::string_view s, size_t i, std::string &url, size_t &resume)
{
	skip_js_space(s, i);
	if (i < s.size() && s[i] == '.') {
		size_t j = i + 1;
		skip_js_space(s, j);
		std::string_view rest = s.substr(j);
		if (rest.starts_with("href")) {
			i = j + 4;
			if (i < s.size() && identifier_char(s[i]))
				return false;
			skip_js_space(s, i);
		} else {
			// location.replace("...") or location.assign("...")
			size_t n = rest.starts_with("replace") ? 7 : rest.starts_with("assign") ? 6 : 0;
			if (n == 0)
				return false;
			i = j + n;
			skip_js_space(s, i);
			if (i >= s.size() || s[i] != '(')
				return false;
			i++;
			skip_js_space(s, i);
			std::string v;
			if (!read_js_string(s, i, v, js_decoding::utf8, &resume))
				return false;
			resume = i;
			skip_js_space(s, i);
			if (i >= s.size() || s[i] != ')')
				return false;
			url = std::move(v);
			return true;
		}
	}
	if (i >= s.size() || s[i] != '=' || (i + 1 < s.size() && s[i + 1] == '='))
		return false;
	i++;
	skip_js_space(s, i);
	return literal_alone(s, i, url, resume);
}

}  // namespace

bool parse_refresh(std::string_view input, refresh &out)
{
	refresh r;
	size_t i = 0;
	skip_whitespace(input, i);
	size_t digits = i;
	while (i < input.size() && digit(input[i])) {
		unsigned long d = (unsigned long)(input[i] - '0');
		r.seconds = r.seconds > (~0UL - d) / 10 ? ~0UL : r.seconds * 10 + d;
		i++;
	}
	if (i == digits && (i >= input.size() || input[i] != '.'))
		return false;
	while (i < input.size() && (digit(input[i]) || input[i] == '.'))
		i++;
	if (i < input.size()) {
		if (input[i] != ';' && input[i] != ',' && !ascii_whitespace(input[i]))
			return false;
		skip_whitespace(input, i);
		if (i < input.size() && (input[i] == ';' || input[i] == ','))
			i++;
		skip_whitespace(input, i);
	}
	if (i < input.size()) {
		std::string_view url = input.substr(i);
		size_t j = i;
		bool skip_quotes = false;
		if (input[j] == 'U' || input[j] == 'u') {
			j++;
			if (j < input.size() && (input[j] == 'R' || input[j] == 'r') && j + 1 < input.size() &&
			    (input[j + 1] == 'L' || input[j + 1] == 'l')) {
				j += 2;
				skip_whitespace(input, j);
				if (j < input.size() && input[j] == '=') {
					j++;
					skip_whitespace(input, j);
					skip_quotes = true;
				}
			}
		} else {
			skip_quotes = true;
		}
		if (skip_quotes) {
			char quote = 0;
			if (j < input.size() && (input[j] == '\'' || input[j] == '"'))
				quote = input[j++];
			url = input.substr(j);
			if (quote) {
				size_t end = url.find(quote);
				if (end != std::string_view::npos)
					url = url.substr(0, end);
			}
		}
		r.has_url = true;
		r.url = std::string(url);
	}
	out = std::move(r);
	return true;
}

bool meta_refresh(const std::vector<token> &tokens, refresh &out)
{
	for (const token &t : tokens) {
		if (t.kind != token_kind::start_tag || t.name != "meta")
			continue;
		const std::string *equiv = find_attribute(t, "http-equiv");
		const std::string *content = find_attribute(t, "content");
		if (equiv && content && equals_ignoring_case(*equiv, "refresh") && parse_refresh(*content, out))
			return true;
	}
	return false;
}

bool script_redirect(std::string_view script, std::string &url)
{
	// One pass over the script that steps over string literals and
	// comments, so that neither is searched (a regular expression literal
	// is not told from a division), and that stays linear in its length.
	constexpr std::string_view name = "location";
	const std::string_view s = script;
	for (size_t i = 0; i < s.size();) {
		char c = s[i];
		if (c == '"' || c == '\'' || c == '`') {
			std::string ignored;
			size_t stopped = i;
			if (c != '`' && read_js_string(s, i, ignored, js_decoding::utf8, &stopped))
				continue;
			if (c == '`') {
				size_t close = s.find('`', i + 1);
				i = close == std::string_view::npos ? s.size() : close + 1;
				continue;
			}
			i = std::max(stopped, i + 1);
			continue;
		}
		if (s.substr(i, 2) == "//") {
			size_t eol = s.find('\n', i);
			i = eol == std::string_view::npos ? s.size() : eol + 1;
			continue;
		}
		if (s.substr(i, 2) == "/*") {
			size_t close = s.find("*/", i + 2);
			i = close == std::string_view::npos ? s.size() : close + 2;
			continue;
		}
		if (s.substr(i, name.size()) == name && object_before(s, i) &&
		    (i + name.size() == s.size() || !identifier_char(s[i + name.size()]))) {
			size_t resume = 0;
			if (redirect_at(s, i + name.size(), url, resume))
				return true;
			i = std::max(i + name.size(), resume);
			continue;
		}
		// Step over a whole identifier: "mylocation" holds no "location".
		if (identifier_char(c)) {
			while (i < s.size() && identifier_char(s[i]))
				i++;
			continue;
		}
		i++;
	}
	return false;
}

bool page_redirect(const std::vector<token> &tokens, std::string &url)
{
	refresh r;
	if (meta_refresh(tokens, r) && r.has_url) {
		url = r.url;
		return true;
	}
	for (const std::string &script : script_texts(tokens))
		if (script_redirect(script, url))
			return true;
	return false;
}

}  // namespace html

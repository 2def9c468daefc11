#include "html/chap.h"

#include <algorithm>
#include <string_view>

#include "html/js_string.h"

namespace html {

namespace {

// What stands between the two literals: the password's expression, such
// as document.login.password.value or document.forms[0].password.value.
constexpr size_t MAX_EXPRESSION = 256;

void skip_space(std::string_view s, size_t &i)
{
	while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r' || s[i] == '\f' || s[i] == '\v'))
		i++;
}

// hexMD5( LITERAL + EXPRESSION + LITERAL ) with s[i] just past the "(".
// `resume`: past what it read, whether it matched or not.
bool call_at(std::string_view s, size_t i, chap_challenge &out, size_t &resume)
{
	chap_challenge c;
	skip_space(s, i);
	resume = i;
	if (!read_js_string(s, i, c.id, js_decoding::bytes, &resume))
		return false;
	resume = i;
	skip_space(s, i);
	if (i >= s.size() || s[i] != '+')
		return false;
	// The expression, read once, literals in it stepped over: the
	// challenge is the literal the call's ")" follows.
	size_t limit = std::min(s.size(), i + 1 + MAX_EXPRESSION);
	for (i++; i < limit; resume = i) {
		if (s[i] == ')' || s[i] == ';')
			return false;
		if (s[i] != '\'' && s[i] != '"') {
			i++;
			continue;
		}
		std::string literal;
		if (!read_js_string(s, i, literal, js_decoding::bytes, &resume))
			return false;
		size_t j = i;
		skip_space(s, j);
		if (j < s.size() && s[j] == ')') {
			c.challenge = std::move(literal);
			out = std::move(c);
			return true;
		}
	}
	return false;
}

}  // namespace

bool find_chap_challenge(const std::vector<token> &tokens, chap_challenge &out)
{
	constexpr std::string_view call = "hexMD5";
	for (const std::string &script : script_texts(tokens)) {
		std::string_view s = script;
		size_t from = 0;
		for (size_t at; (at = s.find(call, from)) != std::string_view::npos;) {
			size_t i = at + call.size();
			from = i;
			skip_space(s, i);
			size_t resume = 0;
			if (i < s.size() && s[i] == '(' && call_at(s, i + 1, out, resume))
				return true;
			from = std::max(from, resume);
		}
	}
	const std::string *id = nullptr, *challenge = nullptr;
	for (const token &t : tokens) {
		if (t.kind != token_kind::start_tag || t.name != "input")
			continue;
		const std::string *name = find_attribute(t, "name");
		const std::string *value = find_attribute(t, "value");
		if (!name || !value)
			continue;
		if (*name == "chap-id" && !id)
			id = value;
		else if (*name == "chap-challenge" && !challenge)
			challenge = value;
	}
	chap_challenge c;
	if (!id || !challenge || !decode_js_escapes(*id, c.id, js_decoding::bytes) ||
	    !decode_js_escapes(*challenge, c.challenge, js_decoding::bytes))
		return false;
	out = std::move(c);
	return true;
}

}  // namespace html

#include <string>

#include "config/reader.h"

namespace {

enum char_class : unsigned char {
	C_STRAY = 0,
	C_WHITE = 1 << 0,
	C_NAME = 1 << 1,   // letters, '-', '_'
	C_VALUE = 1 << 2,  // bytes that may start or continue a bare value
};

constexpr unsigned char classify(unsigned c)
{
	unsigned char k = C_STRAY;
	if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
		k |= C_WHITE;
	if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_')
		k |= C_NAME;
	if (c == 0x21 || (c >= 0x24 && c <= 0x3A) || (c >= 0x3F && c <= 0x5D) || c == 0x5F ||
	    (c >= 0x61 && c <= 0x7B) || c == 0x7D || c == 0x7E || c == 0xA3 || c == 0xA4)
		k |= C_VALUE;
	return k;
}

struct class_table {
	unsigned char k[256];
	constexpr class_table() : k()
	{
		for (unsigned c = 0; c < 256; c++)
			k[c] = classify(c);
	}
};

constexpr class_table classes;

// The rules of the normal mode, in the order that breaks a tie between
// two matches of the same length.
enum scan_rule {
	RULE_COMMENT,  // '#' up to the line feed
	RULE_WHITE,    // white space, skipped
	RULE_SET,      // "set" in any letter case
	RULE_EQUALS,   // '='
	RULE_NAME,     // at the beginning of a line: blanks, then name characters
	RULE_VALUE,    // value characters and '#', then ';'s
	RULE_QUOTE,    // '"' opens a quoted text
	RULE_STRAY,    // any other single byte: echoed
};

// The byte at offset i from the current position, or -1 at end of input.
int peek(const conf_scanner &sc, size_t i)
{
	size_t at = sc.pos + i;
	return at < sc.input.size() ? static_cast<unsigned char>(sc.input[at]) : -1;
}

bool is(int c, unsigned char k)
{
	return c >= 0 && (classes.k[c] & k);
}

size_t run_of(const conf_scanner &sc, size_t from, unsigned char k)
{
	size_t i = from;
	while (is(peek(sc, i), k))
		i++;
	return i;
}

// Take the next `len` bytes as the matched text; update the line state.
std::string_view consume(conf_scanner &sc, size_t len)
{
	std::string_view text = sc.input.substr(sc.pos, len);
	sc.pos += len;
	for (char c : text)
		if (c == '\n')
			sc.line++;
	sc.bol = !text.empty() && text.back() == '\n';
	return text;
}

struct match {
	scan_rule rule;
	size_t len;
};

// The longest match of the normal mode, and the first rule that reaches it.
match longest_normal(const conf_scanner &sc)
{
	match best{RULE_STRAY, 1};  // a stray byte, unless a rule takes more
	auto offer = [&best](scan_rule rule, size_t len) {
		if (len > best.len || (len == best.len && rule < best.rule))
			best = {rule, len};
	};
	int c = peek(sc, 0);
	if (c == '#') {
		size_t i = 1;
		for (int d; (d = peek(sc, i)) >= 0 && d != '\n';)
			i++;
		offer(RULE_COMMENT, i);
	}
	if (is(c, C_WHITE))
		offer(RULE_WHITE, run_of(sc, 0, C_WHITE));
	int e = peek(sc, 1), t = peek(sc, 2);
	if ((c | 0x20) == 's' && e >= 0 && (e | 0x20) == 'e' && t >= 0 && (t | 0x20) == 't')
		offer(RULE_SET, 3);
	if (c == '=')
		offer(RULE_EQUALS, 1);
	if (sc.bol) {
		size_t w = run_of(sc, 0, C_WHITE);
		size_t n = run_of(sc, w, C_NAME);
		if (n > w)
			offer(RULE_NAME, n);
	}
	if (is(c, C_VALUE)) {
		size_t i = run_of(sc, 1, C_VALUE);
		while (peek(sc, i) == '#')
			i = run_of(sc, i + 1, C_VALUE);
		while (peek(sc, i) == ';')
			i++;
		offer(RULE_VALUE, i);
	}
	if (c == '"')
		offer(RULE_QUOTE, 1);
	return best;
}

}  // namespace

int conf_scan(conf_scanner &sc, std::string &text)
{
	for (;;) {
		int c = peek(sc, 0);
		if (c < 0) {
			sc.pending.reset();  // an unclosed quote is dropped
			return TOK_END;
		}
		if (sc.quoted) {
			if (c == '"') {
				consume(sc, 1);
				sc.quoted = false;
				text = sc.pending ? std::move(*sc.pending) : std::string();
				sc.pending.reset();
				return TOK_VALUE;
			}
			size_t i = 1;
			for (int d; (d = peek(sc, i)) >= 0 && d != '"';)
				i++;
			sc.pending.emplace(consume(sc, i));
			continue;
		}
		match m = longest_normal(sc);
		std::string_view matched = consume(sc, m.len);
		switch (m.rule) {
		case RULE_COMMENT:
		case RULE_WHITE:
			break;
		case RULE_SET:
			return TOK_SET;
		case RULE_EQUALS:
			return TOK_EQUALS;
		case RULE_NAME:
			text.assign(matched);
			return TOK_NAME;
		case RULE_VALUE:
			text.assign(matched);
			return TOK_VALUE;
		case RULE_QUOTE:
			sc.quoted = true;
			sc.pending.reset();
			break;
		case RULE_STRAY:
			sc.echoed.append(matched);
			break;
		}
	}
}

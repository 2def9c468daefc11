#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
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

constexpr size_t READ_MAX = 8192;
constexpr size_t INITIAL_BUFFER = 16384;

struct scanner {
	bool quoted = false;
	bool bol = true;
	int line = 1;
	bool have_pending = false;
	std::string pending;
	std::string buf;  // unconsumed input starts at pos
	size_t pos = 0;
	bool eof = false;
};

scanner st;

[[noreturn]] void fatal(const char *msg)
{
	fflush(stdout);
	fprintf(stderr, "%s\n", msg);
	exit(2);
}

// Append one read's worth of standard input; false at end of input.
bool refill()
{
	if (st.eof)
		return false;
	if (st.pos > INITIAL_BUFFER) {
		st.buf.erase(0, st.pos);
		st.pos = 0;
	}
	char chunk[READ_MAX];
	ssize_t n;
	if (isatty(0)) {
		// A terminal gives one line per read.
		size_t got = 0;
		for (;;) {
			ssize_t r;
			do
				r = read(0, chunk + got, 1);
			while (r < 0 && errno == EINTR);
			if (r < 0)
				fatal("input in flex scanner failed");
			if (r == 0)
				break;
			got++;
			if (chunk[got - 1] == '\n' || got == READ_MAX)
				break;
		}
		n = static_cast<ssize_t>(got);
	} else {
		do
			n = read(0, chunk, READ_MAX);
		while (n < 0 && errno == EINTR);
		if (n < 0)
			fatal("input in flex scanner failed");
	}
	if (n == 0) {
		st.eof = true;
		return false;
	}
	try {
		st.buf.append(chunk, static_cast<size_t>(n));
	} catch (const std::bad_alloc &) {
		fatal("fatal error - scanner input buffer overflow");
	}
	return true;
}

// The byte at offset i from the current position, or -1 at end of input.
int peek(size_t i)
{
	while (st.pos + i >= st.buf.size())
		if (!refill())
			return -1;
	return static_cast<unsigned char>(st.buf[st.pos + i]);
}

bool is(int c, unsigned char k)
{
	return c >= 0 && (classes.k[c] & k);
}

size_t run_of(size_t from, unsigned char k)
{
	size_t i = from;
	while (is(peek(i), k))
		i++;
	return i;
}

// Take the next `len` bytes as the matched text; update line state.
std::string consume(size_t len)
{
	std::string text;
	try {
		text.assign(st.buf, st.pos, len);
	} catch (const std::bad_alloc &) {
		fatal("fatal error - scanner input buffer overflow");
	}
	st.pos += len;
	for (char c : text)
		if (c == '\n')
			st.line++;
	st.bol = !text.empty() && text.back() == '\n';
	return text;
}

// Length of the longest match and the first rule that reaches it, in the
// normal mode. Rules are numbered as they stand in the rule table.
struct match {
	int rule;
	size_t len;
};

match longest_normal()
{
	match best{10, 1};  // a stray byte, unless a rule takes more
	auto offer = [&best](int rule, size_t len) {
		if (len > best.len || (len == best.len && rule < best.rule))
			best = {rule, len};
	};
	int c = peek(0);
	if (c == '#') {
		size_t i = 1;
		for (int d; (d = peek(i)) >= 0 && d != '\n';)
			i++;
		offer(1, i);
	}
	if (is(c, C_WHITE))
		offer(2, run_of(0, C_WHITE));
	if ((c | 0x20) == 's' && (peek(1) | 0x20) == 'e' && (peek(2) | 0x20) == 't' && peek(1) >= 0 && peek(2) >= 0)
		offer(3, 3);
	if (c == '=')
		offer(4, 1);
	if (st.bol) {
		size_t w = run_of(0, C_WHITE);
		size_t n = run_of(w, C_NAME);
		if (n > w)
			offer(5, n);
	}
	if (is(c, C_VALUE)) {
		size_t i = run_of(1, C_VALUE);
		for (;;) {
			int d = peek(i);
			if (d == '#')
				i = run_of(i + 1, C_VALUE);
			else
				break;
		}
		while (peek(i) == ';')
			i++;
		offer(6, i);
	}
	if (c == '"')
		offer(7, 1);
	return best;
}

}  // namespace

void conf_scanner_reset()
{
	st.quoted = false;
	st.bol = true;
	st.line = 1;
	st.have_pending = false;
	st.pending.clear();
	st.buf.clear();
	st.buf.shrink_to_fit();
	st.pos = 0;
	st.eof = false;
	try {
		st.buf.reserve(INITIAL_BUFFER + 2);
	} catch (const std::bad_alloc &) {
		fatal("out of dynamic memory in yy_create_buffer()");
	}
}

int conf_scan_line()
{
	return st.line;
}

int conf_scan(std::string &text)
{
	for (;;) {
		int c = peek(0);
		if (c < 0) {
			st.have_pending = false;
			st.pending.clear();
			return TOK_END;
		}
		if (st.quoted) {
			if (c == '"') {
				consume(1);
				st.quoted = false;
				text = st.have_pending ? std::move(st.pending) : std::string();
				st.have_pending = false;
				st.pending.clear();
				return TOK_VALUE;
			}
			size_t i = 1;
			for (int d; (d = peek(i)) >= 0 && d != '"';)
				i++;
			st.pending = consume(i);
			st.have_pending = true;
			continue;
		}
		match m = longest_normal();
		std::string matched = consume(m.len);
		switch (m.rule) {
		case 1:
		case 2:
			break;
		case 3:
			return TOK_SET;
		case 4:
			return TOK_EQUALS;
		case 5:
			text = std::move(matched);
			return TOK_NAME;
		case 6:
			text = std::move(matched);
			return TOK_VALUE;
		case 7:
			st.quoted = true;
			st.have_pending = false;
			st.pending.clear();
			break;
		default:
			fwrite(matched.data(), 1, matched.size(), stdout);
			break;
		}
	}
}

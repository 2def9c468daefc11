// Reading a configuration text into setting values: the scanner, the
// parser over a text, and the file reader the program calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/settings.h"

// Tokens the scanner hands to the parser.
enum conf_token {
	TOK_END = 0,
	TOK_NAME = 258,
	TOK_VALUE = 259,
	TOK_EQUALS = 260,
	TOK_SET = 261,
};

// The scanner's state over one text: normal or quoted mode, the
// beginning-of-line condition and the line counter, kept from one token
// to the next.
struct conf_scanner {
	std::string_view input;
	size_t pos = 0;
	bool quoted = false;
	bool bol = true;
	int line = 1;  // 1 + line feeds consumed so far
	std::optional<std::string> pending;  // quoted text not yet closed
	std::string echoed;  // the stray bytes skipped so far, in order
};

// The next token; for TOK_NAME and TOK_VALUE `text` receives its text.
int conf_scan(conf_scanner &sc, std::string &text);

struct conf_parse_result {
	int status;          // 0 accepted, 1 syntax error
	int line;            // the scanner's line when the parse stopped
	std::string echoed;  // the stray bytes, which belong on standard output
};

// Parse `text` and store each assignment into `values` as it is read; a
// syntax error stops the parse and keeps what came before. Defaults are
// not filled.
conf_parse_result conf_parse_text(std::string_view text, conf_values &values);

// The syntax error line as the reader writes it, without its line end.
std::string conf_syntax_error(int line);

// Read the file at `path` as standard input and parse it: stray bytes go
// to standard output, a syntax error line to standard error; then every
// setting without a value takes its default. 0 read, 1 read up to a
// syntax error, -1 standard input cannot be duplicated, -2 the file
// cannot be opened (errno tells why). A failed read or no memory ends the
// process with status 2.
int conf_read_file(conf_values &values, const char *path);

// Reading a configuration file into the settings table.
#pragma once

#include <string>

#include "config/settings.h"

// Tokens the scanner hands to the parser.
enum conf_token {
	TOK_END = 0,
	TOK_NAME = 258,
	TOK_VALUE = 259,
	TOK_EQUALS = 260,
	TOK_SET = 261,
};

// Start the scanner afresh on standard input: normal mode, beginning of a
// line, line 1, empty buffer.
void conf_scanner_reset();

// The next token from standard input; for TOK_NAME and TOK_VALUE `text`
// receives its text. Stray bytes are echoed to standard output. A failed
// read (other than EINTR) or no memory ends the process with status 2.
int conf_scan(std::string &text);

// The scanner's line counter: 1 + line feeds consumed so far.
int conf_scan_line();

// Parse standard input and store each assignment into the registered table.
// 0 accepted, 1 syntax error ("<filename>:N -- syntax error" on stderr).
int conf_parse();

// Make `path` standard input for the parse, restore it, fill defaults.
// 0 read (also after a syntax error), -1 no table (EINVAL) or dup failed,
// -2 the file cannot be opened; errno tells why.
int conf_read_file(conf_param *table, const char *path);

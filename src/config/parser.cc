#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "config/reader.h"

namespace {

// Where the parser stands within a statement: [SET] NAME [=] VALUE.
enum parse_state {
	STATEMENT_START,  // a statement may begin (or the input end, after one)
	AFTER_SET,        // SET read, a NAME must follow
	AFTER_NAME,       // NAME read, '=' or a VALUE must follow
	AFTER_EQUALS,     // NAME = read, a VALUE must follow
};

}  // namespace

int conf_parse()
{
	parse_state state = STATEMENT_START;
	bool any_statement = false;
	std::string name;
	std::string text;
	for (;;) {
		int tok = conf_scan(text);
		bool ok = true;
		switch (state) {
		case STATEMENT_START:
			if (tok == TOK_END && any_statement)
				return 0;
			if (tok == TOK_SET)
				state = AFTER_SET;
			else if (tok == TOK_NAME)
				name = std::move(text), state = AFTER_NAME;
			else
				ok = false;
			break;
		case AFTER_SET:
			if (tok == TOK_NAME)
				name = std::move(text), state = AFTER_NAME;
			else
				ok = false;
			break;
		case AFTER_NAME:
		case AFTER_EQUALS:
			if (tok == TOK_EQUALS && state == AFTER_NAME) {
				state = AFTER_EQUALS;
			} else if (tok == TOK_VALUE) {
				// Stored at once, before the next token is asked for.
				conf_set_value(nullptr, name.c_str(), text.c_str());
				any_statement = true;
				state = STATEMENT_START;
			} else {
				ok = false;
			}
			break;
		}
		if (!ok) {
			fflush(stdout);
			fprintf(stderr, "<filename>:%d -- %s\n", conf_scan_line(), "syntax error");
			return 1;
		}
	}
}

int conf_read_file(conf_param *table, const char *path)
{
	if (table == nullptr) {
		errno = EINVAL;
		return -1;
	}
	int saved = dup(STDIN_FILENO);
	if (saved < 0)
		return -1;
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		int e = errno;
		close(saved);
		errno = e;
		return -2;
	}
	dup2(fd, STDIN_FILENO);
	close(fd);

	conf_register_table(table);
	conf_scanner_reset();
	conf_parse();

	dup2(saved, STDIN_FILENO);
	close(saved);
	conf_fill_defaults(table);
	return 0;
}

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "base/unique_fd.h"
#include "config/reader.h"

namespace {

// Where the parser stands within a statement: [SET] NAME [=] VALUE.
enum parse_state {
	STATEMENT_START,  // a statement may begin (or the input end, after one)
	AFTER_SET,        // SET read, a NAME must follow
	AFTER_NAME,       // NAME read, '=' or a VALUE must follow
	AFTER_EQUALS,     // NAME = read, a VALUE must follow
};

[[noreturn]] void fatal(const char *msg)
{
	fflush(stdout);
	fprintf(stderr, "%s\n", msg);
	exit(2);
}

constexpr size_t READ_MAX = 8192;

// The whole of standard input. A failed read or no memory is fatal.
std::string read_standard_input()
{
	std::string text;
	try {
		text.reserve(2 * READ_MAX);
	} catch (const std::bad_alloc &) {
		fatal("out of dynamic memory in yy_create_buffer()");
	}
	char chunk[READ_MAX];
	for (;;) {
		ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			fatal("input in flex scanner failed");
		if (n == 0)
			return text;
		try {
			text.append(chunk, static_cast<size_t>(n));
		} catch (const std::bad_alloc &) {
			fatal("fatal error - scanner input buffer overflow");
		}
	}
}

}  // namespace

conf_parse_result conf_parse_text(std::string_view text, conf_values &values)
{
	conf_scanner sc;
	sc.input = text;
	parse_state state = STATEMENT_START;
	bool any_statement = false;
	std::string name;
	std::string token;
	for (;;) {
		int tok = conf_scan(sc, token);
		bool ok = true;
		switch (state) {
		case STATEMENT_START:
			if (tok == TOK_END && any_statement)
				return {0, sc.line, std::move(sc.echoed)};
			if (tok == TOK_SET)
				state = AFTER_SET;
			else if (tok == TOK_NAME)
				name = std::move(token), state = AFTER_NAME;
			else
				ok = false;
			break;
		case AFTER_SET:
			if (tok == TOK_NAME)
				name = std::move(token), state = AFTER_NAME;
			else
				ok = false;
			break;
		case AFTER_NAME:
		case AFTER_EQUALS:
			if (tok == TOK_EQUALS && state == AFTER_NAME) {
				state = AFTER_EQUALS;
			} else if (tok == TOK_VALUE) {
				conf_set_value(values, name.c_str(), token.c_str());
				any_statement = true;
				state = STATEMENT_START;
			} else {
				ok = false;
			}
			break;
		}
		if (!ok)
			return {1, sc.line, std::move(sc.echoed)};
	}
}

std::string conf_syntax_error(int line)
{
	return "<filename>:" + std::to_string(line) + " -- syntax error";
}

int conf_read_file(conf_values &values, const char *path)
{
	// The file is read as standard input, which is put back afterwards.
	unique_fd saved(dup(STDIN_FILENO));
	if (saved.get() < 0)
		return -1;
	{
		unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
		if (fd.get() < 0)
			return -2;
		dup2(fd.get(), STDIN_FILENO);
	}
	std::string text = read_standard_input();
	dup2(saved.get(), STDIN_FILENO);

	conf_parse_result r = conf_parse_text(text, values);
	fwrite(r.echoed.data(), 1, r.echoed.size(), stdout);
	if (r.status != 0) {
		fflush(stdout);
		fprintf(stderr, "%s\n", conf_syntax_error(r.line).c_str());
	}
	conf_fill_defaults(values);
	return r.status == 0 ? 0 : 1;
}

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "capture.h"
#include "config/reader.h"
#include "config/settings.h"
#include "helpers.h"

namespace {

struct Outcome {
	std::map<std::string, std::string> set;  // canonical name -> value, non-defaults only
	std::string out;                          // stray bytes echoed
	std::string err;                          // the parser's complaint
};

// Parse `text` as a configuration file; report which settings it changed.
Outcome read_text(const std::string &text, conf_values *kept = nullptr)
{
	conf_values values;
	conf_parse_result r = conf_parse_text(text, values);
	Outcome o;
	o.out = r.echoed;
	if (r.status != 0)
		o.err = conf_syntax_error(r.line) + "\n";
	conf_fill_defaults(values);
	for (int row = 0; row < CONF_SETTINGS; row++) {
		const auto &v = values.value[row];
		const char *def = conf_table[row].def;
		if (v && (def == nullptr || *v != def))
			o.set[conf_table[row].names[0]] = *v;
	}
	if (kept != nullptr)
		*kept = values;
	return o;
}

// The value of the setting a name from a file selects, or nullptr.
const char *value_of(const conf_values &v, const char *name)
{
	int row = conf_find(name);
	return row < 0 ? nullptr : conf_value(v, row);
}

std::string syntax_error(int line)
{
	return "<filename>:" + std::to_string(line) + " -- syntax error\n";
}

using Set = std::map<std::string, std::string>;

TEST(ConfigSyntax, TableOfFiles)
{
	struct Case {
		const char *text;
		Set set;
		std::string out;
		std::string err;
	} cases[] = {
		// Assignment forms.
		{"USER = joe", {{"USER", "joe"}}, "", ""},
		{"USER joe", {{"USER", "joe"}}, "", ""},
		{"USER=joe;", {{"USER", "joe"}}, "", ""},
		{"user joe\n", {{"USER", "joe"}}, "", ""},
		{"USERNAME = \"joe\"", {{"USER", "joe"}}, "", ""},
		{"USER = joe;;", {{"USER", "joe;"}}, "", ""},
		{"LOGGED_OUT_STRING = \"Login again\"", {}, "", ""},  // the default itself
		{"LOGGED_OUT_STRING = \"Logged out\"", {{"LOGGED_OUT_STRING", "Logged out"}}, "", ""},
		{"LOGIN_STRING_FOOTER = \"a=b\"", {{"LOGIN_STRING_FOOTER", "a=b"}}, "", ""},
		{"LOGIN_STRING_FOOTER = a=b", {{"LOGIN_STRING_FOOTER", "a"}}, "", syntax_error(1)},
		{"INIT = /x/init # status page\n", {{"INIT_PAGE", "/x/init"}}, "", ""},
		{"USER = a#b", {{"USER", "a#b"}}, "", ""},
		{"SET\nDEAMON_D 10\n", {{"DEAMON_D", "10"}}, "", ""},
		{"SET DEAMON_D 10\n", {}, "", syntax_error(1)},
		{"USER\n= joe\n", {{"USER", "joe"}}, "", ""},
		{"USER =\njoe\n", {}, "", syntax_error(2)},
		{"USER = joe\nUSERNAME = ann\n", {{"USER", "ann"}}, "", ""},
		{"SERVER_PORT 81\nPORT 82\n", {{"SERVER_PORT", "82"}}, "", ""},
		{"DAEMON_S = no\nSTART_DAEMON = no\n", {{"DEAMON_S", "no"}}, "", ""},
		// Errors stop the parse; what came before stays.
		{"", {}, "", syntax_error(1)},
		{"# only a comment\n\n", {}, "", syntax_error(3)},
		{"USER = joe smith\nPASS = x\n", {{"USER", "joe"}}, "", syntax_error(1)},
		{"USER = set", {}, "", syntax_error(1)},
		{"USER = \"set\"", {{"USER", "set"}}, "", ""},
		{"LOGIN_PAGE2 = x", {}, "", syntax_error(1)},
		{"USER = \"joe\n", {}, "", syntax_error(2)},
		{"USER = joe\n  PASS = x\n", {{"USER", "joe"}}, "", syntax_error(2)},
		{"USER = joe\n\n  PASS = x\n", {{"USER", "joe"}}, "", syntax_error(3)},
		{"USER = joe\n   \nPASS = x\n", {{"USER", "joe"}, {"PASS", "x"}}, "", ""},
		// Stray bytes are echoed and skipped.
		{"USER = \"joe\";", {{"USER", "joe"}}, ";", ""},
		{"USER = <x>", {{"USER", "x"}}, "<>", ""},
		{"USER = j^o|e`", {{"USER", "j"}}, "^", syntax_error(1)},
		// Beginning of a line.
		{"  USER = joe\nPASS = x\n", {{"PASS", "x"}}, "", ""},
		{"\n\nUSER = joe\nPASS = x\n", {{"PASS", "x"}}, "", ""},
		{"\n#c\nUSER = joe\nPASS = x\n", {{"USER", "joe"}, {"PASS", "x"}}, "", ""},
		{"SETX = 1", {}, "", ""},  // a name that selects nothing
		{"USER = SETX", {{"USER", "SETX"}}, "", ""},
		// Line ends.
		{"USER = joe\r\nPASS = x\r\n", {{"USER", "joe"}, {"PASS", "x"}}, "", ""},
		{"USER = joe\rPASS = x\r", {{"USER", "joe"}}, "", syntax_error(1)},
		// Quoted values keep line feeds and may be empty.
		{"LOGGED_IN_STRING = \"a\nb\"\nUSER = c\n", {{"LOGGED_IN_STRING", "a\nb"}, {"USER", "c"}}, "", ""},
		{"USER = \"\"\nPASS = \"\"\n", {{"USER", ""}, {"PASS", ""}}, "", ""},
		{"USER = ;", {}, ";", syntax_error(1)},  // a ';' cannot begin a value
		{"USER = a;b", {{"USER", "a"}}, "", syntax_error(1)},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(std::string("file: «") + c.text + "»");
		Outcome o = read_text(c.text);
		EXPECT_EQ(o.set, c.set);
		EXPECT_EQ(o.out, c.out);
		EXPECT_EQ(o.err, c.err);
	}
}

TEST(ConfigSyntax, NulAndBinaryBytesAreEchoedNotFatal)
{
	Outcome o = read_text(std::string("USER = joe\n\0\x01\xff\nPASS = x\n", 21));
	EXPECT_EQ(o.set, (Set{{"USER", "joe"}}));
	EXPECT_EQ(o.out, std::string("\0\x01\xff", 3));
	EXPECT_EQ(o.err, syntax_error(3)) << "the stray bytes break the line: PASS is then no name";

	std::string binary;
	for (int i = 0; i < 70000; i++)
		binary += static_cast<char>((i * 7919) & 0xff);
	o = read_text(binary);  // whatever it holds, it ends normally
	SUCCEED();
}

TEST(ConfigSyntax, LargeInputs)
{
	std::string many;
	for (int i = 0; i < 100000; i++)
		many += "INTERVAL = " + std::to_string(i) + "\n";
	Outcome o = read_text(many);
	EXPECT_EQ(o.set, (Set{{"DEAMON_D", "99999"}}));
	EXPECT_EQ(o.err, "");

	std::string token(1 << 20, 'a');
	o = read_text("USER = " + token + "\nPASS = " + token + "x b\n");
	EXPECT_EQ(o.set["USER"], token);
	EXPECT_EQ(o.set["PASS"], token + "x");
	EXPECT_EQ(o.err, syntax_error(2));
}

TEST(ConfigSyntax, DefaultsFillEverythingButCredentialsAndHeader)
{
	conf_values v;
	read_text("USER = joe\n", &v);
	EXPECT_STREQ(value_of(v, "PID_FILE"), "/var/run/kavri.pid");
	EXPECT_EQ(value_of(v, "LOGIN_STRING_HEADER"), nullptr);
	EXPECT_EQ(value_of(v, "PASS"), nullptr);
	EXPECT_STREQ(value_of(v, "interval"), "5");
	for (int row = 0; row < CONF_SETTINGS; row++)
		EXPECT_EQ(v.value[row].has_value(),
		          conf_table[row].def != nullptr || std::string(conf_table[row].names[0]) == "USER")
			<< conf_table[row].names[0];
}

// The file reader around the parser: the file as standard input, stray
// bytes on standard output, the complaint on standard error, defaults.
TEST(ConfigFile, ReadsTheFileAndWritesTheParsersOutput)
{
	TempDir dir;
	std::string path = dir.file("conf");
	write_file(path, "USER = <joe>\nPASS = a b\nSERV = 127.0.0.1\n");
	struct stat before {}, after {};
	ASSERT_EQ(fstat(0, &before), 0);
	conf_values v;
	StreamCapture cap;
	int rc = conf_read_file(v, path.c_str());
	cap.stop();
	ASSERT_EQ(fstat(0, &after), 0);
	EXPECT_TRUE(before.st_dev == after.st_dev && before.st_ino == after.st_ino) << "standard input is put back";
	EXPECT_EQ(rc, 1) << "read, up to a syntax error";
	EXPECT_EQ(cap.out(), "<>");
	EXPECT_EQ(cap.err(), syntax_error(2));
	EXPECT_STREQ(value_of(v, "USER"), "joe");
	EXPECT_STREQ(value_of(v, "PASS"), "a");
	EXPECT_STREQ(value_of(v, "SERV"), "192.168.1.1") << "nothing after the error is read";

	write_file(path, "USER = joe\n");
	conf_values w;
	EXPECT_EQ(conf_read_file(w, path.c_str()), 0);
	EXPECT_STREQ(value_of(w, "PID_FILE"), "/var/run/kavri.pid");
}

TEST(ConfigFile, MissingFile)
{
	conf_values v;
	errno = 0;
	EXPECT_EQ(conf_read_file(v, "/nonexistent/kavri.conf"), -2);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(value_of(v, "PID_FILE"), nullptr) << "no defaults after a failed open";
}

TEST(Settings, NamesValuesAndFlags)
{
	conf_values v;
	EXPECT_EQ(conf_set_value(v, "Username", "a"), 0);
	EXPECT_STREQ(value_of(v, "user"), "a");
	EXPECT_EQ(conf_set_value(v, "Login", "/p"), 0);
	EXPECT_STREQ(value_of(v, "LOGIN_PAGE"), "/p");
	EXPECT_EQ(conf_set_value(v, "DAEMON_S", "x"), -1);
	EXPECT_EQ(conf_set_value(v, " USER", "x"), -1);
	{
		StreamCapture cap;
		errno = ENOMEM;
		EXPECT_EQ(conf_set_value(v, "USER", nullptr), -1);
		cap.stop();
		EXPECT_EQ(cap.err(), "Failed to allocate memory for configuration values: Cannot allocate memory\n");
	}
	// The older flags read leniently, the yes/no settings strictly.
	struct {
		const char *value;
		int flag;    // DEAMON_S
		int yes_no;  // TLS, WATCH_NETWORK; -1: not read
	} flags[] = {
		{"yes", 1, 1}, {"On", 1, 1}, {"TRUE", 1, 1}, {"no", 0, 0}, {"OFF", 0, 0}, {"False", 0, 0},
		{"1", 0, -1}, {"0", 0, -1}, {"true ", 0, -1}, {"", 0, -1}, {"y", 0, -1}, {"enabled", 0, -1},
	};
	for (const auto &f : flags) {
		conf_values w;
		conf_set_value(w, "START_DAEMON", f.value);
		conf_set_value(w, "WATCH_NETWORK", "no");
		conf_set_value(w, "TLS", f.value);
		conf_fill_defaults(w);
		login_config c{};
		int unread = conf_apply(w, &c);
		EXPECT_EQ(c.daemon_start, f.flag) << f.value;
		EXPECT_EQ(c.tls, f.yes_no == 1) << f.value;
		EXPECT_EQ(unread, f.yes_no < 0 ? conf_row("TLS") : -1) << f.value;
	}

	conf_fill_defaults(v);
	EXPECT_TRUE(v.from_file[conf_find("USERNAME")]);
	EXPECT_FALSE(v.from_file[conf_find("PID_FILE")]) << "a default is not the file's";
}

TEST(Settings, DecimalReadingSaturates)
{
	struct {
		const char *text;
		int value;
	} cases[] = {
		{"81abc", 81}, {"abc", 0}, {"  -12", -12}, {"+7", 7}, {"", 0},
		{"2147483647", 2147483647}, {"2147483648", 2147483647},
		{"-2147483648", -2147483647 - 1}, {"-99999999999999999999", -2147483647 - 1},
		{"99999999999999999999999", 2147483647},
	};
	for (const auto &c : cases)
		EXPECT_EQ(conf_atoi(c.text), c.value) << c.text;
}

}  // namespace

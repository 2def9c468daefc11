// The command line: options, help, usage and version texts.
#pragma once

// Run modes.
inline constexpr int ACTION_LOGIN = 0;
inline constexpr int ACTION_LOGOUT = 1;
inline constexpr int ACTION_STATUS = 2;
inline constexpr int ACTION_NONE = 3;

// The name the program was started under: the first argument after its
// last '/'. Only the help header and the usage line use it.
extern const char *program_name;

struct options {
	int action = ACTION_NONE;
	unsigned verbosity = 0;
	const char *conf_file = nullptr;
	const char *pid_file = nullptr;
	const char *port = nullptr;  // -P as given, or none
};

// Read the options. Returns -1 when the run goes on with `opts`, or the
// exit status when help, usage, version or an option error ended it.
int parse_options(int argc, char *argv[], options *opts);

void print_help();
void print_usage();
void print_version();

// The session record: the one record that carries a run.
#pragma once

#include <cstddef>

inline constexpr size_t REQUEST_SIZE = 4091;  // request text and its NUL
inline constexpr size_t REPLY_SIZE = 4091;    // reply bytes, a NUL follows

struct login_session {
	const char *username;
	const char *password;
	const char *server;
	int port;
	const char *login_header;  // may be null
	const char *username_key;
	const char *password_key;
	const char *login_footer;
	const char *logged_in_string;
	const char *logged_out_string;
	const char *init_page;
	const char *login_page;
	const char *logout_page;
	int logged_in;  // 0 or 1, set by every exchange
	char request[REQUEST_SIZE];
	char reply[REPLY_SIZE + 1];
	int daemon_start;
	int daemon_login;
	int daemon_delay;  // minutes
	char *conf_file;   // owned; lives until exit
	const char *pid_file;
	int sock;
};

// The process's one record, zero at start; load_config fills it.
login_session *session_instance();

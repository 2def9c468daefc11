// The record that carries a run: the settings in force, fixed once loaded,
// and the login state that every exchange reads and leaves behind.
#pragma once

#include <cstddef>
#include <string>

inline constexpr size_t REQUEST_SIZE = 4091;  // request text and its NUL
inline constexpr size_t REPLY_SIZE = 4091;    // reply bytes, a NUL follows

// The settings in force. Loading fills it once, the -p and -P overrides
// included; from then on it is only read. The texts live until exit.
struct login_config {
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
	const char *pid_file;
	int daemon_start;
	int daemon_login;
	int daemon_delay;  // minutes
	int watch_network;      // the daemon checks at once when the network changes
	const char *interface;  // every connection goes through it; may be null
	const char *conf_file;
	int conf_exposed;  // group or others may read the file, password and all
	int tls;                  // 1: HTTPS to the login server
	const char *tls_ca_file;  // trust these certificates instead of the system's; may be null
	const char *tls_pin;      // SHA-256 pins of the server's public key, base64, comma-separated; may be null
	const char *state_file;  // the daemon keeps its state there, as JSON; may be null
	const char *on_change;   // program the daemon runs when the login state changes; may be null
	int login_form;            // 1: log in through the portal's own form
	const char *probe_url;     // the status probe's absolute URL instead of SERV's INIT_PAGE; may be null
	const char *portal_hosts;  // hosts besides SERV that may get the user's fields; may be null
	const char *login_fields;  // "name=value&..." added to or put over a form's fields; may be null
};

// The login state of a run. Each exchange composes its request and owns its
// socket by itself; what it leaves here is the reply and the verdict.
struct login_session {
	const login_config *conf;
	int logged_in;  // 0 or 1, set by every exchange
	// The latest reply, as text: kept until the next exchange begins.
	char reply[REPLY_SIZE + 1];
	// With LOGIN_FORM: the latest probe's whole reply (up to its cap) and
	// the URL it came from, for the form login to start on. Emptied, its
	// memory given back, when the login has used it.
	std::string page;
	std::string page_url;
};

// A session at its start: not logged in.
inline login_session session_start(const login_config *conf)
{
	login_session s{};
	s.conf = conf;
	return s;
}

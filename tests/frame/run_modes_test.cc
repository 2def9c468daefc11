// The run modes' results: every row of the results table and the handling
// of a PID file, with a stand-in daemon that holds the lock on its file and
// records each signal it takes. Each row runs in a PID namespace and a /tmp
// of its own: a signal sent to a wrong PID (0, -1, a process group) can
// reach nothing outside, and the fixed /tmp/kavri.pid is never the
// machine's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_server.h"
#include "helpers.h"
#include "isolation.h"
#include "stand_in.h"

namespace {

const std::string TMP_PID = "/tmp/kavri.pid";

// A PID that names no process: a child that has ended and been reaped.
pid_t gone_pid()
{
	pid_t child = fork();
	if (child == 0)
		_exit(0);
	waitpid(child, nullptr, 0);
	return child;
}

void replace_all(std::string &s, const std::string &from, const std::string &to)
{
	for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
		s.replace(p, from.size(), to);
}

// Signals that reach the test process itself (PID 1 of its namespace,
// which takes a signal only where it has a handler).
std::atomic<int> signals_to_us{0};

void note_signal(int)
{
	signals_to_us++;
}

enum class File {
	none,
	live,            // the stand-in's file, locked, at the session's path
	live_at_tmp,     // the same at /tmp/kavri.pid; none at the session's path
	stale,           // names a process that is gone
	unlocked,        // names a live process that holds no lock on it
	other_owner,     // a live daemon's file, chowned to another user
	group_writable,  // ... chmod 0664
	other_writable,  // ... chmod 0606
	planted_at_tmp,  // a live daemon's file at /tmp, owned by another user
	writable_at_tmp,  // a live daemon's file at /tmp, writable by everyone
	symlink_at_tmp,   // /tmp/kavri.pid a symbolic link to another program's
	                  // locked PID file (0644, the runner's or root's)
	hard_link_at_tmp,  // ... a hard link to it
	zero,            // holds "0"
	minus_one,       // holds "-1"
	minus_five,      // holds "-5"
	text,            // holds no number
	pid_one,         // holds "1", and PID 1 (this test) holds the lock
};

enum class Server { logged_out, logged_in, refuses_login, login_breaks, logout_unconfirmed };

constexpr int DAEMON_STATUS = -1000;  // the stand-in's PID modulo 256

struct Row {
	const char *name;
	std::vector<std::string> args;
	File file;
	Server server;
	int status;
	std::vector<int> signals;  // what the stand-in took
	bool file_stays;           // the file, where it was, after the run
	size_t probes, logins, logouts;
	std::vector<std::string> out = {}, err = {};  // each somewhere on its stream; {pid} and {path} filled in
	bool silent = false;                // nothing at all on either stream
	uid_t runner = 0;                   // who runs kavri (and the stand-in)
};

const std::string STALE_LINES = "kill({pid}, SIGHUP) failed: No such process\n\n";

const Row ROWS[] = {
	// Login.
	{.name = "-l, daemon alive",
	 .args = {"-l", "-v"}, .file = File::live, .server = Server::logged_out, .status = 0,
	 .signals = {SIGHUP}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 0,
	 .out = {"Already running on pid {pid}, forcing relogin."}},
	{.name = "-l, daemon alive at /tmp",
	 .args = {"-l"}, .file = File::live_at_tmp, .server = Server::logged_out, .status = 0,
	 .signals = {SIGHUP}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 0,
	 .silent = true},
	{.name = "-l, stale file",
	 .args = {"-l", "-v"}, .file = File::stale, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = false,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .out = {"Already running on pid {pid}, forcing relogin.", "Trying to remove possibly stale lockfile ({path})...",
	         "SUCCESSFUL LOGIN"},
	 .err = {STALE_LINES, "Maybe a stale lockfile ({path})?"}},
	{.name = "-l, process alive but holding no lock",
	 .args = {"-l"}, .file = File::unlocked, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = false,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .err = {STALE_LINES, "Maybe a stale lockfile ({path})?"}},
	{.name = "-l, already logged in",
	 .args = {"-l", "-v"}, .file = File::none, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = false,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .out = {"Already logged in."}},
	// A refused login (a wrong password) is a failure, with or without -v.
	{.name = "-l, login answered without the marker",
	 .args = {"-l", "-v"}, .file = File::none, .server = Server::refuses_login, .status = 255,
	 .signals = {}, .file_stays = false,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .out = {"First check, not logged in yet."},
	 .err = {"LOGIN FAILED - To diagnose, try the options --debug --verbose"}},
	{.name = "-l quiet, login answered without the marker",
	 .args = {"-l"}, .file = File::none, .server = Server::refuses_login, .status = 255,
	 .signals = {}, .file_stays = false,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .err = {"LOGIN FAILED - To diagnose, try the options --debug --verbose"}},
	{.name = "-l, login request failed",
	 .args = {"-l"}, .file = File::none, .server = Server::login_breaks, .status = 255,
	 .signals = {}, .file_stays = false,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .err = {"To diagnose, try the options --debug --verbose"}},
	{.name = "-l, file of another user",
	 .args = {"-l"}, .file = File::other_owner, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-l, file writable by the group",
	 .args = {"-l"}, .file = File::group_writable, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-l, file writable by others",
	 .args = {"-l"}, .file = File::other_writable, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-l, file planted at /tmp",
	 .args = {"-l"}, .file = File::planted_at_tmp, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-l, file holds 0",
	 .args = {"-l"}, .file = File::zero, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-l, file holds -1",
	 .args = {"-l"}, .file = File::minus_one, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-l, file holds -5",
	 .args = {"-l"}, .file = File::minus_five, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-l, file holds text",
	 .args = {"-l"}, .file = File::text, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	// Never signalled; and as PID 1 holds its lock, the file is never
	// removed either.
	{.name = "-l, file names PID 1",
	 .args = {"-l"}, .file = File::pid_one, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .err = {"kill(1, SIGHUP) failed: No such process\n\n"}},
	// Logout.
	{.name = "-o, daemon alive",
	 .args = {"-o"}, .file = File::live, .server = Server::logged_in, .status = 0,
	 .signals = {SIGTERM}, .file_stays = false,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .silent = true},
	{.name = "-o, daemon alive at /tmp",
	 .args = {"-o"}, .file = File::live_at_tmp, .server = Server::logged_in, .status = 0,
	 .signals = {SIGTERM}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .silent = true},
	{.name = "-o, no file",
	 .args = {"-o"}, .file = File::none, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = false,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."}},
	{.name = "-o, stale file",
	 .args = {"-o"}, .file = File::stale, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = false,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."}},
	{.name = "-o, process alive but holding no lock",
	 .args = {"-o"}, .file = File::unlocked, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = false,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."}},
	{.name = "-o, file planted at /tmp",
	 .args = {"-o"}, .file = File::planted_at_tmp, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."}},
	{.name = "-o, file holds -1",
	 .args = {"-o"}, .file = File::minus_one, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."}},
	{.name = "-o, file names PID 1",
	 .args = {"-o"}, .file = File::pid_one, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."}},
	{.name = "-o, logout not confirmed",
	 .args = {"-o"}, .file = File::live, .server = Server::logout_unconfirmed, .status = 255,
	 .signals = {SIGTERM}, .file_stays = false,
	 .probes = 0, .logins = 0, .logouts = 1},
	// A file that anyone could have written is never acted upon, even when
	// a live process holds its lock.
	{.name = "-l, world-writable file at /tmp",
	 .args = {"-l"}, .file = File::writable_at_tmp, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-o, world-writable file at /tmp",
	 .args = {"-o"}, .file = File::writable_at_tmp, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."}},
	// The same run by an unprivileged user, whose signals could reach the
	// stand-in, as the first two rows show.
	{.name = "-l as nobody, daemon alive",
	 .args = {"-l", "-v"}, .file = File::live, .server = Server::logged_out, .status = 0,
	 .signals = {SIGHUP}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 0,
	 .out = {"Already running on pid {pid}, forcing relogin."},
	 .runner = NOBODY},
	{.name = "-o as nobody, daemon alive",
	 .args = {"-o"}, .file = File::live, .server = Server::logged_in, .status = 0,
	 .signals = {SIGTERM}, .file_stays = false,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .silent = true,
	 .runner = NOBODY},
	{.name = "-l as nobody, file planted at /tmp",
	 .args = {"-l"}, .file = File::planted_at_tmp, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true,
	 .runner = NOBODY},
	{.name = "-o as nobody, file planted at /tmp",
	 .args = {"-o"}, .file = File::planted_at_tmp, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."},
	 .runner = NOBODY},
	{.name = "-l as nobody, world-writable file at /tmp",
	 .args = {"-l"}, .file = File::writable_at_tmp, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true,
	 .runner = NOBODY},
	{.name = "-o as nobody, world-writable file at /tmp",
	 .args = {"-o"}, .file = File::writable_at_tmp, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."},
	 .runner = NOBODY},
	{.name = "-l as nobody, process alive but holding no lock",
	 .args = {"-l"}, .file = File::unlocked, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = false,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .err = {STALE_LINES, "Maybe a stale lockfile ({path})?"},
	 .runner = NOBODY},
	{.name = "-o as nobody, process alive but holding no lock",
	 .args = {"-o"}, .file = File::unlocked, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = false,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."},
	 .runner = NOBODY},
	// Another program's PID file, which would pass every test, reached
	// through a link that a user planted at /tmp.
	{.name = "-l, /tmp file a symbolic link to a locked file",
	 .args = {"-l"}, .file = File::symlink_at_tmp, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-o, /tmp file a symbolic link to a locked file",
	 .args = {"-o"}, .file = File::symlink_at_tmp, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."}},
	{.name = "-l, /tmp file a hard link to a locked file",
	 .args = {"-l"}, .file = File::hard_link_at_tmp, .server = Server::logged_out, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 1, .logouts = 0,
	 .silent = true},
	{.name = "-o, /tmp file a hard link to a locked file",
	 .args = {"-o"}, .file = File::hard_link_at_tmp, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."}},
	{.name = "-o as nobody, /tmp file a hard link to a locked file",
	 .args = {"-o"}, .file = File::hard_link_at_tmp, .server = Server::logged_in, .status = 0,
	 .signals = {}, .file_stays = true,
	 .probes = 0, .logins = 0, .logouts = 1,
	 .err = {"No active session found, will logout anyway."},
	 .runner = NOBODY},
	// Status.
	{.name = "-s, daemon alive",
	 .args = {"-s"}, .file = File::live, .server = Server::logged_in, .status = DAEMON_STATUS,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .silent = true},
	{.name = "-s -v, daemon alive",
	 .args = {"-s", "-v"}, .file = File::live, .server = Server::logged_out, .status = DAEMON_STATUS,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .out = {"Current status: DISCONNECTED", "Login daemon running with PID = {pid}"}},
	{.name = "-s, daemon alive at /tmp",
	 .args = {"-s"}, .file = File::live_at_tmp, .server = Server::logged_out, .status = DAEMON_STATUS,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .silent = true},
	{.name = "-s -v, no file",
	 .args = {"-s", "-v"}, .file = File::none, .server = Server::logged_in, .status = 255,
	 .signals = {}, .file_stays = false,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .out = {"Current status: CONNECTED", "Login daemon not running."}},
	{.name = "-s -v, stale file",
	 .args = {"-s", "-v"}, .file = File::stale, .server = Server::logged_in, .status = 255,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .out = {"Login daemon not running."}},
	{.name = "-s, process alive but holding no lock",
	 .args = {"-s"}, .file = File::unlocked, .server = Server::logged_in, .status = 255,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .silent = true},
	{.name = "-s, file of another user",
	 .args = {"-s"}, .file = File::other_owner, .server = Server::logged_in, .status = 255,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .silent = true},
	{.name = "-s, file holds 0",
	 .args = {"-s"}, .file = File::zero, .server = Server::logged_in, .status = 255,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .silent = true},
	{.name = "-s, file holds text",
	 .args = {"-s"}, .file = File::text, .server = Server::logged_in, .status = 255,
	 .signals = {}, .file_stays = true,
	 .probes = 1, .logins = 0, .logouts = 0,
	 .silent = true},
};

void prepare_server(FakeServer &server, Server state)
{
	server.set_logged_in(state == Server::logged_in || state == Server::logout_unconfirmed);
	if (state == Server::refuses_login)
		server.set_accept_login(false);
	if (state == Server::login_breaks)
		server.set_behaviour(Page::login, Behaviour::reset);
	if (state == Server::logout_unconfirmed)
		server.set_behaviour(Page::logout, Behaviour::garbage);
}

void run_row(const Row &row)
{
	TempDir dir;
	std::string session = dir.file("kavri.pid");
	std::string record = dir.file("signals");
	std::string san = dir.file("sanitizer");
	bool linked = row.file == File::symlink_at_tmp || row.file == File::hard_link_at_tmp;
	bool at_tmp = row.file == File::live_at_tmp || row.file == File::planted_at_tmp ||
	              row.file == File::writable_at_tmp || linked;
	std::string path = at_tmp ? TMP_PID : session;
	// Another user than the one who runs kavri, and than root.
	uid_t other = row.runner == 0 ? NOBODY : STRANGER;
	if (row.runner != 0)
		give_to(row.runner, {dir.path()});

	struct sigaction sa = {};
	sa.sa_handler = note_signal;
	sigaction(SIGHUP, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);

	// The stand-in writes the file where a daemon would; otherwise it only
	// witnesses stray signals from beside the file.
	bool daemon_file = row.file == File::live || row.file == File::live_at_tmp || row.file == File::unlocked ||
	                   row.file == File::other_owner || row.file == File::group_writable ||
	                   row.file == File::other_writable || row.file == File::planted_at_tmp ||
	                   row.file == File::writable_at_tmp;
	std::string other_program = dir.file("other.pid");
	StandIn stand_in(daemon_file ? path : linked ? other_program : dir.file("witness.pid"),
	                 {.lock = row.file != File::unlocked, .record = record, .become = row.runner});
	ASSERT_GT(stand_in.pid(), 0);
	int named = stand_in.pid();  // the PID the file names
	int lock_fd = -1;
	switch (row.file) {
	case File::none:
	case File::live:
	case File::live_at_tmp:
	case File::unlocked:
		// The runner's own daemon would have written it.
		if (row.file != File::none && row.runner != 0)
			give_to(row.runner, {path});
		break;
	case File::stale:
		named = gone_pid();
		write_file(path, std::to_string(named) + "\n");
		break;
	case File::other_owner:
	case File::planted_at_tmp:
		ASSERT_EQ(chown(path.c_str(), other, other), 0);
		break;
	case File::writable_at_tmp:
		ASSERT_EQ(chown(path.c_str(), row.runner, row.runner), 0);
		ASSERT_EQ(chmod(path.c_str(), 0666), 0);
		break;
	case File::symlink_at_tmp:
		give_to(row.runner, {other_program});
		ASSERT_EQ(symlink(other_program.c_str(), path.c_str()), 0);
		give_to(other, {path});
		break;
	case File::hard_link_at_tmp:
		give_to(row.runner, {other_program});
		ASSERT_EQ(link(other_program.c_str(), path.c_str()), 0);
		break;
	case File::group_writable:
		ASSERT_EQ(chmod(path.c_str(), 0664), 0);
		break;
	case File::other_writable:
		ASSERT_EQ(chmod(path.c_str(), 0606), 0);
		break;
	case File::zero:
		write_file(path, "0\n");
		break;
	case File::minus_one:
		write_file(path, "-1\n");
		break;
	case File::minus_five:
		write_file(path, "-5\n");
		break;
	case File::text:
		write_file(path, "kavri\n");
		break;
	case File::pid_one: {
		named = 1;
		ASSERT_EQ(getpid(), 1);
		write_file(path, "1\n");
		lock_fd = open(path.c_str(), O_RDWR);
		struct flock fl = {};
		fl.l_type = F_WRLCK;
		fl.l_whence = SEEK_SET;
		ASSERT_EQ(fcntl(lock_fd, F_SETLK, &fl), 0);
		break;
	}
	}

	FakeServer server;
	prepare_server(server, row.server);
	write_file(dir.file("kavri.conf"), loopback_config(server.port(), "PID_FILE = " + session + "\n"));
	std::vector<std::string> args = row.args;
	args.push_back("-c");
	args.push_back(dir.file("kavri.conf"));
	RunOptions o;
	o.cwd = dir.path();  // where "~/kavri.pid" would be: there is none
	o.env = sanitizer_env(san);
	if (row.runner != 0)
		give_to(row.runner, {san, dir.file("kavri.conf")});
	RunResult r;
	std::string why;
	if (!run_program_as(row.runner, args, o, &r, &why))
		SKIP_OR_FAIL(why);

	int status = row.status == DAEMON_STATUS ? named % 256 : row.status;
	EXPECT_EQ(r.status, status) << "stdout:\n" << r.out << "stderr:\n" << r.err;
	for (std::string want : row.out) {
		replace_all(want, "{pid}", std::to_string(named));
		replace_all(want, "{path}", session);
		EXPECT_NE(r.out.find(want), std::string::npos) << "stdout lacks: " << want << "\nstdout:\n" << r.out;
	}
	for (std::string want : row.err) {
		replace_all(want, "{pid}", std::to_string(named));
		replace_all(want, "{path}", session);
		EXPECT_NE(r.err.find(want), std::string::npos) << "stderr lacks: " << want << "\nstderr:\n" << r.err;
	}
	if (row.silent) {
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "");
	}

	if (!row.signals.empty())
		wait_until([&] { return stand_in.signals().size() >= row.signals.size(); }, 5000);
	std::this_thread::sleep_for(std::chrono::milliseconds(300));  // room for a stray signal to arrive
	EXPECT_EQ(stand_in.signals(), row.signals);
	EXPECT_EQ(signals_to_us.load(), 0) << "a signal reached the test process";

	if (row.file != File::none) {
		EXPECT_EQ(file_exists(path), row.file_stays) << path;
	}
	if (at_tmp) {
		EXPECT_FALSE(file_exists(session));
	}
	EXPECT_EQ(server.count(Page::status), row.probes);
	EXPECT_EQ(server.count(Page::login), row.logins);
	EXPECT_EQ(server.count(Page::logout), row.logouts);
	EXPECT_EQ(sanitizer_reports(san), "");
	if (lock_fd >= 0)
		close(lock_fd);
}

TEST(RunModes, ResultsAndPidFileHandling)
{
	if (geteuid() != 0)
		SKIP_OR_FAIL("planting files of another user and private namespaces need root");
	for (const Row &row : ROWS) {
		SCOPED_TRACE(row.name);
		RUN_ISOLATED(true, [&] { run_row(row); });
	}
}

// A file that stops at a syntax error sends nothing anywhere: the server
// and password it would have set may lie past the error.
TEST(RunModes, BrokenConfigurationSendsNothing)
{
	FakeServer server;
	ASSERT_TRUE(server.listening());
	TempDir dir;
	std::string conf = dir.file("kavri.conf");
	// The password's blank is the error; what follows is never read.
	write_file(conf, "SERV = 127.0.0.1\nSERVER_PORT = " + std::to_string(server.port()) +
	                     "\nDEAMON_S = false\nPID_FILE = " + dir.file("kavri.pid") +
	                     "\nUSER = demo\nPASS = demo password\nLOGIN_PAGE = /x\n");
	for (const char *mode : {"-l", "-o", "-s"}) {
		SCOPED_TRACE(mode);
		RunResult r = run_program({mode, "-v", "-c", conf});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(strip_prefixes(r.err), "<filename>:6 -- syntax error\nERR: Configuration file " + conf +
		                                     " has a syntax error: stopped, nothing was sent.\n");
		EXPECT_EQ(r.out, "");
	}
	usleep(200 * 1000);
	EXPECT_TRUE(server.requests().empty());
}

// Settings that would send what the file did not mean (the form in clear
// where TLS was asked for, a reply read as a login by an empty marker):
// every run mode ends with one line and status 1, and nothing is sent.
TEST(RunModes, MisleadingSettingsSendNothing)
{
	FakeServer server;
	ASSERT_TRUE(server.listening());
	TempDir dir;
	std::string conf = dir.file("kavri.conf");
	const std::string pin = std::string(43, 'A') + "=";
	struct Case {
		std::string extra;
		std::string err;
	} cases[] = {
		{"TLS = 1\nTLS_PIN = \"" + pin + "\"\n", "TLS \"1\" is not true, yes, on, false, no or off: nothing was sent."},
		{"TLS_PIN = \"" + pin + "\"\n", "TLS_PIN is set but TLS is off (a pin is for SERV over TLS): nothing was sent."},
		{"LOGGED_IN_STRING = \"\"\n", "LOGGED_IN_STRING is empty, so every reply would hold it: nothing was sent."},
	};
	for (const auto &c : cases) {
		write_file(conf, loopback_config(server.port(), "PID_FILE = " + dir.file("kavri.pid") +
		                                                    "\n" + c.extra));
		for (const char *mode : {"-l", "-o", "-s"}) {
			SCOPED_TRACE(c.extra + mode);
			RunResult r = run_program({mode, "-v", "-c", conf});
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(strip_prefixes(r.err), "ERR: " + c.err + "\n");
			EXPECT_EQ(r.out, "");
		}
	}
	usleep(200 * 1000);
	EXPECT_TRUE(server.requests().empty());
}

// A stale file that cannot be removed (here on a read-only mount) stops the
// login: two more error lines, nothing sent, status 1.
TEST(RunModes, StaleFileThatCannotBeRemovedStopsTheLogin)
{
	RUN_ISOLATED(true, [] {
		TempDir dir;
		std::string locked_dir = dir.file("ro");
		ASSERT_EQ(mkdir(locked_dir.c_str(), 0755), 0);
		std::string session = locked_dir + "/kavri.pid";
		pid_t named = gone_pid();
		write_file(session, std::to_string(named) + "\n");
		ASSERT_EQ(mount(locked_dir.c_str(), locked_dir.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
		ASSERT_EQ(mount(nullptr, locked_dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
			<< strerror(errno);

		FakeServer server;
		write_file(dir.file("kavri.conf"), loopback_config(server.port(), "PID_FILE = " + session + "\n"));
		RunOptions o;
		o.cwd = dir.path();
		o.env = sanitizer_env(dir.file("sanitizer"));
		RunResult r = run_program({"-l", "-c", dir.file("kavri.conf")}, o);
		EXPECT_EQ(r.status, 1);
		std::string pid = std::to_string(named);
		for (const std::string &want :
		     {"kill(" + pid + ", SIGHUP) failed: No such process\n\n", "Maybe a stale lockfile (" + session + ")?",
		      "Couldn't remove possible stale lockfile (" + session + ").\n\n",
		      "Maybe the process (" + pid + ") is running as root, but you are not?"})
			EXPECT_NE(r.err.find(want), std::string::npos) << "stderr lacks: " << want << "\nstderr:\n" << r.err;
		EXPECT_EQ(r.out, "");
		EXPECT_TRUE(file_exists(session));
		EXPECT_EQ(server.requests().size(), 0u);
		EXPECT_EQ(sanitizer_reports(dir.file("sanitizer")), "");
		umount(locked_dir.c_str());
	});
}

}  // namespace

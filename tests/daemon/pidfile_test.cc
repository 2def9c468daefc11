// The PID file: writing with its lock, reading only what can be trusted,
// removing. Cases that reach the fixed fallback paths run isolated, with a
// /tmp of their own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "daemon/pidfile.h"
#include "helpers.h"
#include "isolation.h"
#include "stand_in.h"

namespace {

const std::string TMP_PID = "/tmp/kavri.pid";

mode_t mode_of(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Who holds a lock on the file, as another process sees it (a process
// never sees its own locks).
pid_t lock_holder_seen_from_child(const std::string &path)
{
	int p[2];
	if (pipe(p) != 0)
		return -1;
	pid_t child = fork();
	if (child == 0) {
		pid_t holder = lock_holder(path);
		ssize_t w = write(p[1], &holder, sizeof holder);
		(void)w;
		_exit(0);
	}
	close(p[1]);
	pid_t holder = -1;
	ssize_t r = read(p[0], &holder, sizeof holder);
	close(p[0]);
	waitpid(child, nullptr, 0);
	return r == sizeof holder ? holder : -1;
}

// ---- writing ----

TEST(PidFileClaim, WritesNumberLineWithMode0644AndHoldsTheLock)
{
	TempDir dir;
	std::string path = dir.file("kavri.pid");
	mode_t old = umask(077);  // fchmod, not the mask, decides the mode
	pid_claim c = pid_file_claim(path.c_str(), 4242);
	umask(old);
	ASSERT_EQ(c.result, 0) << strerror(c.error);
	EXPECT_FALSE(c.taken);
	EXPECT_STREQ(c.path, path.c_str());
	// Before anything here opens and closes the file: that would drop the
	// lock, which belongs to the process, not to the descriptor.
	EXPECT_EQ(lock_holder_seen_from_child(path), getpid());
	EXPECT_EQ(read_file(path), "4242\n");
	EXPECT_EQ(mode_of(path), 0644u);
}

TEST(PidFileClaim, LeftoverFileIsEmptiedAndTightened)
{
	TempDir dir;
	std::string path = dir.file("kavri.pid");
	write_file(path, "123456789\nsomething else\n");
	chmod(path.c_str(), 0666);
	ASSERT_EQ(pid_file_claim(path.c_str(), -7).result, 0);
	EXPECT_EQ(read_file(path), "-7\n");
	EXPECT_EQ(mode_of(path), 0644u);
}

// The first path that opens ends the search, even when it then fails:
// a live daemon's file is neither emptied nor passed over for /tmp.
TEST(PidFileClaim, FileLockedByAnotherProcessIsLeftAlone)
{
	RUN_ISOLATED(false, [] {
		TempDir dir;
		std::string path = dir.file("kavri.pid");
		write_file(path, "777\n");
		StandIn holder(path, {.write_pid = false});
		ASSERT_GT(holder.pid(), 0);
		pid_claim c = pid_file_claim(path.c_str(), 42);
		EXPECT_EQ(c.result, -1);
		EXPECT_TRUE(c.taken) << strerror(c.error);
		EXPECT_STREQ(c.path, path.c_str());
		EXPECT_EQ(read_file(path), "777\n");
		EXPECT_FALSE(file_exists(TMP_PID));
	});
}

// A full disk shows only on the write: that is a failure too, and it does
// not move on to the next path.
TEST(PidFileClaim, WriteThatDoesNotFitIsFailure)
{
	RUN_ISOLATED(false, [] {
		TempDir dir;
		std::string small = dir.file("small");
		mkdir(small.c_str(), 0755);
		ASSERT_EQ(mount("kavri-full", small.c_str(), "tmpfs", 0, "size=4k"), 0) << strerror(errno);
		write_file(small + "/filler", std::string(8192, 'x'));  // fills it
		std::string path = small + "/kavri.pid";
		pid_claim c = pid_file_claim(path.c_str(), 1234567);
		EXPECT_EQ(c.result, -1);
		EXPECT_FALSE(c.taken);
		EXPECT_EQ(c.error, ENOSPC) << strerror(c.error);
		EXPECT_STREQ(c.path, path.c_str());
		EXPECT_FALSE(file_exists(TMP_PID));
	});
}

// Paths that must not be written fall through to the next one, and what
// they lead to is left as it was.
TEST(PidFileClaim, UnfitPathMovesOnToTmpAndLeavesItAlone)
{
	struct Case {
		const char *name;
		std::function<void(const std::string &path, const std::string &target)> plant;
	} cases[] = {
		{"missing directory", [](const std::string &, const std::string &) {}},
		{"symbolic link", [](const std::string &p, const std::string &t) { ASSERT_EQ(symlink(t.c_str(), p.c_str()), 0); }},
		{"second hard link", [](const std::string &p, const std::string &t) { ASSERT_EQ(link(t.c_str(), p.c_str()), 0); }},
		{"owned by another user",
		 [](const std::string &p, const std::string &) {
			 write_file(p, "precious\n");
			 ASSERT_EQ(chown(p.c_str(), NOBODY, NOBODY), 0);
		 }},
		{"named pipe", [](const std::string &p, const std::string &) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }},
		{"directory", [](const std::string &p, const std::string &) { ASSERT_EQ(mkdir(p.c_str(), 0755), 0); }},
	};
	if (geteuid() != 0)
		SKIP_OR_FAIL("planting files of another user needs root");
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(false, [&] {
			TempDir dir;
			std::string target = dir.file("target");
			write_file(target, "precious\n");
			std::string path = std::string(c.name) == "missing directory" ? dir.file("gone/kavri.pid") : dir.file("kavri.pid");
			c.plant(path, target);
			pid_claim claim = pid_file_claim(path.c_str(), 31337);
			ASSERT_EQ(claim.result, 0) << strerror(claim.error);
			EXPECT_EQ(claim.path, pid_fallbacks[0]);
			EXPECT_EQ(read_file(TMP_PID), "31337\n");
			EXPECT_EQ(read_file(target), "precious\n");
			if (std::string(c.name) == "owned by another user") {
				EXPECT_EQ(read_file(path), "precious\n");
			}
		});
	}
}

TEST(PidFileClaim, NothingWritableNamesTheLastPathTried)
{
	RUN_ISOLATED(false, [] {
		TempDir dir;
		std::string path = dir.file("gone/kavri.pid");
		ASSERT_EQ(mkdir(TMP_PID.c_str(), 0755), 0);
		write_file(dir.file("~"), "a file where the directory should be\n");
		ASSERT_EQ(chdir(dir.path().c_str()), 0);
		pid_claim c = pid_file_claim(path.c_str(), 99);
		EXPECT_EQ(c.result, -1);
		EXPECT_FALSE(c.taken);
		EXPECT_EQ(c.error, ENOTDIR) << strerror(c.error);  // the last path's error
		EXPECT_EQ(c.path, pid_fallbacks[1]);
	});
}

// ---- reading ----

TEST(PidFileRead, NumberAtTheStartOfTheFile)
{
	struct Case {
		const char *content;
		int expected;
	} cases[] = {
		{"42\n", 42},
		{"  42", 42},
		{"\t\n17 trailing words\n", 17},
		{"+8\n", 8},
		{"-5\n", -5},
		{"0\n", 0},
		{"2147483647\n", 2147483647},
		{"", -1},
		{"\n", -1},
		{"abc\n", -1},
		{"- 5\n", -1},
		{"2147483648\n", -1},
		{"-2147483649\n", -1},
		{"99999999999999999999999\n", -1},
	};
	TempDir dir;
	std::string path = dir.file("kavri.pid");
	for (const auto &c : cases) {
		write_file(path, c.content);
		pid_t holder = 12345;
		EXPECT_EQ(pid_file_read(path.c_str(), &holder), c.expected) << '"' << c.content << '"';
		EXPECT_EQ(holder, 0) << "no one holds a lock";
	}
}

TEST(PidFileRead, ReportsTheProcessHoldingTheLock)
{
	TempDir dir;
	std::string path = dir.file("kavri.pid");
	write_file(path, "1\n");
	StandIn stand_in(path, {.write_pid = false});
	ASSERT_GT(stand_in.pid(), 0);
	pid_t holder = 0;
	EXPECT_EQ(pid_file_read(path.c_str(), &holder), 1);
	EXPECT_EQ(holder, stand_in.pid());
	EXPECT_EQ(pid_file_read(path.c_str()), 1) << "the holder is optional";
	stand_in.stop();
	EXPECT_EQ(pid_file_read(path.c_str(), &holder), 1);
	EXPECT_EQ(holder, 0) << "the lock went with its process";
}

// A file anyone could have planted counts as not opened: with no other
// file anywhere the read ends on a missing "~/kavri.pid", hence 0.
TEST(PidFileRead, UntrustedFileIsPassedOver)
{
	struct Case {
		const char *name;
		bool at_tmp;  // planted at the fallback rather than the session path
		std::function<void(const std::string &path, const std::string &good)> plant;
	} cases[] = {
		{"owned by another user", false, [](const std::string &p, const std::string &) { ASSERT_EQ(chown(p.c_str(), NOBODY, 0), 0); }},
		{"writable by the group", false, [](const std::string &p, const std::string &) { ASSERT_EQ(chmod(p.c_str(), 0664), 0); }},
		{"writable by others", false, [](const std::string &p, const std::string &) { ASSERT_EQ(chmod(p.c_str(), 0646), 0); }},
		{"symbolic link", false,
		 [](const std::string &p, const std::string &good) {
			 unlink(p.c_str());
			 ASSERT_EQ(symlink(good.c_str(), p.c_str()), 0);
		 }},
		{"named pipe", false,
		 [](const std::string &p, const std::string &) {
			 unlink(p.c_str());
			 ASSERT_EQ(mkfifo(p.c_str(), 0644), 0);
		 }},
		{"second hard link", false,
		 [](const std::string &p, const std::string &good) {
			 unlink(p.c_str());
			 ASSERT_EQ(link(good.c_str(), p.c_str()), 0);
		 }},
		{"/tmp file a hard link to another file", true,
		 [](const std::string &p, const std::string &good) {
			 unlink(p.c_str());
			 ASSERT_EQ(link(good.c_str(), p.c_str()), 0);
		 }},
		{"/tmp file of another user", true, [](const std::string &p, const std::string &) { ASSERT_EQ(chown(p.c_str(), NOBODY, 0), 0); }},
		{"/tmp file writable by others", true, [](const std::string &p, const std::string &) { ASSERT_EQ(chmod(p.c_str(), 0666), 0); }},
	};
	if (geteuid() != 0)
		SKIP_OR_FAIL("planting files of another user needs root");
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		RUN_ISOLATED(false, [&] {
			TempDir dir;
			ASSERT_EQ(chdir(dir.path().c_str()), 0);
			std::string session = dir.file("kavri.pid");
			std::string good = dir.file("good.pid");
			write_file(good, "4321\n");
			std::string planted = c.at_tmp ? TMP_PID : session;
			write_file(planted, "4321\n");
			chmod(planted.c_str(), 0644);
			c.plant(planted, good);
			EXPECT_EQ(pid_file_read(session.c_str()), 0);
		});
	}
}

TEST(PidFileRead, FallbackOrderAndTheLastAttemptDecides)
{
	RUN_ISOLATED(false, [] {
		TempDir dir;
		ASSERT_EQ(chdir(dir.path().c_str()), 0);
		std::string session = dir.file("kavri.pid");

		EXPECT_EQ(pid_file_read(session.c_str()), 0) << "no file anywhere";

		ASSERT_EQ(mkdir(dir.file("~").c_str(), 0755), 0);
		write_file(dir.file("~/kavri.pid"), "55\n");
		EXPECT_EQ(pid_file_read(session.c_str()), 55) << "relative to the working directory";

		write_file(TMP_PID, "66\n");
		EXPECT_EQ(pid_file_read(session.c_str()), 66) << "/tmp comes before ~";

		write_file(session, "77\n");
		EXPECT_EQ(pid_file_read(session.c_str()), 77) << "the session's path comes first";

		unlink(session.c_str());
		unlink(TMP_PID.c_str());
		unlink(dir.file("~/kavri.pid").c_str());
		rmdir(dir.file("~").c_str());
		write_file(dir.file("~"), "not a directory\n");
		EXPECT_EQ(pid_file_read(session.c_str()), -1) << "last attempt failed with ENOTDIR";
	});
}

// ---- removing ----

TEST(PidFileRemove, RemovedOrAbsentIsSuccess)
{
	TempDir dir;
	std::string path = dir.file("kavri.pid");
	write_file(path, "1\n");
	EXPECT_EQ(pid_file_remove(path.c_str()), 0);
	EXPECT_FALSE(file_exists(path));
	EXPECT_EQ(pid_file_remove(path.c_str()), 0);
	EXPECT_EQ(pid_file_remove(dir.file("no/such/dir").c_str()), 0);
}

// A file whose lock another process holds is a daemon's, or one being
// claimed: it stays, unless its holder lets go within the wait.
TEST(PidFileRemove, FileWhoseLockIsHeldStays)
{
	TempDir dir;
	std::string path = dir.file("kavri.pid");
	StandIn holder(path);
	ASSERT_GT(holder.pid(), 0);
	EXPECT_EQ(pid_file_remove(path.c_str()), PID_FILE_HELD);
	EXPECT_EQ(pid_file_remove(path.c_str(), 200), PID_FILE_HELD);
	EXPECT_EQ(read_file(path), std::to_string(holder.pid()) + "\n");

	pid_t pid = holder.pid();
	kill(pid, SIGTERM);  // the stand-in ends; its file stays behind
	EXPECT_EQ(pid_file_remove(path.c_str(), 5000), 0);
	EXPECT_FALSE(file_exists(path));
}

TEST(PidFileRemove, PermissionDeniedKeepsErrno)
{
	if (geteuid() != 0)
		SKIP_OR_FAIL("dropping to another user needs root");
	TempDir dir;
	chmod(dir.path().c_str(), 0755);
	std::string path = dir.file("kavri.pid");
	write_file(path, "1\n");
	pid_t child = fork();
	if (child == 0) {
		if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0)
			_exit(10);
		errno = 0;
		int r = pid_file_remove(path.c_str());
		_exit(r == -1 && errno == EACCES ? 0 : 11);
	}
	int st = 0;
	waitpid(child, &st, 0);
	ASSERT_TRUE(WIFEXITED(st));
	EXPECT_EQ(WEXITSTATUS(st), 0) << "10: could not drop privileges, 11: wrong result or errno";
	EXPECT_TRUE(file_exists(path));
}

}  // namespace

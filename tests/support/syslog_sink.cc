#include "syslog_sink.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <thread>

#include "base/unique_fd.h"

namespace {

// The datagrams received, each as its length (4 bytes) and its bytes, in
// a mapping shared with the sink and with every child forked after it was
// made: a header, then the records. Only the sink appends; `used` tells
// readers how far.
struct Store {
	std::atomic<uint64_t> used;
	std::atomic<uint64_t> dropped;  // datagrams that found no room
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared between processes");

constexpr size_t MAPPED = 64 << 20;  // pages are taken only as they fill
constexpr size_t HEADER = 64;
constexpr size_t ROOM = MAPPED - HEADER;

Store *store = nullptr;
char *records_at = nullptr;
pid_t sink = 0;
pid_t sink_parent = 0;
uint64_t view_from = 0;
std::string failure;  // why the capture could not be set up

[[noreturn]] void run_sink(int sock)
{
	std::string datagram;
	while (next_datagram(sock, &datagram)) {
		uint64_t at = store->used.load(std::memory_order_relaxed);
		uint32_t len = static_cast<uint32_t>(datagram.size());
		if (at + sizeof len + len > ROOM) {
			store->dropped.fetch_add(1);
			continue;
		}
		memcpy(records_at + at, &len, sizeof len);
		memcpy(records_at + at + sizeof len, datagram.data(), len);
		store->used.store(at + sizeof len + len, std::memory_order_release);
	}
	_exit(1);
}

bool set_up(std::string *why)
{
	unique_fd sock(take_dev_log(why));
	if (!sock)
		return false;
	void *m = mmap(nullptr, MAPPED, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (m == MAP_FAILED) {
		*why = std::string("mmap: ") + strerror(errno);
		return false;
	}
	store = new (m) Store{};
	records_at = static_cast<char *>(m) + HEADER;
	pid_t parent = getpid();
	pid_t child = fork();
	if (child < 0) {
		*why = std::string("fork: ") + strerror(errno);
		return false;
	}
	if (child == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (getppid() != parent)
			_exit(1);
		prctl(PR_SET_NAME, "kavri-syslog-sink");
		// Nothing of the test's but the socket: no pipe a test waits on
		// stays open here.
		int s = dup2(sock.get(), 3);
		close_range(0, 2, 0);
		close_range(4, ~0U, 0);
		sigset_t all;
		sigfillset(&all);
		sigprocmask(SIG_BLOCK, &all, nullptr);
		run_sink(s);
	}
	sink = child;
	sink_parent = parent;
	return true;
}

// The records from this process's view on, parsed.
std::vector<SyslogLine> records()
{
	std::vector<SyslogLine> lines;
	if (store == nullptr)
		return lines;
	if (store->dropped.load() > 0)
		ADD_FAILURE() << store->dropped.load() << " system-log entries found no room in the capture";
	uint64_t end = store->used.load(std::memory_order_acquire);
	for (uint64_t at = view_from; at + sizeof(uint32_t) <= end;) {
		uint32_t len;
		memcpy(&len, records_at + at, sizeof len);
		SyslogLine l;
		if (parse_syslog_datagram(std::string(records_at + at + sizeof len, len), &l))
			lines.push_back(std::move(l));
		at += sizeof len + len;
	}
	return lines;
}

}  // namespace

bool syslog_sink_available(std::string *why)
{
	if (store != nullptr)
		return true;
	if (failure.empty() && !set_up(&failure) && failure.empty())
		failure = "unknown";
	if (store != nullptr)
		return true;
	if (why != nullptr)
		*why = failure;
	return false;
}

std::vector<SyslogLine> syslog_lines(pid_t pid)
{
	std::vector<SyslogLine> mine;
	for (auto &l : records())
		if (l.pid == pid)
			mine.push_back(std::move(l));
	return mine;
}

bool syslog_wait_for(pid_t pid, const std::string &text, int timeout_ms)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	for (;;) {
		for (const auto &l : syslog_lines(pid))
			if (l.message.find(text) != std::string::npos)
				return true;
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
}

void syslog_restart_view()
{
	if (store == nullptr)
		return;
	// A mark of no syslog() shape, sent behind everything sent so far: once
	// it is in, so is all that came before it.
	static unsigned marks = 0;
	std::string mark = "view " + std::to_string(getpid()) + " " + std::to_string(++marks) + " " +
	                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
	unique_fd s(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
	struct sockaddr_un a = {};
	a.sun_family = AF_UNIX;
	strcpy(a.sun_path, "/dev/log");
	bool sent = s && sendto(s.get(), mark.data(), mark.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
	                      static_cast<ssize_t>(mark.size());
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
	uint64_t at = view_from;
	while (sent) {
		uint64_t end = store->used.load(std::memory_order_acquire);
		for (; at + sizeof(uint32_t) <= end;) {
			uint32_t len;
			memcpy(&len, records_at + at, sizeof len);
			bool found = std::string(records_at + at + sizeof len, len) == mark;
			at += sizeof len + len;
			if (found) {
				view_from = at;
				return;
			}
		}
		if (std::chrono::steady_clock::now() >= deadline)
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	view_from = store->used.load(std::memory_order_acquire);
}

pid_t syslog_sink_pid()
{
	return getpid() == sink_parent ? sink : 0;
}

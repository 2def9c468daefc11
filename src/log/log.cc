#include "log/log.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

// Serialises every write of either writer: in the daemon the signal
// listener thread writes too, and one message's openlog/syslog/closelog
// must never interleave with another's.
std::mutex writer_lock;

constexpr size_t SYSLOG_BUFSZ = 4091;

}  // namespace

void log_vconsole(int level, const char *format, va_list ap)
{
	std::lock_guard<std::mutex> hold(writer_lock);
	int pid = static_cast<int>(getpid());

	char when[64] = "";
	time_t now = time(nullptr);
	char *text = ctime_r(&now, when);
	if (text != nullptr) {
		size_t n = strlen(when);
		if (n > 0)
			when[n - 1] = '\0';
	} else {
		when[0] = '\0';
	}

	FILE *out = stderr;
	const char *prefix = "%s ERR %s[%d]: ";
	if (level == LOG_INFO) {
		out = stdout;
		prefix = "%s INF %s[%d]: ";
	} else if (level == LOG_DEBUG) {
		out = stdout;
		prefix = "%s DBG %s[%d]: ";
	}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
	fprintf(out, prefix, when, "kavri", pid);
#pragma GCC diagnostic pop
	vfprintf(out, format, ap);
	fputc('\n', out);
	// Each line reaches its stream now: when both streams go to one file
	// or pipe, the lines stand there in the order they were written.
	fflush(out);
}

void log_console(int level, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	log_vconsole(level, format, ap);
	va_end(ap);
}

void log_vsyslog(int level, const char *format, va_list ap)
{
	std::lock_guard<std::mutex> hold(writer_lock);
	char buf[SYSLOG_BUFSZ];
	if (vsnprintf(buf, sizeof buf, format, ap) < 0)
		buf[0] = '\0';
	openlog("kavri", LOG_PID | LOG_CONS, LOG_DAEMON);
	syslog(level, "%s", buf);
	closelog();
}

void log_syslog(int level, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	log_vsyslog(level, format, ap);
	va_end(ap);
}

void log_msg(unsigned verbosity, int level, const char *format, ...)
{
	if (level == LOG_INFO && !(verbosity & MODE_VERBOSE))
		return;
	if (level == LOG_DEBUG && !(verbosity & MODE_DEBUG))
		return;
	int saved = errno;
	va_list ap;
	va_start(ap, format);
	if (verbosity & MODE_DAEMON)
		log_vsyslog(level, format, ap);
	else
		log_vconsole(level, format, ap);
	va_end(ap);
	errno = saved;
}

void log_notice(const char *format, ...)
{
	int saved = errno;
	va_list ap;
	va_start(ap, format);
	log_vsyslog(LOG_INFO, format, ap);
	va_end(ap);
	errno = saved;
}

// The two message writers and the routing rule every call site applies.
#pragma once

#include <syslog.h>  // the levels: LOG_ERR 3, LOG_INFO 6, LOG_DEBUG 7

#include <cstdarg>

// Bits of the mode word `verbosity`, passed by value to every operation
// that may write a message.
inline constexpr unsigned MODE_VERBOSE = 1;
inline constexpr unsigned MODE_DAEMON = 2;
inline constexpr unsigned MODE_DEBUG = 4;

// One prefixed line on standard output (levels 6 and 7) or standard error
// (every other level): "<ctime> INF kavri[pid]: message".
void log_console(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_vconsole(int level, const char *format, va_list ap) __attribute__((format(printf, 2, 0)));

// One entry in the system log: identity "kavri", LOG_PID | LOG_CONS,
// facility LOG_DAEMON; at most 4090 characters of the message.
void log_syslog(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_vsyslog(int level, const char *format, va_list ap) __attribute__((format(printf, 2, 0)));

// The routing rule: an error is always written, an info line only with
// MODE_VERBOSE, a debug line only with MODE_DEBUG. A process with
// MODE_DAEMON writes to the system log (it has no terminal), any other to
// the console.
void log_msg(unsigned verbosity, int level, const char *format, ...) __attribute__((format(printf, 3, 4)));

// The daemon's own notices: always written, always to the system log, at
// info level, whatever the mode word says.
void log_notice(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Logging to syslog or stderr; every line carries "function(line):".
#pragma once

#include <cstdarg>

extern int log_level;
extern int log_mode;

enum log_sink_mode {
	LOG_MODE_SYSLOG = 0,
	LOG_MODE_STDERR = 1,
};

enum log_severity {
	LOG_LEVEL_ERR = 3,
	LOG_LEVEL_NOTICE = 5,
	LOG_LEVEL_DEBUG = 7,
};

// What a log line shows in place of a secret's value (a passphrase, a
// password, a key).
constexpr char LOG_SECRET[] = "***";

int log_init();
void log_(int level, const char *func, int line, const char *fmt, ...)
	__attribute__((format(printf, 4, 5)));
int log_level_set(unsigned level);
int log_mode_set(unsigned mode);

// For signal handlers: formats %d, %s and %% only, allocates nothing, takes
// no lock and writes with one system call, so it may interrupt log_ itself.
void log_async_(int level, const char *func, int line, const char *fmt, ...);

// The level test sits at the call site, so a suppressed line costs one
// comparison and its arguments are never evaluated.
#define KLOG_AS(level, func, ...)                                   \
	do {                                                       \
		if (log_level >= (level))                          \
			log_((level), (func), __LINE__, __VA_ARGS__); \
	} while (0)

#define KLOG(level, ...) KLOG_AS(level, __func__, __VA_ARGS__)
#define KLOG_ERR(...) KLOG(LOG_LEVEL_ERR, __VA_ARGS__)
#define KLOG_NOTICE(...) KLOG(LOG_LEVEL_NOTICE, __VA_ARGS__)
#define KLOG_DEBUG(...) KLOG(LOG_LEVEL_DEBUG, __VA_ARGS__)

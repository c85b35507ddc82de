#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

int log_level = LOG_LEVEL_DEBUG;
int log_mode = LOG_MODE_SYSLOG;

namespace {

constexpr const char syslog_ident[] = "marovela_sync";
constexpr const char syslog_path[] = "/dev/log";
constexpr size_t compose_size = 512;

// Datagram socket of our own for the signal path: the libc syslog lock may be
// held by the very code the signal interrupted.
int async_syslog_fd = -1;

bool is_conversion(char c)
{
	return std::string_view("diouxXeEfFgGaAcspnm%").find(c) != std::string_view::npos;
}

// A format cut at the buffer's end may end inside a conversion; drop that
// half conversion so it cannot consume an argument it was never meant for.
void drop_partial_conversion(char *fmt, size_t len)
{
	for (size_t i = 0; i < len; i++) {
		if (fmt[i] != '%')
			continue;
		size_t j = i + 1;
		while (j < len && !is_conversion(fmt[j]))
			j++;
		if (j >= len) {
			fmt[i] = 0;
			return;
		}
		i = j;
	}
}

void connect_async_syslog()
{
	if (async_syslog_fd < 0)
		async_syslog_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (async_syslog_fd < 0)
		return;
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	memcpy(sun.sun_path, syslog_path, sizeof(syslog_path));
	connect(async_syslog_fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun));
}

// Async-signal-safe text builder over a fixed buffer.
struct async_text {
	char buf[compose_size];
	size_t len = 0;

	void put(std::string_view s)
	{
		size_t n = s.size() < sizeof(buf) - len ? s.size() : sizeof(buf) - len;
		memcpy(buf + len, s.data(), n);
		len += n;
	}

	void put_int(long v)
	{
		char tmp[24];
		size_t i = sizeof(tmp);
		unsigned long u = v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
		do {
			tmp[--i] = static_cast<char>('0' + u % 10);
			u /= 10;
		} while (u);
		if (v < 0)
			tmp[--i] = '-';
		put(std::string_view(tmp + i, sizeof(tmp) - i));
	}
};

} // namespace

int log_init()
{
	openlog(syslog_ident, LOG_PID, LOG_DAEMON);
	connect_async_syslog();
	return 0;
}

void log_(int level, const char *func, int line, const char *fmt, ...)
{
	if (log_level < level) {
		fputs("cmd;log level error\n ", stderr);
		return;
	}

	char composed[compose_size];
	int n = snprintf(composed, sizeof(composed), "%s(%d):%s\n", func, line, fmt);
	if (n >= static_cast<int>(sizeof(composed)))
		drop_partial_conversion(composed, sizeof(composed) - 1);

	va_list ap;
	va_start(ap, fmt);
	if (log_mode == LOG_MODE_STDERR)
		vfprintf(stderr, composed, ap);
	else
		vsyslog(level, composed, ap);
	va_end(ap);
}

void log_async_(int level, const char *func, int line, const char *fmt, ...)
{
	int saved_errno = errno;
	async_text t;

	if (log_mode != LOG_MODE_STDERR) {
		t.put("<");
		t.put_int(LOG_DAEMON | level);
		t.put(">");
		t.put(syslog_ident);
		t.put("[");
		t.put_int(getpid());
		t.put("]: ");
	}
	t.put(func);
	t.put("(");
	t.put_int(line);
	t.put("):");

	va_list ap;
	va_start(ap, fmt);
	for (const char *p = fmt; *p; p++) {
		if (*p != '%' || !p[1]) {
			t.put(std::string_view(p, 1));
			continue;
		}
		p++;
		if (*p == 'd')
			t.put_int(va_arg(ap, int));
		else if (*p == 's') {
			const char *s = va_arg(ap, const char *);
			t.put(s ? s : "(null)");
		}
		else
			t.put(std::string_view(p, 1));
	}
	va_end(ap);
	t.put("\n");

	if (log_mode == LOG_MODE_STDERR) {
		ssize_t r = write(STDERR_FILENO, t.buf, t.len);
		(void)r;
	} else {
		if (async_syslog_fd < 0 || send(async_syslog_fd, t.buf, t.len, MSG_NOSIGNAL) < 0) {
			connect_async_syslog();
			if (async_syslog_fd >= 0)
				send(async_syslog_fd, t.buf, t.len, MSG_NOSIGNAL);
		}
	}
	errno = saved_errno;
}

int log_level_set(unsigned level)
{
	if (level > LOG_LEVEL_DEBUG) {
		KLOG_ERR("Set log level to %d error", static_cast<int>(level));
		return -1;
	}
	log_level = static_cast<int>(level);
	return 0;
}

int log_mode_set(unsigned mode)
{
	if (mode > LOG_MODE_STDERR) {
		KLOG_ERR("set log mode to %d[%s] error\n", static_cast<int>(mode), "LOG_MODE_STDERR");
		return -1;
	}
	log_mode = static_cast<int>(mode);
	return 0;
}

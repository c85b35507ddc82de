// The event loop: epoll for descriptors, a sorted list of monotonic
// timeouts, and a self-pipe that the SIGCHLD (and, where the application
// left them at their default, SIGINT/SIGTERM) handlers write to.
#include <libubox/uloop.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern "C" {
bool uloop_cancelled;
}

namespace {

constexpr int max_events = 32;

int poll_fd = -1;
int waker_pipe[2] = {-1, -1};
struct uloop_fd waker_fd;
volatile sig_atomic_t do_sigchld;

LIST_HEAD(timeouts);
LIST_HEAD(processes);

// The batch being dispatched; a descriptor deleted meanwhile is blanked here
// so that its callback is not run from a stale event.
struct epoll_event cur_events[max_events];
int cur_nfds;
int cur_index;

struct saved_signal {
	int signo;
	bool replaced;
	struct sigaction old;
};
saved_signal run_signals[] = {{SIGINT, false, {}}, {SIGTERM, false, {}}};

void wake(void)
{
	int saved = errno;
	if (waker_pipe[1] >= 0) {
		ssize_t r = write(waker_pipe[1], "w", 1);
		(void)r;
	}
	errno = saved;
}

void sigchld_handler(int)
{
	do_sigchld = 1;
	wake();
}

void sigterm_handler(int)
{
	uloop_cancelled = true;
	wake();
}

void install_sigchld(void)
{
	struct sigaction sa = {};
	sa.sa_handler = sigchld_handler;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
	sigaction(SIGCHLD, &sa, nullptr);
}

// The application's own SIGINT/SIGTERM handlers win over the loop's.
void take_default_signals(void)
{
	for (auto &s : run_signals) {
		s.replaced = false;
		if (sigaction(s.signo, nullptr, &s.old) < 0 || s.old.sa_handler != SIG_DFL ||
		    (s.old.sa_flags & SA_SIGINFO))
			continue;
		struct sigaction sa = {};
		sa.sa_handler = sigterm_handler;
		sigemptyset(&sa.sa_mask);
		sigaction(s.signo, &sa, nullptr);
		s.replaced = true;
	}
}

void restore_default_signals(void)
{
	for (auto &s : run_signals) {
		if (s.replaced)
			sigaction(s.signo, &s.old, nullptr);
		s.replaced = false;
	}
}

struct timeval now_tv(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	struct timeval tv;
	tv.tv_sec = ts.tv_sec;
	tv.tv_usec = ts.tv_nsec / 1000;
	return tv;
}

struct timeval tv_after_ms(int msecs)
{
	struct timeval tv = now_tv();
	tv.tv_sec += msecs / 1000;
	tv.tv_usec += (msecs % 1000) * 1000;
	if (tv.tv_usec >= 1000000) {
		tv.tv_sec++;
		tv.tv_usec -= 1000000;
	}
	return tv;
}

int64_t tv_diff_us(const struct timeval &a, const struct timeval &b)
{
	return (static_cast<int64_t>(a.tv_sec) - b.tv_sec) * 1000000 + (a.tv_usec - b.tv_usec);
}

bool tv_before(const struct timeval &a, const struct timeval &b)
{
	return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec);
}

void drain_waker(struct uloop_fd *u, unsigned int)
{
	char buf[64];
	while (read(u->fd, buf, sizeof(buf)) > 0) {
	}
}

int set_cloexec_nonblock(int fd, bool nonblock)
{
	int fl = fcntl(fd, F_GETFD);
	if (fl < 0 || fcntl(fd, F_SETFD, fl | FD_CLOEXEC) < 0)
		return -1;
	if (!nonblock)
		return 0;
	fl = fcntl(fd, F_GETFL);
	if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
		return -1;
	return 0;
}

[[gnu::hot]] void process_timeouts(void)
{
	struct timeval now = now_tv();
	while (!list_empty(&timeouts)) {
		auto *t = list_first_entry(&timeouts, struct uloop_timeout, list);
		if (tv_before(now, t->time))
			break;
		uloop_timeout_cancel(t);
		if (t->cb)
			t->cb(t);
	}
}

void handle_processes(void)
{
	do_sigchld = 0;
	for (;;) {
		int status;
		pid_t pid = waitpid(-1, &status, WNOHANG);
		if (pid < 0 && errno == EINTR)
			continue;
		if (pid <= 0)
			return;
		struct uloop_process *p, *tmp;
		list_for_each_entry_safe(p, tmp, &processes, list) {
			if (p->pid < pid)
				continue;
			if (p->pid > pid)
				break;
			uloop_process_delete(p);
			if (p->cb)
				p->cb(p, status);
			break;
		}
	}
}

// Milliseconds until the first timeout, rounded up; -1 when none is armed.
int next_timeout_ms(void)
{
	if (list_empty(&timeouts))
		return -1;
	auto *t = list_first_entry(&timeouts, struct uloop_timeout, list);
	int64_t us = tv_diff_us(t->time, now_tv());
	if (us <= 0)
		return 0;
	int64_t ms = (us + 999) / 1000;
	return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

void dispatch_events(int timeout_ms)
{
	int n = epoll_wait(poll_fd, cur_events, max_events, timeout_ms);
	if (n <= 0)
		return;
	cur_nfds = n;
	for (cur_index = 0; cur_index < cur_nfds; cur_index++) {
		struct epoll_event ev = cur_events[cur_index];
		auto *u = static_cast<struct uloop_fd *>(ev.data.ptr);
		if (!u)
			continue;
		unsigned int events = 0;
		if (ev.events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP))
			events |= ULOOP_READ;
		if (ev.events & EPOLLOUT)
			events |= ULOOP_WRITE;
		if (ev.events & (EPOLLRDHUP | EPOLLHUP))
			u->eof = true;
		if (ev.events & (EPOLLERR | EPOLLHUP)) {
			// A broken descriptor stays ready; stop watching it so it
			// cannot spin the loop, and let its owner see why.
			u->error = true;
			uloop_fd_delete(u);
		}
		if (u->cb)
			u->cb(u, events);
	}
	cur_nfds = 0;
	cur_index = 0;
}

} // namespace

extern "C" {

int uloop_init(void)
{
	if (poll_fd >= 0)
		return 0;
	poll_fd = epoll_create1(EPOLL_CLOEXEC);
	if (poll_fd < 0)
		return -1;
	if (pipe2(waker_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
		close(poll_fd);
		poll_fd = -1;
		return -1;
	}
	waker_fd.fd = waker_pipe[0];
	waker_fd.cb = drain_waker;
	uloop_fd_add(&waker_fd, ULOOP_READ);
	install_sigchld();
	// Children that ended before the handler existed are reaped on the
	// first pass of the loop.
	do_sigchld = 1;
	return 0;
}

void uloop_done(void)
{
	restore_default_signals();
	// The handler goes before the pipe: a child ending between the two
	// closes would write to a pipe without a reader and raise SIGPIPE.
	struct sigaction sa = {};
	sa.sa_handler = SIG_DFL;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGCHLD, &sa, nullptr);
	if (poll_fd >= 0)
		close(poll_fd);
	poll_fd = -1;
	for (int i = 1; i >= 0; i--) { // the write end first
		if (waker_pipe[i] >= 0)
			close(waker_pipe[i]);
		waker_pipe[i] = -1;
	}
	waker_fd.registered = false;

	while (!list_empty(&timeouts))
		uloop_timeout_cancel(list_first_entry(&timeouts, struct uloop_timeout, list));
	while (!list_empty(&processes))
		uloop_process_delete(list_first_entry(&processes, struct uloop_process, list));
}

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags)
{
	if (poll_fd < 0 || sock->fd < 0)
		return -1;
	if (set_cloexec_nonblock(sock->fd, !(flags & ULOOP_BLOCKING)) < 0)
		return -1;

	struct epoll_event ev = {};
	if (flags & ULOOP_READ)
		ev.events |= EPOLLIN | EPOLLRDHUP;
	if (flags & ULOOP_WRITE)
		ev.events |= EPOLLOUT;
	if (flags & ULOOP_EDGE_TRIGGER)
		ev.events |= EPOLLET;
	ev.data.ptr = sock;

	int op = sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
	if (epoll_ctl(poll_fd, op, sock->fd, &ev) < 0)
		return -1;
	sock->registered = true;
	sock->flags = static_cast<uint8_t>(flags);
	sock->eof = false;
	sock->error = false;
	return 0;
}

int uloop_fd_delete(struct uloop_fd *sock)
{
	for (int i = cur_index + 1; i < cur_nfds; i++) {
		if (cur_events[i].data.ptr == sock)
			cur_events[i].data.ptr = nullptr;
	}
	if (!sock->registered)
		return 0;
	sock->registered = false;
	sock->flags = 0;
	if (poll_fd < 0)
		return 0;
	return epoll_ctl(poll_fd, EPOLL_CTL_DEL, sock->fd, nullptr);
}

int uloop_timeout_add(struct uloop_timeout *timeout)
{
	if (timeout->pending)
		return -1;
	struct list_head *h = &timeouts;
	struct uloop_timeout *t;
	list_for_each_entry(t, &timeouts, list) {
		if (tv_before(timeout->time, t->time)) {
			h = &t->list;
			break;
		}
	}
	list_add_tail(&timeout->list, h);
	timeout->pending = true;
	return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs)
{
	if (timeout->pending)
		uloop_timeout_cancel(timeout);
	timeout->time = tv_after_ms(msecs < 0 ? 0 : msecs);
	return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;
	list_del(&timeout->list);
	timeout->pending = false;
	return 0;
}

int uloop_timeout_remaining(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;
	int64_t us = tv_diff_us(timeout->time, now_tv());
	if (us <= 0)
		return 0;
	int64_t ms = us / 1000;
	return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

int uloop_process_add(struct uloop_process *p)
{
	if (p->pending)
		return -1;
	struct list_head *h = &processes;
	struct uloop_process *tmp;
	list_for_each_entry(tmp, &processes, list) {
		if (tmp->pid > p->pid) {
			h = &tmp->list;
			break;
		}
	}
	list_add_tail(&p->list, h);
	p->pending = true;
	return 0;
}

int uloop_process_delete(struct uloop_process *p)
{
	if (!p->pending)
		return -1;
	list_del(&p->list);
	p->pending = false;
	return 0;
}

void uloop_end(void)
{
	uloop_cancelled = true;
	wake();
}

[[gnu::hot]] int uloop_run_timeout(int timeout)
{
	if (poll_fd < 0 && uloop_init() < 0)
		return -1;

	struct timeval deadline = timeout >= 0 ? tv_after_ms(timeout) : timeval{};

	install_sigchld();
	take_default_signals();
	uloop_cancelled = false;
	while (!uloop_cancelled) {
		process_timeouts();
		if (do_sigchld)
			handle_processes();
		if (uloop_cancelled)
			break;

		int wait_ms = next_timeout_ms();
		if (timeout >= 0) {
			int64_t left_us = tv_diff_us(deadline, now_tv());
			if (left_us <= 0)
				break;
			int left_ms = static_cast<int>((left_us + 999) / 1000);
			if (wait_ms < 0 || left_ms < wait_ms)
				wait_ms = left_ms;
		}
		if (do_sigchld)
			wait_ms = 0;
		dispatch_events(wait_ms);
	}
	restore_default_signals();
	return 0;
}

} // extern "C"

#include "runner.h"

#include "../core/log.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr useconds_t fast_wait_us = 5000;
constexpr useconds_t slow_wait_us = 500000;

// The loop's SIGCHLD handler may cut a sleep short (the command's own exit
// does); the wait is to a fixed deadline all the same.
void sleep_whole(useconds_t us)
{
	struct timespec end;
	clock_gettime(CLOCK_MONOTONIC, &end);
	end.tv_sec += us / 1000000;
	end.tv_nsec += static_cast<long>(us % 1000000) * 1000;
	if (end.tv_nsec >= 1000000000) {
		end.tv_sec++;
		end.tv_nsec -= 1000000000;
	}
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
	}
}

long long now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int ms_left(long long deadline)
{
	long long left = deadline - now_ms();
	return left < 0 ? 0 : static_cast<int>(left);
}

// A shell command line as popen runs it, but leading a process group of its
// own, so that a time-out reaches whatever it started.
class shell_child {
public:
	~shell_child()
	{
		if (out_ >= 0)
			close(out_);
		if (pid_ > 0)
			reap(true);
	}
	shell_child() = default;
	shell_child(const shell_child &) = delete;
	shell_child &operator=(const shell_child &) = delete;

	bool start(const char *cmd)
	{
		int fds[2];
		if (pipe2(fds, O_CLOEXEC) < 0)
			return false;
		posix_spawn_file_actions_t actions;
		posix_spawnattr_t attr;
		posix_spawn_file_actions_init(&actions);
		posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
		posix_spawnattr_init(&attr);
		posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
		posix_spawnattr_setpgroup(&attr, 0);
		char sh[] = "sh", dash_c[] = "-c";
		char *argv[] = {sh, dash_c, const_cast<char *>(cmd), nullptr};
		int err = posix_spawn(&pid_, "/bin/sh", &actions, &attr, argv, environ);
		posix_spawnattr_destroy(&attr);
		posix_spawn_file_actions_destroy(&actions);
		close(fds[1]);
		if (err) {
			close(fds[0]);
			pid_ = -1;
			errno = err;
			return false;
		}
		out_ = fds[0];
		return true;
	}

	// Up to len bytes of output, until its end or the deadline; false at
	// the deadline.
	bool read(char *buf, size_t len, long long deadline, size_t &n)
	{
		n = 0;
		while (n < len) {
			struct pollfd pfd = {out_, POLLIN, 0};
			int r = poll(&pfd, 1, ms_left(deadline));
			if (r < 0 && errno == EINTR)
				continue;
			if (r == 0)
				return false;
			ssize_t got = ::read(out_, buf + n, len - n);
			if (got < 0 && errno == EINTR)
				continue;
			if (got <= 0)
				break;
			n += static_cast<size_t>(got);
		}
		close(out_); // as pclose: output past len is not wanted
		out_ = -1;
		return true;
	}

	// Waits for the shell to end until the deadline; false at the deadline.
	bool wait(long long deadline)
	{
		int pidfd = -1;
#ifdef SYS_pidfd_open
		pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0U));
#endif
		bool ended = false;
		for (;;) {
			if (reap(false)) {
				ended = true;
				break;
			}
			int left = ms_left(deadline);
			if (left == 0)
				break;
			if (pidfd >= 0) {
				struct pollfd pfd = {pidfd, POLLIN, 0};
				poll(&pfd, 1, left);
			} else {
				struct timespec nap = {0, 1000000};
				nanosleep(&nap, nullptr);
			}
		}
		if (pidfd >= 0)
			close(pidfd);
		return ended;
	}

	void kill_group()
	{
		if (pid_ > 0)
			kill(-pid_, SIGKILL);
	}

private:
	// True once the shell is reaped (or was reaped by someone else).
	bool reap(bool block)
	{
		int status;
		pid_t r;
		while ((r = waitpid(pid_, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
		}
		if (r == 0)
			return false;
		pid_ = -1;
		return true;
	}

	pid_t pid_ = -1;
	int out_ = -1;
};

char *read_command(const char *func, const char *cmd, char *buf, int len, useconds_t wait_us)
{
	const long long deadline = now_ms() + command_time_limit_s * 1000LL;
	shell_child child;
	if (!child.start(cmd)) {
		KLOG_AS(LOG_LEVEL_ERR, func, "  popen %s fail! \n", cmd);
		return nullptr;
	}
	sleep_whole(wait_us);
	size_t n = 0;
	bool done = child.read(buf, len > 0 ? static_cast<size_t>(len) : 0, deadline, n);
	buf[n] = 0;
	if (done)
		done = child.wait(deadline);
	if (!done) {
		child.kill_group();
		KLOG_AS(LOG_LEVEL_ERR, func, "  cmd '%s' timed out after %d s, killed \n", cmd, command_time_limit_s);
		return nullptr; // as a command that could not be run
	}
	KLOG_AS(LOG_LEVEL_DEBUG, func, " cmd '%s' res len = %d \n", cmd, static_cast<int>(n));
	return buf;
}

void free_item(env_item &item)
{
	free(item.name);
	free(item.value);
	free(item.pair);
	item = {};
}

constexpr char time_limit_tool[] = "/usr/bin/timeout";
constexpr int guard_fd_max = 1024;
constexpr long guard_poll_ms = 100; // without a pidfd
// After the slot's time-out: while the daemon lives its timer comes first
// and kills the guard with the group, as it did before there was a guard.
constexpr long long guard_grace_ms = 1000;

// Holds the slot's time-out for a command after the daemon has gone: kills
// the command's group then, as the slot's timer would, and leaves as soon as
// the command ends. It holds nothing of the daemon's: a socket kept open
// here would keep the bus connection of a dead daemon.
[[noreturn]] void guard(int pidfd, pid_t command, int32_t timeout)
{
	for (int fd = 0; fd < guard_fd_max; fd++) {
		if (fd != pidfd)
			close(fd);
	}
	constexpr int daemon_signals[] = {SIGINT, SIGTERM, SIGUSR1, SIGCHLD, SIGHUP};
	for (int signo : daemon_signals)
		signal(signo, SIG_DFL);
	prctl(PR_SET_NAME, "kestrad-guard");
	const long long deadline = now_ms() + static_cast<long long>(timeout) * 1000 + guard_grace_ms;
	for (;;) {
		int left = ms_left(deadline);
		if (left == 0)
			break;
		if (pidfd >= 0) {
			struct pollfd pfd = {pidfd, POLLIN, 0};
			if (poll(&pfd, 1, left) > 0)
				_exit(0);
		} else {
			if (kill(command, 0) < 0 && errno == ESRCH)
				_exit(0);
			struct timespec nap = {0, guard_poll_ms * 1000000L};
			nanosleep(&nap, nullptr);
		}
	}
	// The guard is of the group: its id cannot have been reused.
	kill(-command, SIGKILL);
	_exit(0);
}

// The slot's timer ends with the daemon, and a script that a restart leaves
// running would then never end: a command that the time-limit tool does not
// bound gets a guard, nobody's child but init's (a double fork), in the
// command's process group. The command waits only for the first fork.
void start_guard(int32_t timeout)
{
	pid_t self = getpid();
	int pidfd = -1;
#ifdef SYS_pidfd_open
	pidfd = static_cast<int>(syscall(SYS_pidfd_open, self, 0U));
#endif
	pid_t first = fork();
	if (first == 0) {
		if (fork() == 0)
			guard(pidfd, self, timeout);
		_exit(0);
	}
	if (first > 0) {
		while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
		}
	}
	if (pidfd >= 0)
		close(pidfd);
}

[[noreturn]] void exec_child(worker *slot)
{
	setpgid(0, 0); // a time-out kills the group: the command and what it started
	if (slot->env) {
		for (int i = 0; i < slot->env->count; i++)
			putenv(slot->env->items[i].pair);
	}
	KLOG_AS(LOG_LEVEL_DEBUG, "run_cmd", "worker cmd: ");
	for (const char **arg = slot->argv; arg && *arg; arg++)
		KLOG_AS(LOG_LEVEL_DEBUG, "run_cmd", " %s ", *arg);
	KLOG_AS(LOG_LEVEL_DEBUG, "run_cmd", "\n");
	if (slot->argv && slot->argv[0]) {
		if (slot->timeout > 0 && strcmp(slot->argv[0], time_limit_tool) != 0)
			start_guard(slot->timeout);
		execvp(slot->argv[0], const_cast<char *const *>(slot->argv));
	}
	_exit(127);
}

} // namespace

void run_cmd(worker *slot)
{
	pid_t pid = fork();
	if (pid < 0) {
		int err = errno;
		if (slot->proc.cb)
			slot->proc.cb(&slot->proc, 0);
		KLOG_ERR("work fork error[%d]:%s\n", err, strerror(err));
		return;
	}
	if (pid == 0)
		exec_child(slot);

	setpgid(pid, pid); // also here, so that a time-out never finds it unset
	slot->proc.pid = pid;
	uloop_process_add(&slot->proc);
	if (slot->timeout && slot->in_use && slot->proc.pid > 0) {
		int32_t secs = slot->timeout > INT_MAX / 1000 ? INT_MAX / 1000 : slot->timeout;
		uloop_timeout_set(&slot->timer, secs * 1000);
	}
}

void worker_launch(worker *slot, const char **argv, int32_t timeout)
{
	slot->argv = argv;
	slot->env = nullptr;
	slot->timeout = timeout;
	slot->proc.cb = task_complete;
	run_cmd(slot);
}

worker *worker_start(const char **argv, int32_t timeout)
{
	worker *slot = worker_get();
	if (!slot)
		return nullptr;
	worker_launch(slot, argv, timeout);
	return slot;
}

int uevent_add_env(env_list *list, char *text, uevent *ev)
{
	char *eq = strchr(text, '=');
	if (!eq)
		return 0;
	*eq = 0;

	// The list stays whole on failure: count only grows with its array.
	auto *items = static_cast<env_item *>(
		realloc(list->items, sizeof(env_item) * static_cast<size_t>(list->count + 1)));
	if (!items) {
		*eq = '=';
		KLOG_ERR("relloc failure!\n");
		return -1;
	}
	list->items = items;
	env_item &item = items[list->count];
	item.name = strdup(text);
	item.value = strdup(eq + 1);
	*eq = '=';
	item.pair = strdup(text);
	if (!item.name || !item.value || !item.pair) {
		free_item(item);
		KLOG_ERR("relloc failure!\n");
		return -1;
	}
	list->count++;
	if (ev && strcmp(item.name, "subsys") == 0)
		ev->subsys = item.value;
	return 0;
}

void uevent_free(env_list *list)
{
	if (!list)
		return;
	for (int i = 0; i < list->count; i++)
		free_item(list->items[i]);
	free(list->items);
	free(list);
}

char *get_cmd_result(const char *cmd, char *buf, int len)
{
	return read_command(__func__, cmd, buf, len, fast_wait_us);
}

char *get_cmd_result_slow(const char *cmd, char *buf, int len)
{
	return read_command(__func__, cmd, buf, len, slow_wait_us);
}

int kestrad_run_cmd(const char *cmd, char *buf, int len)
{
	if (!cmd || !*cmd || len <= 0)
		return 1;
	memset(buf, 0, static_cast<size_t>(len));
	const long long deadline = now_ms() + command_time_limit_s * 1000LL;
	shell_child child;
	if (!child.start(cmd)) {
		KLOG_ERR("run cmd [%s], popen failed !!!\n", cmd);
		return 1;
	}
	size_t n = 0;
	if (!child.read(buf, static_cast<size_t>(len), deadline, n) || !child.wait(deadline)) {
		child.kill_group();
		KLOG_ERR("  cmd '%s' timed out after %d s, killed \n", cmd, command_time_limit_s);
		return 1;
	}
	return 0;
}

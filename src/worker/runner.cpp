#include "runner.h"

#include "../core/log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr useconds_t fast_wait_us = 5000;
constexpr useconds_t slow_wait_us = 500000;

// Reads until `len` bytes or end of output. A child's SIGCHLD may interrupt
// the read where the loop's handler lacks SA_RESTART, so EINTR is retried.
size_t read_all(FILE *fp, char *buf, size_t len)
{
	size_t total = 0;
	while (total < len) {
		size_t n = fread(buf + total, 1, len - total, fp);
		total += n;
		if (n)
			continue;
		if (ferror(fp) && errno == EINTR) {
			clearerr(fp);
			continue;
		}
		break;
	}
	return total;
}

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

char *read_command(const char *func, const char *cmd, char *buf, int len, useconds_t wait_us)
{
	FILE *fp = popen(cmd, "r");
	if (!fp) {
		KLOG_AS(LOG_LEVEL_ERR, func, "  popen %s fail! \n", cmd);
		return nullptr;
	}
	sleep_whole(wait_us);
	size_t n = read_all(fp, buf, len > 0 ? static_cast<size_t>(len) : 0);
	KLOG_AS(LOG_LEVEL_DEBUG, func, " cmd '%s' res len = %d \n", cmd, static_cast<int>(n));
	buf[n] = 0;
	pclose(fp);
	return buf;
}

void free_item(env_item &item)
{
	free(item.name);
	free(item.value);
	free(item.pair);
	item = {};
}

[[noreturn]] void exec_child(worker *slot)
{
	if (slot->env) {
		for (int i = 0; i < slot->env->count; i++)
			putenv(slot->env->items[i].pair);
	}
	KLOG_AS(LOG_LEVEL_DEBUG, "run_cmd", "worker cmd: ");
	for (const char **arg = slot->argv; arg && *arg; arg++)
		KLOG_AS(LOG_LEVEL_DEBUG, "run_cmd", " %s ", *arg);
	KLOG_AS(LOG_LEVEL_DEBUG, "run_cmd", "\n");
	if (slot->argv && slot->argv[0])
		execvp(slot->argv[0], const_cast<char *const *>(slot->argv));
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

	slot->proc.pid = pid;
	uloop_process_add(&slot->proc);
	if (slot->timeout && slot->in_use && slot->proc.pid > 0) {
		int32_t secs = slot->timeout > INT_MAX / 1000 ? INT_MAX / 1000 : slot->timeout;
		uloop_timeout_set(&slot->timer, secs * 1000);
	}
}

worker *worker_start(const char **argv, int32_t timeout)
{
	worker *slot = worker_get();
	if (!slot)
		return nullptr;
	slot->argv = argv;
	slot->env = nullptr;
	slot->timeout = timeout;
	slot->proc.cb = task_complete;
	run_cmd(slot);
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
	FILE *fp = popen(cmd, "r");
	if (!fp) {
		KLOG_ERR("run cmd [%s], popen failed !!!\n", cmd);
		return 1;
	}
	read_all(fp, buf, static_cast<size_t>(len));
	pclose(fp);
	return 0;
}

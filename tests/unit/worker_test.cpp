// The worker pool with real children under the event loop.
#include "core/log.h"
#include "worker/runner.h"
#include "worker/worker.h"

#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace testing_support;

namespace {

const char *sleep_argv[] = {"sleep", "30", nullptr};
const char *true_argv[] = {"true", nullptr};
const char *missing_argv[] = {"/nonexistent/kestrad-no-such-program", nullptr};

class WorkerPool : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_level = 2; // quiet
		ASSERT_EQ(uloop_init(), 0);
		ASSERT_EQ(worker_init(), 0);
	}
	void TearDown() override
	{
		worker_done();
		// what worker_done or a time-out killed is reaped before the next test
		run_until([] { return all_reaped(started); }, 5000);
		EXPECT_TRUE(all_reaped(started)) << "a child outlived its test";
		started.clear();
		uloop_done();
		log_level = LOG_LEVEL_DEBUG;
	}

	static worker *start(const char **argv, int timeout,
			     void (*cb)(struct uloop_process *, int) = task_complete)
	{
		worker *w = worker_get();
		if (!w)
			return nullptr;
		w->argv = argv;
		w->env = nullptr;
		w->timeout = timeout;
		w->proc.cb = cb;
		run_cmd(w);
		if (w->proc.pid > 0)
			started.push_back(w->proc.pid);
		return w;
	}

	static inline std::vector<pid_t> started;

	static int busy_slots()
	{
		int n = 0;
		for (int i = 0; i < WORKER_COUNT; i++)
			n += wk[i].in_use;
		return n;
	}

	// Runs the loop until `pred` holds or `ms` pass; returns when it held.
	template <typename P>
	static long long run_until(P pred, int ms)
	{
		long long end = monotonic_ms() + ms;
		while (!pred() && monotonic_ms() < end)
			uloop_run_timeout(5);
		return monotonic_ms();
	}
};

TEST_F(WorkerPool, InitLeavesTwentyFreeSlots)
{
	for (int i = 0; i < WORKER_COUNT; i++) {
		EXPECT_FALSE(wk[i].in_use);
		EXPECT_EQ(wk[i].proc.pid, -1);
		EXPECT_EQ(wk[i].timer.cb, worker_timeout_cb);
		EXPECT_FALSE(wk[i].proc.pending);
		EXPECT_FALSE(wk[i].timer.pending);
	}
}

TEST_F(WorkerPool, GetTakesTheLowestFreeSlot)
{
	worker *a = worker_get(), *b = worker_get(), *c = worker_get();
	EXPECT_EQ(a, &wk[0]);
	EXPECT_EQ(c, &wk[2]);
	worker_put(b);
	EXPECT_EQ(worker_get(), &wk[1]);
	// a second release only logs
	worker_put(b);
	EXPECT_EQ(worker_put(b), 0);
	EXPECT_FALSE(b->in_use);
	EXPECT_EQ(worker_put(nullptr), 0);
}

TEST_F(WorkerPool, TwentyRunAtOnceAndTheTwentyFirstIsRefused)
{
	std::vector<pid_t> pids;
	for (int i = 0; i < WORKER_COUNT; i++) {
		worker *w = start(sleep_argv, 0);
		ASSERT_NE(w, nullptr) << i;
		ASSERT_GT(w->proc.pid, 0);
		EXPECT_TRUE(w->proc.pending);
		EXPECT_FALSE(w->timer.pending); // timeout 0: no limit
		pids.push_back(w->proc.pid);
	}
	for (pid_t p : pids)
		EXPECT_TRUE(process_alive(p));
	EXPECT_EQ(worker_get(), nullptr);

	// once one ends, the next get succeeds with that index
	kill(wk[7].proc.pid, SIGTERM);
	run_until([] { return !wk[7].in_use; }, 2000);
	EXPECT_EQ(worker_get(), &wk[7]);
}

TEST_F(WorkerPool, ChildPastItsTimeoutIsKilledAndTheSlotFreedOnTime)
{
	// Each time-out is armed between `before` and `after`; forking may take
	// a while on a busy machine.
	std::vector<pid_t> pids;
	long long before = monotonic_ms();
	for (int i = 0; i < 3; i++)
		pids.push_back(start(sleep_argv, 1)->proc.pid);
	long long after = monotonic_ms();
	long long freed = run_until([] { return busy_slots() == 0; }, 3000);
	EXPECT_EQ(busy_slots(), 0);
	EXPECT_GE(freed, before + 1000);
	EXPECT_LE(freed, after + 1000 + testing_support::scaled_ms(100));

	for (int i = 0; i < 3; i++) {
		EXPECT_EQ(wk[i].proc.pid, -1);
		EXPECT_FALSE(wk[i].timer.pending);
		EXPECT_FALSE(wk[i].proc.pending);
	}
	// SIGKILL is sent by now; the children die and are reaped a little later
	run_until([&] { return all_reaped(pids); }, 5000);
	EXPECT_TRUE(all_reaped(pids));
	EXPECT_EQ(zombies_of(getpid()), 0);
	for (pid_t p : pids)
		EXPECT_EQ(waitpid(p, nullptr, WNOHANG), -1); // reaped by the loop
}

int last_status;
int callbacks;
void recording_complete(struct uloop_process *proc, int status)
{
	last_status = status;
	callbacks++;
	task_complete(proc, status);
}
void fail_timeout(struct uloop_timeout *) { ADD_FAILURE() << "time-out fired"; }

TEST_F(WorkerPool, ChildThatExitsFreesItsSlotAtOnceAndCancelsTheTimeout)
{
	callbacks = 0;
	worker *w = start(true_argv, 5, recording_complete);
	ASSERT_TRUE(w->timer.pending);
	w->timer.cb = fail_timeout; // must never run now
	long long started = monotonic_ms();
	long long freed = run_until([&] { return !w->in_use; }, 2000);
	EXPECT_LT(freed - started, testing_support::scaled_ms(200));
	EXPECT_EQ(callbacks, 1);
	EXPECT_TRUE(WIFEXITED(last_status));
	EXPECT_FALSE(w->timer.pending);
	uloop_run_timeout(20);
	w->timer.cb = worker_timeout_cb;
	EXPECT_EQ(zombies_of(getpid()), 0);
}

TEST_F(WorkerPool, TimeoutCallbackSeesStatusZero)
{
	callbacks = 0;
	last_status = -1;
	worker *w = start(sleep_argv, 1, recording_complete);
	run_until([&] { return !w->in_use; }, 3000);
	EXPECT_EQ(callbacks, 1);
	EXPECT_EQ(last_status, 0);
}

TEST_F(WorkerPool, MissingProgramEndsWith127AndReleasesTheSlot)
{
	callbacks = 0;
	worker *w = start(missing_argv, 5, recording_complete);
	run_until([&] { return !w->in_use; }, 2000);
	EXPECT_EQ(callbacks, 1);
	ASSERT_TRUE(WIFEXITED(last_status));
	EXPECT_EQ(WEXITSTATUS(last_status), 127);
}

TEST_F(WorkerPool, DoneKillsEveryRunningChildAndFreesThePool)
{
	std::vector<pid_t> pids;
	for (int i = 0; i < 3; i++)
		pids.push_back(start(sleep_argv, 0)->proc.pid);
	EXPECT_EQ(worker_done(), 0);
	EXPECT_EQ(wk, nullptr);
	run_until([&] { return all_reaped(pids); }, 5000);
	EXPECT_TRUE(all_reaped(pids));
	EXPECT_EQ(zombies_of(getpid()), 0);
	ASSERT_EQ(worker_init(), 0); // for TearDown
}

// Live members of process group `pgid`, whoever's children they are.
int group_members(pid_t pgid)
{
	int n = 0;
	DIR *d = opendir("/proc");
	while (struct dirent *e = d ? readdir(d) : nullptr) {
		if (e->d_name[0] < '0' || e->d_name[0] > '9')
			continue;
		std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
		size_t end = stat.rfind(')');
		char state = 0;
		int ppid = 0, pgrp = 0;
		if (end != std::string::npos && sscanf(stat.c_str() + end + 1, " %c %d %d", &state, &ppid, &pgrp) == 3)
			n += pgrp == pgid && state != 'Z';
	}
	if (d)
		closedir(d);
	return n;
}

// A daemon's end (a kill, a restart) takes its slot timers along: the
// command still ends at its time-out, and its guard leaves with a command
// that ends first. The daemon here is a child of the test that starts the
// command and ends at once.
TEST_F(WorkerPool, TheTimeoutHoldsAfterTheDaemonHasGone)
{
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	long long started = monotonic_ms();
	pid_t daemon = fork();
	ASSERT_GE(daemon, 0);
	if (daemon == 0) {
		worker *w = worker_get();
		w->argv = sleep_argv;
		w->env = nullptr;
		w->timeout = 1;
		w->proc.cb = task_complete;
		run_cmd(w);
		pid_t pid = w->proc.pid;
		_exit(write(fds[1], &pid, sizeof pid) == sizeof pid ? 0 : 1);
	}
	close(fds[1]);
	pid_t command = -1;
	ASSERT_EQ(read(fds[0], &command, sizeof command), static_cast<ssize_t>(sizeof command));
	close(fds[0]);
	ASSERT_EQ(waitpid(daemon, nullptr, 0), daemon);
	EXPECT_GT(group_members(command), 0);
	EXPECT_TRUE(wait_until([&] { return group_members(command) == 0; }, 4000)) << "the command outlived its time-out";
	EXPECT_GE(monotonic_ms() - started, 1000);

	worker *w = start(true_argv, 30);
	pid_t pid = w->proc.pid;
	run_until([&] { return !w->in_use; }, 2000);
	EXPECT_TRUE(wait_until([&] { return group_members(pid) == 0; }, 2000)) << "the guard outlived its command";
}

TEST_F(WorkerPool, KillWithoutAChildStillReleases)
{
	worker *w = worker_get();
	w->proc.cb = task_complete;
	EXPECT_EQ(kill_process(w), 0);
	EXPECT_FALSE(w->in_use);
}

} // namespace

// The event loop: timeouts, descriptors, children and signal dispositions.
extern "C" {
#include <libubox/uloop.h>
}

#include "support/proc.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using testing_support::monotonic_ms;
using testing_support::zombies_of;

namespace {

class Uloop : public ::testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(uloop_init(), 0); }
	void TearDown() override { uloop_done(); }

	// Runs the loop until `pred` holds or `ms` pass.
	template <typename P>
	static void run_until(P pred, int ms)
	{
		long long end = monotonic_ms() + ms;
		while (!pred() && monotonic_ms() < end)
			uloop_run_timeout(5);
	}
};

std::vector<int> fired;

struct tagged_timeout {
	struct uloop_timeout t;
	int tag;
};

void record_tag(struct uloop_timeout *t)
{
	EXPECT_FALSE(t->pending);
	fired.push_back(container_of(t, tagged_timeout, t)->tag);
}

TEST_F(Uloop, TimeoutsFireInDeadlineOrderAndCancelWorks)
{
	fired.clear();
	tagged_timeout a{{}, 1}, b{{}, 2}, c{{}, 3};
	a.t.cb = b.t.cb = c.t.cb = record_tag;
	const int ms = static_cast<int>(testing_support::scaled_ms(20)); // longer under an emulator
	uloop_timeout_set(&a.t, 3 * ms);
	uloop_timeout_set(&b.t, ms);
	uloop_timeout_set(&c.t, 2 * ms);
	EXPECT_TRUE(c.t.pending);
	EXPECT_GT(uloop_timeout_remaining(&c.t), 3 * ms / 2);
	EXPECT_EQ(uloop_timeout_cancel(&c.t), 0);
	EXPECT_EQ(uloop_timeout_cancel(&c.t), -1);
	EXPECT_EQ(uloop_timeout_remaining(&c.t), -1);

	run_until([] { return fired.size() >= 2; }, 3000);
	EXPECT_EQ(fired, (std::vector<int>{2, 1}));
}

TEST_F(Uloop, RearmingAPendingTimeoutReschedulesIt)
{
	fired.clear();
	tagged_timeout a{{}, 1};
	a.t.cb = record_tag;
	uloop_timeout_set(&a.t, 20);
	uloop_timeout_set(&a.t, 2000);
	uloop_run_timeout(100);
	EXPECT_TRUE(fired.empty());
	uloop_timeout_cancel(&a.t);
}

TEST_F(Uloop, RunWithALimitReturnsOnTimeWhenIdle)
{
	long long start = monotonic_ms();
	uloop_run_timeout(100);
	long long took = monotonic_ms() - start;
	EXPECT_GE(took, 99);
	EXPECT_LT(took, testing_support::scaled_ms(300));
}

struct pipe_watch {
	struct uloop_fd fd;
	int calls;
	struct pipe_watch *victim; // deleted by this one's callback
};

void on_readable(struct uloop_fd *u, unsigned int events)
{
	auto *w = container_of(u, pipe_watch, fd);
	EXPECT_TRUE(events & ULOOP_READ);
	w->calls++;
	char c;
	while (read(u->fd, &c, 1) > 0) {
	}
	if (w->victim)
		uloop_fd_delete(&w->victim->fd);
	uloop_end();
}

TEST_F(Uloop, DescriptorDeletedDuringABatchGetsNoCallback)
{
	int p1[2], p2[2];
	ASSERT_EQ(pipe(p1), 0);
	ASSERT_EQ(pipe(p2), 0);
	pipe_watch a{{on_readable, p1[0]}, 0, nullptr}, b{{on_readable, p2[0]}, 0, nullptr};
	a.victim = &b;
	b.victim = &a;
	uloop_fd_add(&a.fd, ULOOP_READ);
	uloop_fd_add(&b.fd, ULOOP_READ);
	EXPECT_TRUE(fcntl(p1[0], F_GETFL) & O_NONBLOCK);
	EXPECT_TRUE(fcntl(p1[0], F_GETFD) & FD_CLOEXEC);
	ASSERT_EQ(write(p1[1], "x", 1), 1);
	ASSERT_EQ(write(p2[1], "y", 1), 1);

	uloop_run_timeout(500);
	EXPECT_EQ(a.calls + b.calls, 1);
	uloop_fd_delete(&a.fd);
	uloop_fd_delete(&b.fd);
	for (int fd : {p1[0], p1[1], p2[0], p2[1]})
		close(fd);
}

TEST_F(Uloop, BlockingFlagLeavesTheDescriptorBlocking)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	struct uloop_fd u = {on_readable, p[0]};
	uloop_fd_add(&u, ULOOP_READ | ULOOP_BLOCKING);
	EXPECT_FALSE(fcntl(p[0], F_GETFL) & O_NONBLOCK);
	uloop_fd_delete(&u);
	close(p[0]);
	close(p[1]);
}

TEST_F(Uloop, HangupMarksEofAndStopsWatching)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	pipe_watch w{{on_readable, p[0]}, 0, nullptr};
	uloop_fd_add(&w.fd, ULOOP_READ);
	close(p[1]);
	uloop_run_timeout(500);
	EXPECT_EQ(w.calls, 1);
	EXPECT_TRUE(w.fd.eof);
	uloop_fd_delete(&w.fd);
	close(p[0]);
}

struct watched_child {
	struct uloop_process proc = {};
	int status = -1;
	int calls = 0;
};

void on_exit_cb(struct uloop_process *p, int status)
{
	auto *c = container_of(p, watched_child, proc);
	EXPECT_FALSE(p->pending);
	c->status = status;
	c->calls++;
}

TEST_F(Uloop, ChildrenAreReapedWatchedOrNot)
{
	watched_child w;
	w.proc.cb = on_exit_cb;
	w.proc.pid = fork();
	if (w.proc.pid == 0)
		_exit(7);
	pid_t unwatched = fork();
	if (unwatched == 0)
		_exit(0);
	uloop_process_add(&w.proc);

	run_until([&] { return w.calls > 0 && testing_support::reaped(unwatched); }, 5000);
	EXPECT_EQ(w.calls, 1);
	ASSERT_TRUE(WIFEXITED(w.status));
	EXPECT_EQ(WEXITSTATUS(w.status), 7);
	EXPECT_EQ(zombies_of(getpid()), 0);
	EXPECT_EQ(waitpid(unwatched, nullptr, WNOHANG), -1); // already reaped
}

TEST_F(Uloop, SigchldIsHandledWithRestartAndNotIgnored)
{
	struct sigaction sa;
	sigaction(SIGCHLD, nullptr, &sa);
	EXPECT_NE(sa.sa_handler, SIG_IGN);
	EXPECT_NE(sa.sa_handler, SIG_DFL);
	EXPECT_TRUE(sa.sa_flags & SA_RESTART);
}

volatile sig_atomic_t app_handler_calls;
void app_handler(int) { app_handler_calls = app_handler_calls + 1; }

void raise_sigterm(struct uloop_timeout *) { raise(SIGTERM); }

TEST_F(Uloop, ApplicationSignalHandlersStayInPlace)
{
	struct sigaction sa = {}, old;
	sa.sa_handler = app_handler;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGTERM, &sa, &old);
	app_handler_calls = 0;

	struct uloop_timeout t = {};
	t.cb = raise_sigterm;
	uloop_timeout_set(&t, 10);
	long long start = monotonic_ms();
	uloop_run_timeout(200);
	EXPECT_GE(monotonic_ms() - start, 190); // the signal did not end the run
	EXPECT_EQ(app_handler_calls, 1);

	struct sigaction now;
	sigaction(SIGTERM, nullptr, &now);
	EXPECT_EQ(now.sa_handler, app_handler);
	sigaction(SIGTERM, &old, nullptr);
}

TEST_F(Uloop, DefaultSigtermEndsTheRunAndIsRestored)
{
	struct uloop_timeout t = {};
	t.cb = raise_sigterm;
	uloop_timeout_set(&t, 10);
	long long start = monotonic_ms();
	uloop_run_timeout(2000);
	EXPECT_LT(monotonic_ms() - start, 1000);
	EXPECT_TRUE(uloop_cancelled);

	struct sigaction now;
	sigaction(SIGTERM, nullptr, &now);
	EXPECT_EQ(now.sa_handler, SIG_DFL);
}

} // namespace

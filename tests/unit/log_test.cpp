// The log module, and the signal handler that logs from any point.
#include "core/log.h"
#include "core/signals.h"
#include "worker/runner.h"

#include "support/capture.h"
#include "support/proc.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testing_support::capture_stderr;

class Log : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_level = LOG_LEVEL_DEBUG;
		log_mode = LOG_MODE_STDERR;
	}
	void TearDown() override
	{
		log_level = LOG_LEVEL_DEBUG;
		log_mode = LOG_MODE_SYSLOG;
	}
};

TEST_F(Log, PrefixesFunctionAndLineThenExpandsTheCallersConversions)
{
	EXPECT_EQ(capture_stderr([] { log_(3, "main", 84, "worker init error, exit\n"); }),
		  "main(84):worker init error, exit\n\n");
	EXPECT_EQ(capture_stderr([] { log_(3, "marovela_signal_handler", 16, "got signal(%d)", 15); }),
		  "marovela_signal_handler(16):got signal(15)\n");
	// A '%' in the caller's text is the caller's conversion, not ours.
	EXPECT_EQ(capture_stderr([] { log_(7, "f", 1, "%s-%d", "a%d", 2); }), "f(1):a%d-2\n");
}

TEST_F(Log, CallBelowTheThresholdWritesOnlyTheFixedTextEvenForSyslog)
{
	log_level = 5;
	log_mode = LOG_MODE_SYSLOG;
	EXPECT_EQ(capture_stderr([] { log_(7, "main", 1, "never"); }), "cmd;log level error\n ");
}

TEST_F(Log, CallSiteMacroSkipsArgumentsWhenSuppressed)
{
	log_level = 2;
	int evaluated = 0;
	auto cost = [&] { return ++evaluated; };
	EXPECT_EQ(capture_stderr([&] { KLOG_ERR("x %d", cost()); }), "");
	EXPECT_EQ(evaluated, 0);
}

TEST_F(Log, ComposedFormatIsCutAt511WithoutAHalfConversion)
{
	std::string long_fmt(600, 'x');
	std::string out = capture_stderr([&] { log_(7, "f", 1, "%s", long_fmt.c_str()); });
	EXPECT_EQ(out, "f(1):" + long_fmt + "\n"); // the argument itself is not cut

	std::string fmt(511 - 5 - 2, 'y');
	fmt += "%-5d"; // cut inside the conversion
	out = capture_stderr([&] { log_(7, "f", 1, fmt.c_str(), 42); });
	EXPECT_EQ(out, "f(1):" + std::string(504, 'y'));
	EXPECT_EQ(out.find("42"), std::string::npos);
}

TEST_F(Log, RejectedSettingsKeepTheOldValue)
{
	log_level = 5;
	std::string out = capture_stderr([] { EXPECT_EQ(log_level_set(8), -1); });
	EXPECT_NE(out.find("Set log level to 8 error"), std::string::npos);
	out = capture_stderr([] { EXPECT_EQ(log_level_set(static_cast<unsigned>(-1)), -1); });
	EXPECT_NE(out.find("Set log level to -1 error"), std::string::npos);
	EXPECT_EQ(log_level, 5);
	EXPECT_EQ(log_level_set(3), 0);
	EXPECT_EQ(log_level, 3);

	out = capture_stderr([] { EXPECT_EQ(log_mode_set(2), -1); });
	EXPECT_NE(out.find("set log mode to 2[LOG_MODE_STDERR] error\n"), std::string::npos);
	EXPECT_EQ(log_mode, LOG_MODE_STDERR);
}

TEST_F(Log, AsyncPathWritesTheSameLine)
{
	EXPECT_EQ(capture_stderr([] { log_async_(3, "marovela_signal_handler", 16, "got signal(%d) %s", -15, "x"); }),
		  "marovela_signal_handler(16):got signal(-15) x\n");
}

// Runs `body` in a child with the daemon's dispositions, sends SIGTERM after
// `delay_us` and returns the wait status, or -1 if it is still alive 2 s later.
template <typename F>
int sigterm_during(F body, useconds_t delay_us, int err_fd)
{
	int ready[2];
	if (pipe(ready) != 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		close(ready[0]);
		dup2(err_fd, 2);
		signals_install();
		// the delay counts from here, however busy the machine is
		ssize_t w = write(ready[1], "r", 1);
		(void)w;
		close(ready[1]);
		body();
		_exit(3);
	}
	close(ready[1]);
	char c;
	ssize_t r = read(ready[0], &c, 1);
	(void)r;
	close(ready[0]);
	usleep(delay_us);
	kill(pid, SIGTERM);
	int status = -1;
	bool done = testing_support::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 2000);
	if (!done) {
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
		return -1;
	}
	return status;
}

// A SIGTERM that lands inside a log call must not deadlock on the lock the
// interrupted call holds, in either sink.
TEST_F(Log, SigtermInsideALogCallExitsZero)
{
	int devnull = open("/dev/null", O_WRONLY);
	for (int mode : {LOG_MODE_SYSLOG, LOG_MODE_STDERR}) {
		for (int i = 0; i < 20; i++) {
			log_mode = mode;
			int status = sigterm_during([] {
				for (int n = 0; n < 2000000; n++)
					log_(7, "main", n, "busy %d %s", n, "logging");
			}, static_cast<useconds_t>(2000 + 700 * i), devnull);
			ASSERT_NE(status, -1) << "hung, mode " << mode << " round " << i;
			ASSERT_TRUE(WIFEXITED(status));
			EXPECT_EQ(WEXITSTATUS(status), 0);
		}
	}
	close(devnull);
}

TEST_F(Log, SigtermDuringABlockingCommandDoesNotWaitForIt)
{
	char path[] = "/tmp/kestrad-sig-XXXXXX";
	int fd = mkstemp(path);
	long long start = testing_support::monotonic_ms();
	int status = sigterm_during([] {
		char buf[64];
		get_cmd_result("sleep 2", buf, sizeof(buf) - 1);
	}, 200000, fd);
	EXPECT_LT(testing_support::monotonic_ms() - start, testing_support::scaled_ms(1500));
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), 0);

	char buf[512] = {};
	ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
	ASSERT_GT(n, 0);
	EXPECT_NE(std::string(buf).find("marovela_signal_handler("), std::string::npos);
	EXPECT_NE(std::string(buf).find("):got signal(15)\n"), std::string::npos);
	close(fd);
	unlink(path);
}

} // namespace

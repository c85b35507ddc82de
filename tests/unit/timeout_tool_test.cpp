// The time-limit tool, run as a real program.
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// Orphaned timers are re-parented to us, so "no child left" also proves that
// the timer ended and left no zombie.
class TimeoutTool : public ::testing::Test {
protected:
	void SetUp() override { prctl(PR_SET_CHILD_SUBREAPER, 1); }
	void TearDown() override { EXPECT_TRUE(no_children_within(1000)); }

	static bool no_children_within(int ms)
	{
		return testing_support::wait_until([] {
			while (waitpid(-1, nullptr, WNOHANG) > 0) {
			}
			return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
		}, ms);
	}

	static std::string tool() { return bin_path("timeout"); }
};

TEST_F(TimeoutTool, DaemonFormKillsAtTheLimitWithTheGivenSignal)
{
	long long start = monotonic_ms();
	spawned p({tool(), "-t", "1", "-s", "9", "sleep", "10"});
	auto status = p.wait(5000);
	long long took = monotonic_ms() - start;
	ASSERT_TRUE(status);
	ASSERT_TRUE(WIFSIGNALED(*status));
	EXPECT_EQ(WTERMSIG(*status), SIGKILL);
	EXPECT_GE(took, 950);
	EXPECT_LT(took, testing_support::scaled_ms(1500));
}

TEST_F(TimeoutTool, CommonFormDefaultsToTermAndTakesFractionsAndNames)
{
	spawned p({tool(), "0.3", "sleep", "10"});
	auto status = p.wait(3000);
	ASSERT_TRUE(status);
	ASSERT_TRUE(WIFSIGNALED(*status));
	EXPECT_EQ(WTERMSIG(*status), SIGTERM);

	spawned q({tool(), "-s", "KILL", "0.2", "sleep", "10"});
	status = q.wait(3000);
	ASSERT_TRUE(status && WIFSIGNALED(*status));
	EXPECT_EQ(WTERMSIG(*status), SIGKILL);
}

TEST_F(TimeoutTool, ProgramStatusPassesThroughAndTheTimerLeavesAtOnce)
{
	long long start = monotonic_ms();
	spawned p({tool(), "-t", "30", "-s", "9", "sh", "-c", "exit 3"});
	auto status = p.wait(3000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 3);
	EXPECT_TRUE(no_children_within(500));
	EXPECT_LT(monotonic_ms() - start, testing_support::scaled_ms(1000));
}

TEST_F(TimeoutTool, ProgramKeepsTheProcessIdAndAKillFromTheCallerEndsEverything)
{
	temp_dir dir;
	std::string pidfile = dir.file("pid");
	spawned p({tool(), "-t", "30", "-s", "9", "sh", "-c", "echo $$ > " + pidfile + "; exec sleep 30"});
	ASSERT_TRUE(testing_support::wait_until([&] { return !read_file(pidfile).empty(); }, 3000));
	EXPECT_EQ(std::stoi(read_file(pidfile)), p.pid());

	p.signal(SIGKILL);
	auto status = p.wait(1000);
	ASSERT_TRUE(status && WIFSIGNALED(*status));
	EXPECT_TRUE(no_children_within(500)); // the timer went with the program
}

TEST_F(TimeoutTool, ShellSeesOneHundredTwentyEightPlusTheSignal)
{
	spawned p({"/bin/sh", "-c", testing_support::shell_program(tool()) + " -t 1 -s 9 sleep 5; echo $?"});
	ASSERT_TRUE(p.wait(4000));
	EXPECT_EQ(p.out(), "137\n");
}

TEST_F(TimeoutTool, TimerDoesNotHoldTheCallersOutput)
{
	long long start = monotonic_ms();
	spawned p({"/bin/sh", "-c", testing_support::shell_program(tool()) + " 30 echo hi | cat"});
	ASSERT_TRUE(p.wait(3000));
	EXPECT_EQ(p.out(), "hi\n");
	EXPECT_LT(monotonic_ms() - start, testing_support::scaled_ms(1000));
}

TEST_F(TimeoutTool, BadCommandLinesPrintUsageAndExit125)
{
	const std::vector<std::vector<std::string>> bad = {
		{}, {"-t"}, {"-t", "abc", "true"}, {"-t", "1", "-s", "BOGUS", "true"},
		{"1"}, {"-x", "1", "true"}, {"-s", "9"}, {"-1", "true"},
	};
	for (const auto &args : bad) {
		std::vector<std::string> argv = {tool()};
		argv.insert(argv.end(), args.begin(), args.end());
		spawned p(argv);
		auto status = p.wait(2000);
		ASSERT_TRUE(status);
		ASSERT_TRUE(WIFEXITED(*status));
		EXPECT_EQ(WEXITSTATUS(*status), 125) << argv.size();
		EXPECT_NE(p.err().find("Usage: timeout"), std::string::npos);
	}
}

TEST_F(TimeoutTool, MissingProgramIs127)
{
	spawned p({tool(), "5", "/nonexistent/kestrad-nothing"});
	auto status = p.wait(2000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 127);
}

} // namespace

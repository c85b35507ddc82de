// Command readers, run_cmd's environment, and the environment list.
#include "core/log.h"
#include "worker/runner.h"

#include "support/capture.h"
#include "support/proc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

class Runner : public ::testing::Test {
protected:
	void SetUp() override { log_level = 2; }
	void TearDown() override { log_level = LOG_LEVEL_DEBUG; }
};

TEST_F(Runner, GetCmdResultKeepsLenBytesAndTerminates)
{
	char buf[32];
	memset(buf, 'Z', sizeof(buf));
	ASSERT_EQ(get_cmd_result("printf 0123456789abcdefghijklmnopqrst", buf, 18), buf);
	EXPECT_EQ(std::string(buf), "0123456789abcdefgh");
	EXPECT_EQ(buf[18], 0);
	EXPECT_EQ(buf[19], 'Z');

	ASSERT_EQ(get_cmd_result("true", buf, 18), buf);
	EXPECT_STREQ(buf, "");
	ASSERT_EQ(get_cmd_result_slow("echo a | tr a b", buf, 18), buf);
	EXPECT_STREQ(buf, "b\n");
}

TEST_F(Runner, GetCmdResultWaitsForTheWholeOutput)
{
	char buf[64];
	ASSERT_EQ(get_cmd_result("printf ab; sleep 0.2; printf cd", buf, 63), buf);
	EXPECT_STREQ(buf, "abcd");
}

// With the loop's SIGCHLD handler in place, as in the daemon, the command's
// own exit interrupts the wait; the readers wait their whole time anyway.
TEST_F(Runner, ReadersWaitTheirWholeTimeWhenTheChildsExitInterrupts)
{
	using testing_support::monotonic_ms;
	ASSERT_EQ(uloop_init(), 0);
	char buf[16];
	for (int i = 0; i < 5; i++) {
		long long start = monotonic_ms();
		ASSERT_EQ(get_cmd_result("true", buf, 15), buf);
		EXPECT_GE(monotonic_ms() - start, 5) << "run " << i;
	}
	long long start = monotonic_ms();
	ASSERT_EQ(get_cmd_result_slow("true", buf, 15), buf);
	EXPECT_GE(monotonic_ms() - start, 500);
	uloop_done();
}

TEST_F(Runner, KestradRunCmd)
{
	char buf[8];
	memset(buf, 'Z', sizeof(buf));
	EXPECT_EQ(kestrad_run_cmd("", buf, 4), 1);
	EXPECT_EQ(kestrad_run_cmd(nullptr, buf, 4), 1);
	EXPECT_EQ(kestrad_run_cmd("echo x", buf, 0), 1);
	EXPECT_EQ(buf[0], 'Z');

	EXPECT_EQ(kestrad_run_cmd("printf abcd", buf, 4), 0);
	EXPECT_EQ(std::string(buf, 4), "abcd");
	EXPECT_EQ(buf[4], 'Z'); // exactly len bytes: no terminator

	EXPECT_EQ(kestrad_run_cmd("printf ab", buf, 4), 0);
	EXPECT_EQ(std::string(buf, 4), std::string("ab\0\0", 4));
}

// Starts argv in a slot and runs the loop until the slot is free again.
worker *run_to_end(const char **argv, env_list *env, int timeout)
{
	worker *w = worker_get();
	w->argv = argv;
	w->env = env;
	w->timeout = timeout;
	w->proc.cb = task_complete;
	run_cmd(w);
	for (int i = 0; i < 400 && w->in_use; i++)
		uloop_run_timeout(5);
	return w;
}

env_list *new_list()
{
	return static_cast<env_list *>(calloc(1, sizeof(env_list)));
}

TEST_F(Runner, EnvListSplitsAtTheFirstEqualsAndRestoresTheText)
{
	env_list *list = new_list();
	uevent ev = {};
	char plain[] = "novalue";
	EXPECT_EQ(uevent_add_env(list, plain, &ev), 0);
	EXPECT_EQ(list->count, 0);

	char text[] = "KEY=a=b";
	ASSERT_EQ(uevent_add_env(list, text, &ev), 0);
	EXPECT_STREQ(text, "KEY=a=b");
	char empty_name[] = "=v";
	ASSERT_EQ(uevent_add_env(list, empty_name, &ev), 0);
	char subsys[] = "subsys=net";
	ASSERT_EQ(uevent_add_env(list, subsys, &ev), 0);

	ASSERT_EQ(list->count, 3);
	EXPECT_STREQ(list->items[0].name, "KEY");
	EXPECT_STREQ(list->items[0].value, "a=b");
	EXPECT_STREQ(list->items[0].pair, "KEY=a=b");
	EXPECT_STREQ(list->items[1].name, "");
	EXPECT_STREQ(list->items[1].value, "v");
	EXPECT_EQ(ev.subsys, list->items[2].value);
	EXPECT_STREQ(ev.subsys, "net");
	uevent_free(list);
}

TEST_F(Runner, RunCmdPutsTheListIntoTheChildOnly)
{
	char dir[] = "/tmp/kestrad-env-XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	std::string out = std::string(dir) + "/out";
	std::string script = "echo \"$KESTRAD_T1|$KESTRAD_T2\" > " + out;

	ASSERT_EQ(uloop_init(), 0);
	ASSERT_EQ(worker_init(), 0);
	env_list *list = new_list();
	char e1[] = "KESTRAD_T1=one", e2[] = "KESTRAD_T2=t=2";
	uevent_add_env(list, e1, nullptr);
	uevent_add_env(list, e2, nullptr);

	const char *argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
	worker *w = run_to_end(argv, list, 5);
	EXPECT_FALSE(w->in_use);
	EXPECT_EQ(getenv("KESTRAD_T1"), nullptr);

	std::ifstream f(out);
	std::stringstream ss;
	ss << f.rdbuf();
	EXPECT_EQ(ss.str(), "one|t=2\n");

	uevent_free(list);
	worker_done();
	uloop_done();
	unlink(out.c_str());
	rmdir(dir);
}

// The child logs its command line, one call per word, before the exec.
TEST_F(Runner, ChildLogsTheCommandUnderRunCmd)
{
	log_level = LOG_LEVEL_DEBUG;
	log_mode = LOG_MODE_STDERR;
	ASSERT_EQ(uloop_init(), 0);
	ASSERT_EQ(worker_init(), 0);
	const char *argv[] = {"true", "a b", nullptr};
	std::string err = testing_support::capture_stderr([&] { run_to_end(argv, nullptr, 0); });
	EXPECT_NE(err.find("run_cmd("), std::string::npos) << err;
	EXPECT_NE(err.find("):worker cmd: \n"), std::string::npos) << err;
	EXPECT_NE(err.find("): true \n"), std::string::npos) << err;
	EXPECT_NE(err.find("): a b \n"), std::string::npos) << err;
	log_mode = LOG_MODE_SYSLOG;
	worker_done();
	uloop_done();
}

} // namespace

// The daemon reads its mode and model from the real /etc/config at start-up
// (a directory of the test's, in a private mount and network namespace).
#include "support/etc_config.h"
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>

using testing_support::bin_path;
using testing_support::read_file;
using testing_support::spawned;
using testing_support::temp_dir;

namespace {

class ConfigStartup : public ::testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_ROOT();
		mkdir(conf.c_str(), 0755);
	}

	void write(const std::string &name, const std::string &text) { std::ofstream(conf + "/" + name) << text; }

	std::unique_ptr<spawned> start()
	{
		std::string script = testing_support::etc_config_shell(conf, scratch.path()) + " && exec " +
				     bin_path("kestrad") + " -S -g 127.0.0.1";
		return std::make_unique<spawned>(std::vector<std::string>{"unshare", "-n", "-m", "/bin/sh", "-c", script});
	}

	temp_dir scratch;
	std::string conf = scratch.file("conf");
};

bool has_line(const std::string &log, const std::string &pattern)
{
	return std::regex_search(log, std::regex(pattern));
}

TEST_F(ConfigStartup, ModeAndModelAreLogged)
{
	write("marovela", "config core 'common'\n\toption NETMODE 'whc_re'\n");
	write("misc", "config board 'hardware'\n\toption model 'AX3000'\n");
	auto p = start();
	ASSERT_TRUE(p->wait_err("config_get get model:", 3000)) << p->err();
	std::string log = p->err();
	EXPECT_TRUE(has_line(log, R"(config_get_netmode\(\d+\):get NETMODE:whc_re\n\n)")) << log;
	EXPECT_TRUE(has_line(log, R"(config_get_netmode\(\d+\):config_get netmode parse:is_router\[0\],is_wifiap\[0\],is_lanap\[0\],is_whc_re\[1\]\n\n)")) << log;
	EXPECT_TRUE(has_line(log, R"(config_get_model\(\d+\):config_get get model:AX3000\n\n)")) << log;
	// after the worker slots, before the loop
	EXPECT_LT(log.find("wk[19]"), log.find("get NETMODE"));
	p->signal(SIGTERM);
	auto status = p->wait(2000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST_F(ConfigStartup, MissingOrBrokenModePackageIsLoggedAndTheDaemonRuns)
{
	for (bool broken : {false, true}) {
		std::string text = "config core 'common'\n\toption NETMODE \"whc_re\n";
		if (broken)
			write("marovela", text);
		auto p = start();
		ASSERT_TRUE(p->wait_err("get netmode error", 3000)) << p->err();
		std::string log = p->err();
		EXPECT_TRUE(has_line(log, R"(config_get_netmode\(\d+\):Failed to load marovela config\n\n)")) << log;
		EXPECT_TRUE(has_line(log, R"(config_refresh\(\d+\):get netmode error\n\n)")) << log;
		usleep(200000);
		EXPECT_TRUE(testing_support::process_alive(p->pid()));
		if (broken) {
			EXPECT_EQ(read_file(conf + "/marovela"), text);
		}
	}
}

TEST_F(ConfigStartup, MissingModelPackageIsLogged)
{
	write("marovela", "config core 'common'\n\toption NETMODE 'lanapmode'\n");
	auto p = start();
	ASSERT_TRUE(p->wait_err("get model error", 3000)) << p->err();
	std::string log = p->err();
	EXPECT_TRUE(has_line(log, R"(is_router\[0\],is_wifiap\[0\],is_lanap\[1\],is_whc_re\[0\])")) << log;
	EXPECT_TRUE(has_line(log, R"(config_get_model\(\d+\):Failed to load misc config\n\n)")) << log;
	EXPECT_TRUE(has_line(log, R"(config_refresh\(\d+\):get model error\n\n)")) << log;
}

} // namespace

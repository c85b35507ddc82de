// Start-up of the real daemon on the simulated satellite: options, signals,
// and the mode and model read from /etc/config.
#include "support/proc.h"
#include "support/satellite.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <regex>
#include <unistd.h>

using testing_support::satellite;
using testing_support::satellite_options;
using testing_support::has;

namespace {

const std::string usage_tail =
	" [ostions]\n"
	"   -S:\t\tUse stderr instead of syslog for log messages\n"
	"   -d:\t\tEnable deamon modleaaaa\n";

class Startup : public ::testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_ROOT();
		satellite_options opts;
		opts.start_kestrad = false;
		sat = std::make_unique<satellite>(opts);
		ASSERT_TRUE(sat->up());
	}

	// Runs kestrad in the satellite with these arguments; after `ms` it is
	// sent `signo` (0: none). Its stderr and its wait status as the shell
	// shows it.
	testing_support::run_result kestrad(const std::string &args, int signo = 0, double seconds = 0.4)
	{
		std::string script = "kestrad " + args + " 2>" + sat->dir() + "/err & pid=$!; ";
		if (signo)
			script += "sleep " + std::to_string(seconds) + "; kill -" + std::to_string(signo) + " $pid; ";
		script += "wait $pid; echo $?";
		auto r = sat->exec({"sh", "-c", script});
		r.err = testing_support::read_file(sat->dir() + "/err");
		r.status = r.out.empty() ? -1 : std::stoi(r.out);
		return r;
	}

	std::unique_ptr<satellite> sat;
};

TEST_F(Startup, UnknownOptionPrintsTheUsageAndExits1)
{
	auto r = kestrad("-S -x");
	EXPECT_EQ(r.status, 1);
	EXPECT_TRUE(has(r.err, "\nkestrad: unrecognized option: x\n")) << r.err;
	EXPECT_NE(r.err.find("Usage: kestrad" + usage_tail), std::string::npos) << r.err;
	EXPECT_TRUE(has(r.err, R"(main\(\d+\):get ch:\? :63\n)")) << r.err;

	r = kestrad("-g");
	EXPECT_EQ(r.status, 1);
	EXPECT_TRUE(has(r.err, "(^|\n)kestrad: option requires an argument: g\n")) << r.err;
	EXPECT_NE(r.err.find(usage_tail), std::string::npos);
}

TEST_F(Startup, BadGatewayAddressGivesTwoErrorLinesAndExits1)
{
	auto r = kestrad("-S -g 999.1.1.1");
	EXPECT_EQ(r.status, 1);
	EXPECT_TRUE(has(r.err, R"(test_set_vimbd_ip\(\d+\):ip format error \n\nmain\(\d+\):set gw ip error\n\n$)")) << r.err;
	r = kestrad("-g 999.1.1.1 -S"); // to syslog, and -S is never reached
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(kestrad("-S -g 192.0.2.1 -g 1.2.3.4.5").status, 1);
	EXPECT_EQ(kestrad("-S -g '192.0.2.1 x'").status, 1); // glibc's inet_aton alone takes it

}

TEST_F(Startup, SignalsEndTheDaemonWithStatusZero)
{
	for (int signo : {15, 2, 10}) {
		auto r = kestrad("-S -d", signo);
		EXPECT_EQ(r.status, 0) << signo;
		EXPECT_TRUE(has(r.err, R"(deamon_mode\(\d+\):set to deamon mode\n)")) << r.err;
		EXPECT_TRUE(has(r.err, R"(marovela_signal_handler\(\d+\):got signal\()" + std::to_string(signo) + R"(\)\n$)"))
			<< r.err;
	}
	// around the first connection attempt (route -n, connect, publish)
	auto r = kestrad("-S", 15, 1.0);
	EXPECT_EQ(r.status, 0);
	EXPECT_TRUE(has(r.err, R"(got signal\(15\)\n$)"));
}

TEST_F(Startup, SighupKeepsItsDefaultAction)
{
	auto r = kestrad("-S", 1);
	EXPECT_EQ(r.status, 128 + 1);
	EXPECT_EQ(r.err.find("got signal"), std::string::npos);
}

TEST_F(Startup, ParsingStopsAtTheFirstPlainWord)
{
	auto r = kestrad("word -S", 15);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, ""); // -S never applied: all went to syslog
}

TEST_F(Startup, ModeAndModelAreLoggedAfterTheWorkerSlots)
{
	auto r = kestrad("-S", 15);
	EXPECT_TRUE(has(r.err, R"(worker_init\(\d+\):wk\[0\]: [0-9a-f]{8}\n)"));
	EXPECT_TRUE(has(r.err, R"(config_get_netmode\(\d+\):get NETMODE:whc_re\n\n)")) << r.err;
	EXPECT_TRUE(has(r.err, R"(config_get_netmode\(\d+\):config_get netmode parse:is_router\[0\],is_wifiap\[0\],is_lanap\[0\],is_whc_re\[1\]\n\n)"));
	EXPECT_TRUE(has(r.err, R"(config_get_model\(\d+\):config_get get model:KX3000\n\n)"));
	EXPECT_LT(r.err.find("wk[19]"), r.err.find("get NETMODE"));
	EXPECT_LT(r.err.find("get model"), r.err.find("set vimb connect timer"));
}

TEST_F(Startup, UnreadableModePackageIsLoggedAndTheLanApObjectPublished)
{
	for (const char *text : {"", "config core 'common'\n\toption NETMODE \"whc_re\n"}) {
		if (*text)
			sat->set_config("marovela", text);
		else
			unlink((sat->dir() + "/config/marovela").c_str());
		auto r = kestrad("-S", 15, 1.5);
		EXPECT_EQ(r.status, 0);
		EXPECT_TRUE(has(r.err, R"(config_get_netmode\(\d+\):Failed to load marovela config\n\n)")) << r.err;
		EXPECT_TRUE(has(r.err, R"(config_refresh\(\d+\):get netmode error\n\n)"));
		EXPECT_EQ(r.err.find("misc"), std::string::npos); // the model is not read
		EXPECT_TRUE(has(r.err, "successful to publish object '192.0.2.2-@kestrad'")) << r.err;
		if (*text) {
			EXPECT_EQ(sat->config("marovela"), text); // never rewritten
		}
	}
	// the LAN-AP object: slot 2 "test" is there
	sat->svc("start", "kestrad");
	ASSERT_FALSE(sat->object().empty());
	EXPECT_NE(sat->vimb({"-v", "list"}).out.find("\"test\""), std::string::npos);
}

TEST_F(Startup, MissingModelPackageIsLogged)
{
	unlink((sat->dir() + "/config/misc").c_str());
	auto r = kestrad("-S", 15);
	EXPECT_TRUE(has(r.err, R"(config_get_model\(\d+\):Failed to load misc config\n\n)")) << r.err;
	EXPECT_TRUE(has(r.err, R"(config_refresh\(\d+\):get model error\n\n)"));
}

} // namespace

// Reading single options, the device mode and the model, through the real
// functions and the real /etc/config path (a private one per test).
#include "config/device.h"
#include "config/uci_helpers.h"
#include "core/log.h"

#include "support/capture.h"
#include "support/etc_config.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/stat.h>

using namespace testing_support;

namespace {

using Config = testing_support::etc_config_test;

// Everything the function logs, with the sink on stderr.
template <typename F>
std::string logged(F fn)
{
	log_mode = LOG_MODE_STDERR;
	return testing_support::capture_stderr(fn);
}

TEST_F(Config, GetOptionCutsZeroFillsAndMatchesSectionsByName)
{
	write("account", "config common 'common'\n\toption admin '" + std::string(100, 'p') + "'\n"
			 "\toption short 'abc'\n\tlist l 'x'\n"
			 "config info 'other'\n\toption v '1'\n");
	run([] {
		char buf[64];
		memset(buf, 'Z', sizeof(buf));
		ASSERT_EQ(uci_get_option("account", "common", "admin", buf, 64), buf);
		EXPECT_EQ(std::string(buf), std::string(63, 'p'));

		memset(buf, 'Z', sizeof(buf));
		ASSERT_EQ(uci_get_option("account", "common", "short", buf, 64), buf);
		for (int i = 3; i < 64; i++)
			EXPECT_EQ(buf[i], 0) << i;

		// a section whose type is the name asked for is not matched
		memset(buf, 'Z', sizeof(buf));
		EXPECT_EQ(uci_get_option("account", "info", "v", buf, 64), buf);
		EXPECT_EQ(buf[0], 'Z');

		std::string out = logged([&] { EXPECT_EQ(uci_get_option("account", "common", "l", buf, 64), nullptr); });
		EXPECT_EQ(out.substr(out.find(':') + 1), " uci no find opt l account.common\n\n");
		out = logged([&] { EXPECT_EQ(uci_get_option("nothing", "common", "admin", buf, 64), nullptr); });
		EXPECT_NE(out.find("uci_get_option("), std::string::npos);
		EXPECT_NE(out.find("):uci_load nothing failed!\n"), std::string::npos);
		out = logged([&] { uci_get_option("account", "common", "short", buf, 64); });
		EXPECT_NE(out.find(": get uci option account.common.short = abc\n"), std::string::npos);
		EXPECT_EQ(uci_get_option("account", "common", "short", buf, 0), nullptr);
		EXPECT_EQ(uci_ctx, nullptr); // the globals are not touched
	});
}

struct mode_case {
	const char *file;
	device_config expected;
};

TEST_F(Config, NetmodeTable)
{
	const std::vector<mode_case> cases = {
		{"config core 'common'\n\toption NETMODE 'wifiapmode'\n", {0, 1, 0, 0, {}}},
		{"config core 'common'\n\toption NETMODE 'lanapmode'\n", {0, 0, 0, 1, {}}},
		{"config core 'common'\n\toption NETMODE 'whc_re'\n", {0, 0, 1, 0, {}}},
		{"config core 'common'\n\toption NETMODE 'WifiAPMode'\n", {1, 0, 0, 0, {}}},
		{"config core 'common'\n\toption NETMODE 'router'\n", {1, 0, 0, 0, {}}},
		{"config core 'common'\n\tlist NETMODE 'whc_re'\n", {1, 0, 0, 0, {}}},
		{"config core 'common'\n", {1, 0, 0, 0, {}}},
		{"config other 'common'\n\toption NETMODE 'whc_re'\n", {1, 0, 0, 0, {}}},
		{"config core 'x'\n\toption NETMODE 'whc_re'\nconfig core 'common'\n\toption NETMODE 'lanapmode'\n", {0, 0, 0, 1, {}}},
	};
	for (const auto &c : cases) {
		write("marovela", c.file);
		run([&] {
			cfg = {};
			EXPECT_EQ(config_get_netmode(), 0) << c.file;
			EXPECT_EQ(cfg.is_router, c.expected.is_router) << c.file;
			EXPECT_EQ(cfg.is_wifiap, c.expected.is_wifiap) << c.file;
			EXPECT_EQ(cfg.is_whc_re, c.expected.is_whc_re) << c.file;
			EXPECT_EQ(cfg.is_lanap, c.expected.is_lanap) << c.file;
			EXPECT_EQ(uci_ctx, nullptr);
			EXPECT_EQ(uci_package, nullptr);
		});
	}
	write("marovela", "config core 'common'\n");
	run([] {
		std::string out = logged([] { config_get_netmode(); });
		EXPECT_NE(out.find("):config_get netmode parse:is_router[1],is_wifiap[0],is_lanap[0],is_whc_re[0]\n\n"),
			  std::string::npos) << out;
	});
}

TEST_F(Config, UnreadableModePackageLeavesTheFlagsAlone)
{
	run([] {
		cfg = {};
		std::string out = logged([] { EXPECT_EQ(config_refresh(), -1); });
		EXPECT_EQ(cfg.is_router + cfg.is_wifiap + cfg.is_whc_re + cfg.is_lanap, 0);
		EXPECT_NE(out.find("config_get_netmode("), std::string::npos);
		EXPECT_NE(out.find("):Failed to load marovela config\n"), std::string::npos);
		EXPECT_NE(out.find("config_refresh("), std::string::npos);
		EXPECT_NE(out.find("):get netmode error\n"), std::string::npos);
		EXPECT_EQ(out.find("misc"), std::string::npos); // the model is not read
	});

	// a file with a syntax error takes the same path and is not rewritten
	std::string broken = "config core 'common'\n\toption NETMODE 'whc_re\n";
	write("marovela", broken);
	struct stat before;
	stat((conf + "/marovela").c_str(), &before);
	run([] {
		cfg = {};
		EXPECT_EQ(config_get_netmode(), 1);
		EXPECT_EQ(cfg.is_router, 0);
	});
	EXPECT_EQ(read_file(conf + "/marovela"), broken);
	struct stat after;
	stat((conf + "/marovela").c_str(), &after);
	EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

TEST_F(Config, ModelIsCopiedZeroFilledAndCut)
{
	write("marovela", "config core 'common'\n");
	write("misc", "config anything 'hardware'\n\toption model 'AX30'\n");
	run([] {
		memset(&cfg, 0x55, sizeof(cfg));
		EXPECT_EQ(config_refresh(), 0);
		EXPECT_EQ(std::string(cfg.model, 4), "AX30");
		for (int i = 4; i < MODEL_SIZE; i++)
			EXPECT_EQ(cfg.model[i], 0);
	});
	write("misc", "config hardware 'hw'\n\toption model 'AX30'\n");
	run([] {
		cfg = {};
		EXPECT_EQ(config_get_model(), 0);
		EXPECT_STREQ(cfg.model, "");
	});
	write("misc", "config x 'hardware'\n\toption model '0123456789abcdefXYZ'\n");
	run([] {
		cfg = {};
		std::string out = logged([] { EXPECT_EQ(config_get_model(), 0); });
		EXPECT_STREQ(cfg.model, "0123456789abcde");
		EXPECT_NE(out.find("):config_get get model:0123456789abcdefXYZ\n"), std::string::npos);
	});
	unlink((conf + "/misc").c_str());
	run([] {
		std::string out = logged([] { EXPECT_EQ(config_refresh(), -1); });
		EXPECT_NE(out.find("):Failed to load misc config\n"), std::string::npos);
		EXPECT_NE(out.find("):get model error\n"), std::string::npos);
	});
}

TEST_F(Config, InitPackageFreesTheOpenOne)
{
	write("marovela", "config core 'common'\n");
	write("misc", "config x 'hardware'\n");
	run([] {
		uci_package = config_init_package("marovela");
		ASSERT_NE(uci_package, nullptr);
		struct uci_context *first = uci_ctx;
		uci_package = config_init_package("misc");
		ASSERT_NE(uci_package, nullptr);
		EXPECT_STREQ(uci_package->e.name, "misc");
		EXPECT_NE(uci_ctx, nullptr);
		(void)first;
		EXPECT_EQ(config_init_package("nothing"), nullptr);
		EXPECT_EQ(uci_ctx, nullptr);
		config_free();
		config_free(); // harmless with nothing open
	});
}

} // namespace

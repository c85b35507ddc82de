// The handler of access called in-process on a real bus context: its
// replies, what it stores and the reload it starts. Each case runs in a
// forked child with private /etc/config, /run and /usr/bin/timeout (a
// stand-in that records its arguments and hangs while /run/hang exists).
#include "support/etc_config.h"
#include "support/handler_harness.h"
#include "support/proc.h"
#include "support/spawn.h"

#include "access/access.h"
#include "config/device.h"
#include "worker/worker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const std::string M1 = "02:00:00:00:00:01", M2 = "02:00:00:00:00:02";
const reply success = returned("success");
const reply uci_error = returned("fail, uci error");

const std::string wireless = "\nconfig wifi-iface 'lan_2g'\n\toption ifname 'wl01'\n\toption network 'lan'\n"
			     "\toption mode 'ap'\n\toption macfilter 'allow'\n\tlist maclist '" + M1 + "'\n\n";
const std::string devicelist = "\nconfig settings 'settings'\n\toption level '0'\n\toption auth '0'\n\n";

class AccessHandler : public handler_files_test {
protected:
	void SetUp() override
	{
		handler_files_test::SetUp();
		add_files({{"wireless", wireless}, {"devicelist", devicelist}});
	}
};

TEST_F(AccessHandler, WithoutPolicyOrListNothingIsStoredAndNothingAnswered)
{
	in_private([](handler_harness &h) {
		std::vector<std::unique_ptr<request>> reqs;
		auto add = [&] { return reqs.emplace_back(std::make_unique<request>()).get(); };
		add()->str("list", M2).u32("level", 5).u32("auth", 5);
		add()->u32("policy", 1).u32("level", 5).u32("auth", 5);
		add()->str("policy", "1").str("list", M2).u32("level", 5);
		add()->u32("policy", 1).u32("list", 7).u32("auth", 5);
		add();
		const uint8_t junk[] = {0xff, 0x00, 0x00, 0x03, 'x'};
		add()->raw(junk, sizeof(junk));
		for (auto &r : reqs) {
			auto res = h.call(kestrad_handle_macList_desc, *r, "access");
			EXPECT_EQ(res.status, 0);
			EXPECT_TRUE(res.replies.empty());
		}
		EXPECT_EQ(read_file("/etc/config/devicelist"), devicelist);
		EXPECT_EQ(read_file("/etc/config/wireless"), wireless);
		EXPECT_EQ(busy_slots(), 0);
	});
}

TEST_F(AccessHandler, UnchangedStoresLevelAndAuthAndStartsNothing)
{
	in_private([](handler_harness &h) {
		request req;
		req.u32("policy", 1).str("list", M1).u32("level", static_cast<uint32_t>(-7)).u32("auth", 3);
		auto res = h.call(kestrad_handle_macList_desc, req, "access");
		ASSERT_EQ(res.replies.size(), 1u);
		EXPECT_EQ(res.replies[0], success);
		EXPECT_EQ(busy_slots(), 0);
		EXPECT_EQ(read_file("/etc/config/wireless"), wireless);
		EXPECT_EQ(read_file("/etc/config/devicelist"),
			  "\nconfig settings 'settings'\n\toption level '-7'\n\toption auth '3'\n\n");

		// level alone; without wireless it is stored all the same, and the
		// reply says that nothing could be compared
		unlink("/etc/config/wireless");
		request level;
		level.u32("policy", 2).str("list", M2).u32("level", 1);
		EXPECT_EQ(h.call(kestrad_handle_macList_desc, level, "access").replies, std::vector<reply>{uci_error});
		EXPECT_EQ(read_file("/etc/config/devicelist"),
			  "\nconfig settings 'settings'\n\toption level '1'\n\toption auth '3'\n\n");
		EXPECT_EQ(busy_slots(), 0);
	});
}

TEST_F(AccessHandler, ChangedRewritesAndStartsTheReloadOfTheModel)
{
	for (const auto &[model, script] : std::vector<std::pair<std::string, std::string>>{
		     {"K7X", "/sbin/kestrad_maclist_reload.sh"}, {"KX3000", "/sbin/wifi"}, {"", "/sbin/wifi"},
		     {"K7", "/sbin/wifi"}, {std::string("K7X\0zz", 6), "/sbin/kestrad_maclist_reload.sh"}}) {
		write_file(conf + "/wireless", wireless);
		in_private([&](handler_harness &h) {
			memset(cfg.model, 0, sizeof(cfg.model));
			memcpy(cfg.model, model.data(), model.size());
			request req;
			req.u32("policy", 2).str("list", M1 + ";" + M2);
			EXPECT_EQ(h.call(kestrad_handle_macList_desc, req, "access").replies, std::vector<reply>{success});
			EXPECT_EQ(read_file("/etc/config/wireless"),
				  "\nconfig wifi-iface 'lan_2g'\n\toption ifname 'wl01'\n\toption network 'lan'\n"
				  "\toption mode 'ap'\n\toption macfilter 'deny'\n\tlist maclist '" + M1 + "'\n"
				  "\tlist maclist '" + M2 + "'\n\n");
			ASSERT_EQ(busy_slots(), 1);
			EXPECT_EQ(wk[0].timeout, 50);
			EXPECT_EQ(wk[0].proc.cb, task_complete);
			std::string argv_file = "/run/timeout.argv." + std::to_string(wk[0].proc.pid);
			ASSERT_TRUE(wait_until([&] { return !read_file(argv_file).empty(); }, 5000));
			EXPECT_EQ(nul_split(read_file(argv_file)),
				  (std::vector<std::string>{"-t", "40", "-s", "9", "/bin/sh", script}))
				<< model;
			EXPECT_TRUE(h.run_until([] { return busy_slots() == 0; }, 5000));
		});
	}
}

// With no slot for the reload nothing is written, so that the retry still
// finds the change to make.
TEST_F(AccessHandler, AllSlotsBusyWritesNothingAndSaysSo)
{
	in_private([](handler_harness &h) {
		write_file("/run/hang", "");
		for (int i = 0; i < WORKER_COUNT; i++) {
			request req;
			req.u32("policy", 1).str("list", i % 2 ? M1 : M2);
			ASSERT_EQ(h.call(kestrad_handle_macList_desc, req).replies, std::vector<reply>{success}) << i;
		}
		request req;
		req.u32("policy", 0).str("list", M1 + ";" + M2);
		EXPECT_EQ(h.call(kestrad_handle_macList_desc, req).replies,
			  std::vector<reply>{returned(" fail, sync work active!")});
		EXPECT_EQ(read_file("/etc/config/wireless"),
			  "\nconfig wifi-iface 'lan_2g'\n\toption ifname 'wl01'\n\toption network 'lan'\n"
			  "\toption mode 'ap'\n\toption macfilter 'allow'\n\tlist maclist '" + M1 + "'\n\n");
		unlink("/run/hang");
		EXPECT_TRUE(h.run_until([] { return busy_slots() == 0; }, 10000));
	});
}

} // namespace

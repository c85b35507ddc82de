// The RE handlers whc_sync and whc_quire called in-process on a real bus
// context: their replies, the worker slot whc_sync starts and the settings
// file it leaves. Each case runs in a forked child with private /etc/config,
// /run and /usr/bin/timeout (a stand-in that records its arguments and hangs
// while /run/hang exists), so the host is never touched.
#include "support/etc_config.h"
#include "support/handler_harness.h"
#include "support/proc.h"
#include "support/spawn.h"

#include "bus/test_method.h"
#include "methods/whc_quire.h"
#include "methods/whc_sync.h"
#include "worker/worker.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

reply strings(std::initializer_list<std::pair<const char *, const char *>> fields)
{
	reply r;
	for (auto &[name, value] : fields)
		r.push_back({name, BLOBMSG_TYPE_STRING, value});
	return r;
}

int open_fds()
{
	int n = 0;
	if (DIR *d = opendir("/proc/self/fd")) {
		while (readdir(d))
			n++;
		closedir(d);
	}
	return n;
}

class WhcHandlers : public handler_files_test {
protected:
	void SetUp() override
	{
		handler_files_test::SetUp();
		add_files({{"marovela", "config core 'common'\n\toption NETMODE 'whc_re'\n"
					"\toption ROUTER_LOCALE 'DE'\n\toption INITTED 'YES'\n"},
			   {"messaging", "config deviceInfo 'deviceInfo'\n\toption DEVICE_ID 'SAT-9'\n"},
			   {"account", "config common 'common'\n\toption admin 'old'\n"},
			   {"bind", "config info 'info'\n\toption remoteID 'none'\n"}},
			  {{"readmac", "#!/bin/sh\nprintf '02:00:00:00:aa:bb\\n'\n"},
			   {"bhstat", "#!/bin/sh\nexit 17\n"},
			   // wl01 has no hardware address
			   {"ifconfig", "#!/bin/sh\n[ \"$1\" = wl11 ] && echo 'wl11  Link encap:Ethernet  HWaddr 02:00:00:00:11:11'\n"
					"exit 0\n"}});
	}
};

TEST(HandlerHarness, ReadsBackEveryReplyWithItsFieldsInOrder)
{
	handler_harness h;
	ASSERT_TRUE(h.ok());
	request req;
	req.str("hello", "abc");
	auto res = h.call(kestrad_handle_test, req, "test");
	EXPECT_EQ(res.status, 0);
	ASSERT_EQ(res.replies.size(), 2u);
	EXPECT_EQ(res.replies[0], strings({{"return", "success"}}));
	EXPECT_EQ(res.replies[1], strings({{"return", "success"}, {"return", "abc"}}));

	request none;
	EXPECT_TRUE(h.call(kestrad_handle_test, none, "test").replies.empty());
}

TEST_F(WhcHandlers, SyncWritesTheFileAndStartsItsScriptUnderFiftySeconds)
{
	in_private([](handler_harness &h) {
		request req;
		req.str("led_blue", "1").str("ssid", "Home").u32("pswd", 5).str("flt_list", std::string(300, 'f'));
		auto res = h.call(kestrad_handle_whc_sync, req, "whc_sync");
		EXPECT_EQ(res.status, 0);
		ASSERT_EQ(res.replies.size(), 1u);
		EXPECT_EQ(res.replies[0], strings({{"return", "success"}}));
		EXPECT_EQ(read_file(WHC_SYNC_SETTINGS_PATH),
			  "ssid:=Home\nflt_list:=" + std::string(300, 'f') + "\nled_blue:=1\n");

		ASSERT_EQ(busy_slots(), 1);
		worker &slot = wk[0];
		EXPECT_EQ(slot.timeout, 50);
		EXPECT_TRUE(slot.timer.pending);
		int left = uloop_timeout_remaining(&slot.timer);
		EXPECT_LE(left, 50000);
		EXPECT_GE(left, 45000); // a loaded machine may take a while to get here

		std::string argv_file = "/run/timeout.argv." + std::to_string(slot.proc.pid);
		ASSERT_TRUE(wait_until([&] { return !read_file(argv_file).empty(); }, 5000));
		EXPECT_EQ(nul_split(read_file(argv_file)),
			  (std::vector<std::string>{"-t", "40", "-s", "9", "/bin/sh", "/sbin/kestrad_whc_sync.sh"}));
		EXPECT_TRUE(h.run_until([] { return busy_slots() == 0; }, 5000)); // reaped, slot free
	});
}

TEST_F(WhcHandlers, SyncWithAllSlotsBusyStillRewritesTheFileAndTheNextFreeSlotServes)
{
	in_private([](handler_harness &h) {
		write_file("/run/hang", "");
		for (int i = 0; i < WORKER_COUNT; i++) {
			request req;
			req.str("ssid", "n" + std::to_string(i));
			ASSERT_EQ(h.call(kestrad_handle_whc_sync, req).replies.at(0), strings({{"return", "success"}}));
		}
		request req;
		req.str("ssid", "busy");
		EXPECT_EQ(h.call(kestrad_handle_whc_sync, req).replies.at(0),
			  strings({{"return", " fail, sync work active!"}}));
		EXPECT_EQ(read_file(WHC_SYNC_SETTINGS_PATH), "ssid:=busy\n");

		kill(wk[7].proc.pid, SIGKILL);
		ASSERT_TRUE(h.run_until([] { return !wk[7].in_use; }, 5000));
		EXPECT_EQ(busy_slots(), WORKER_COUNT - 1);
		request again;
		again.str("ssid", "again");
		EXPECT_EQ(h.call(kestrad_handle_whc_sync, again).replies.at(0), strings({{"return", "success"}}));
		EXPECT_TRUE(wk[7].in_use);
		EXPECT_EQ(read_file(WHC_SYNC_SETTINGS_PATH), "ssid:=again\n");
		unlink("/run/hang");
		EXPECT_TRUE(h.run_until([] { return busy_slots() == 0; }, 10000));
	});
}

TEST_F(WhcHandlers, SyncFailuresLeaveTheEarlierFileWholeAndStartNothing)
{
	in_private([](handler_harness &h) {
		request first;
		first.str("ssid", "kept");
		ASSERT_EQ(h.call(kestrad_handle_whc_sync, first).replies.at(0), strings({{"return", "success"}}));
		ASSERT_TRUE(h.run_until([] { return busy_slots() == 0; }, 5000));

		const uint8_t bad[] = {0x83, 0x00, 0x00, 0x08, 0x00, 0x01, 'x', 0x00}; // a string without a value
		request malformed;
		malformed.raw(bad, sizeof(bad));
		EXPECT_EQ(h.call(kestrad_handle_whc_sync, malformed).replies.at(0),
			  strings({{"return", "fail, parse error"}}));

		ASSERT_EQ(mount(nullptr, "/run", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
		request second;
		second.str("ssid", "lost");
		EXPECT_EQ(h.call(kestrad_handle_whc_sync, second).replies.at(0),
			  strings({{"return", "fail, fopen error"}}));
		EXPECT_EQ(busy_slots(), 0);
		EXPECT_EQ(read_file(WHC_SYNC_SETTINGS_PATH), "ssid:=kept\n");
		ASSERT_EQ(mount(nullptr, "/run", nullptr, MS_REMOUNT, "size=16k"), 0);
		request too_big; // fills /run up: the write fails, not the open
		too_big.str("flt_list", std::string(64 * 1024, 'x'));
		EXPECT_EQ(h.call(kestrad_handle_whc_sync, too_big).replies.at(0),
			  strings({{"return", "fail, fopen error"}}));
		EXPECT_EQ(read_file(WHC_SYNC_SETTINGS_PATH), "ssid:=kept\n");
		struct stat st;
		EXPECT_NE(stat(WHC_SYNC_SETTINGS_TEMP, &st), 0);
		EXPECT_EQ(busy_slots(), 0);
		ASSERT_EQ(mount(nullptr, "/run", nullptr, MS_REMOUNT, "size=1m"), 0);

		// what a killed daemon left behind goes with the next request
		write_file(WHC_SYNC_SETTINGS_TEMP, "half a fi");
		request empty;
		EXPECT_EQ(h.call(kestrad_handle_whc_sync, empty).replies.at(0), strings({{"return", "success"}}));
		EXPECT_EQ(read_file(WHC_SYNC_SETTINGS_PATH), "");
		EXPECT_NE(stat(WHC_SYNC_SETTINGS_TEMP, &st), 0);
		EXPECT_EQ(stat(WHC_SYNC_SETTINGS_PATH, &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0600u); // the passphrases: root's alone
		EXPECT_TRUE(h.run_until([] { return busy_slots() == 0; }, 5000));
	});
}

TEST_F(WhcHandlers, QuireRepliesInOrderWithoutTakingASlotAndHoldsNothingAfterwards)
{
	in_private([](handler_harness &h) {
		request req;
		req.str("cap_devid", "CAP-1").str("webpasswd", "old");
		auto res = h.call(kestrad_handle_whc_quire, req, "whc_quire");
		EXPECT_EQ(res.status, 0);
		ASSERT_EQ(res.replies.size(), 1u);
		const reply &r = res.replies[0];
		std::vector<std::string> names;
		for (auto &f : r)
			names.push_back(f.name);
		EXPECT_EQ(names, (std::vector<std::string>{"wanmac", "g2stamac", "g5stamac", "backhauls", "backhauls_qa",
							   "locale", "devid", "initted", "return"}));
		EXPECT_EQ(r[0].value, "02:00:00:00:aa:bb");
		EXPECT_EQ(r[1].value, "02:00:00:00:11:11");
		EXPECT_EQ(r[2].value, ""); // the pipe opened, so the field is there
		EXPECT_EQ(r[3].value, "1");
		EXPECT_EQ(r[4].value, "1");
		EXPECT_EQ(r[5].value, "DE");
		EXPECT_EQ(r[6].value, "SAT-9");
		EXPECT_EQ(r[7].value, "1");
		EXPECT_EQ(r[8].value, "success");
		EXPECT_EQ(busy_slots(), 0);
		EXPECT_NE(read_file("/etc/config/bind").find("option remoteID 'CAP-1'"), std::string::npos);

		int fds = open_fds();
		for (int i = 0; i < 10; i++)
			ASSERT_EQ(h.call(kestrad_handle_whc_quire, req).replies.at(0).back().value, "success");
		EXPECT_EQ(open_fds(), fds);

		const uint8_t bad[] = {0x83, 0x00, 0x00, 0x08, 0x00, 0x01, 'x', 0x00};
		request malformed;
		malformed.raw(bad, sizeof(bad));
		EXPECT_EQ(h.call(kestrad_handle_whc_quire, malformed).replies.at(0),
			  strings({{"return", "fail, parse error"}}));
	});
}

} // namespace

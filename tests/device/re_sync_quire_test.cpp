// whc_sync and whc_quire on a simulated range extender: the replies as the
// gateway's client prints them, the settings file's bytes, the commands the
// stand-ins saw, and what reaches the UCI store.
#include "support/proc.h"
#include "support/satellite.h"
#include "support/method_calls.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/stat.h>

using json = nlohmann::ordered_json;
using namespace testing_support;

namespace {

const std::string settings = "/var/run/kestrad_whc_sync";

std::string answer(std::initializer_list<std::pair<std::string, std::string>> fields)
{
	std::string out = "{\n";
	bool first = true;
	for (auto &[name, value] : fields) {
		out += std::string(first ? "" : ",\n") + "\t" + json(name).dump() + ": " + json(value).dump();
		first = false;
	}
	return out + "\n}\n";
}

class ReSyncQuire : public ::testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_ROOT();
		sat = std::make_unique<satellite>();
		ASSERT_TRUE(sat->up());
		obj = sat->object(30000);
		ASSERT_EQ(obj, "192.0.2.2-@kestrad") << sat->log();
	}

	run_result call(const std::string &method, const json &args) const
	{
		return sat->vimb({"call", obj, method, args.dump()});
	}
	std::string settings_file() const { return sat->exec({"cat", settings}).out; }

	// Stand-ins of the sync script that have started so far.
	size_t scripts_started() const { return sat->calls(whc_sync_script_name).size(); }

	// The reply's one-character backhaul fields for an exit status of bhstat.
	std::pair<std::string, std::string> backhauls_for(int status) const
	{
		sat->behave("bhstat", "status=" + std::to_string(status));
		json reply = json::parse(call("whc_quire", json::object()).out);
		return {reply.value("backhauls", "-"), reply.value("backhauls_qa", "-")};
	}

	std::unique_ptr<satellite> sat;
	std::string obj;
};

// Values that a shell would take apart, and one that would end a line.
const std::string awkward = "a b 'q' \"d\"; $(touch /tmp/pwned) `id` x:=y";

TEST_F(ReSyncQuire, SyncWritesEveryFieldInPolicyOrderUnchangedAndStartsTheScript)
{
	const std::string long_list(300, 'm');
	// every field, in the reverse of the policy's order; "hidden" as a number
	json args = json::object();
	for (const char *name : {"led_blue", "ota_time", "ota_auto", "timezone", "flt_list", "flt_policy", "gst_mgmt",
				 "gst_pswd", "gst_ssid", "gst_disab", "txbf", "bw_5g", "bw_2g", "ch_5g", "ch_2g"})
		args[name] = std::string("v_") + name;
	args["hidden"] = 1;
	args["txpwr_5g"] = "";
	args["txpwr_2g"] = "two\nlines";
	args["mgmt"] = awkward;
	args["pswd"] = "p:=w";
	args["ssid"] = "Home net";
	args["flt_list"] = long_list;

	auto r = call("whc_sync", args);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, answer({{"return", "success"}}));
	EXPECT_EQ(settings_file(), "ssid:=Home net\n"
				   "pswd:=p:=w\n"
				   "mgmt:=" + awkward + "\n"
				   "txpwr_2g:=two\nlines\n"
				   "txpwr_5g:=\n"
				   "ch_2g:=v_ch_2g\nch_5g:=v_ch_5g\nbw_2g:=v_bw_2g\nbw_5g:=v_bw_5g\ntxbf:=v_txbf\n"
				   "gst_disab:=v_gst_disab\ngst_ssid:=v_gst_ssid\ngst_pswd:=v_gst_pswd\n"
				   "gst_mgmt:=v_gst_mgmt\nflt_policy:=v_flt_policy\n"
				   "flt_list:=" + long_list + "\n"
				   "timezone:=v_timezone\nota_auto:=v_ota_auto\nota_time:=v_ota_time\nled_blue:=v_led_blue\n");
	EXPECT_NE(sat->exec({"test", "-e", "/tmp/pwned"}).status, 0); // nothing went through a shell

	ASSERT_TRUE(wait_until([&] { return scripts_started() == 1; }, 5000));
	EXPECT_EQ(sat->calls(whc_sync_script_name)[0].argv, std::vector<std::string>{whc_sync_script});
	std::string log = sat->log();
	EXPECT_TRUE(has(log, R"(kestrad_handle_whc_sync\(\d+\):notice_vimb_whc_sync func:kestrad_handle_whc_sync\n)"));
	EXPECT_EQ(count(log, "  key \"hidden\" parse failed ! \n"), 1u);
	EXPECT_EQ(count(log, "parse failed ! \n"), 1u);
	EXPECT_NE(log.find(" item flt_list:=" + long_list + "\n \n"), std::string::npos);
	// the time-limit tool's form: 40 s, then signal 9
	EXPECT_NE(log.find(":worker cmd: \n"), std::string::npos);
	EXPECT_TRUE(has(log, R"(run_cmd\(\d+\): /usr/bin/timeout \nrun_cmd\(\d+\): -t \nrun_cmd\(\d+\): 40 \n)"
			     R"(run_cmd\(\d+\): -s \nrun_cmd\(\d+\): 9 \nrun_cmd\(\d+\): /bin/sh \n)"
			     R"(run_cmd\(\d+\): )" + std::string(whc_sync_script) + R"( \nrun_cmd\(\d+\):\n)")) << log;
}

TEST_F(ReSyncQuire, SyncWithoutFieldsEmptiesTheFileAndStillStartsTheScript)
{
	ASSERT_EQ(call("whc_sync", {{"ssid", "first"}}).out, answer({{"return", "success"}}));
	ASSERT_EQ(settings_file(), "ssid:=first\n");
	auto r = sat->vimb({"call", obj, "whc_sync"});
	EXPECT_EQ(r.out, answer({{"return", "success"}}));
	EXPECT_EQ(settings_file(), "");
	EXPECT_EQ(sat->exec({"stat", "-c", "%s %a", settings}).out, "0 600\n");
	EXPECT_TRUE(wait_until([&] { return scripts_started() == 2; }, 5000));
	EXPECT_EQ(count(sat->log(), "parse failed ! \n"), 20u + 21u);
}

TEST_F(ReSyncQuire, SyncWithEverySlotBusyRewritesTheFileAndTheNextFreeSlotServes)
{
	sat->behave(whc_sync_script_name, "delay=120");
	for (int i = 0; i < 20; i++)
		ASSERT_EQ(call("whc_sync", {{"ssid", "n" + std::to_string(i)}}).out, answer({{"return", "success"}}));
	ASSERT_TRUE(wait_until([&] { return scripts_started() == 20; }, 10000));

	EXPECT_EQ(call("whc_sync", {{"ssid", "busy"}}).out, answer({{"return", " fail, sync work active!"}}));
	EXPECT_EQ(settings_file(), "ssid:=busy\n");
	EXPECT_TRUE(has(sat->log(), R"(kestrad_handle_whc_sync\(\d+\): vimb worker_get\(\) error\n)"));

	// end one script: its record's name ends in its pid, the worker's child
	std::string pid;
	if (DIR *d = opendir((sat->dir() + "/records").c_str())) {
		while (struct dirent *e = readdir(d)) {
			std::smatch m;
			std::string n = e->d_name;
			if (std::regex_match(n, m, std::regex(R"(kestrad_whc_sync\.sh\.\d+\.(\d+)\.argv)")))
				pid = m[1];
		}
		closedir(d);
	}
	ASSERT_FALSE(pid.empty());
	ASSERT_EQ(sat->exec({"kill", "-9", pid}).status, 0);
	ASSERT_TRUE(sat->wait_log(", use:true, pid:" + pid + "\n", 10000)) << sat->log(); // the slot came back

	sat->behave(whc_sync_script_name, "status=0");
	EXPECT_EQ(call("whc_sync", {{"ssid", "again"}}).out, answer({{"return", "success"}}));
	EXPECT_EQ(settings_file(), "ssid:=again\n");
	EXPECT_TRUE(wait_until([&] { return scripts_started() == 21; }, 5000));
}

TEST_F(ReSyncQuire, SyncOnAReadOnlyRunDirectoryKeepsTheOldFileAndStartsNothing)
{
	ASSERT_EQ(call("whc_sync", {{"ssid", "kept"}, {"pswd", "secret"}}).out, answer({{"return", "success"}}));
	ASSERT_TRUE(wait_until([&] { return scripts_started() == 1; }, 5000));
	ASSERT_EQ(sat->exec({"mount", "-o", "remount,ro", "/run"}).status, 0);

	EXPECT_EQ(call("whc_sync", {{"ssid", "lost"}}).out, answer({{"return", "fail, fopen error"}}));
	EXPECT_EQ(settings_file(), "ssid:=kept\npswd:=secret\n");
	EXPECT_TRUE(has(sat->log(), R"(kestrad_handle_whc_sync\(\d+\): fail, fopen error, error Read-only file system \n)"));

	ASSERT_EQ(sat->exec({"mount", "-o", "remount,rw", "/run"}).status, 0);
	EXPECT_EQ(call("whc_sync", {{"ssid", "back"}}).out, answer({{"return", "success"}}));
	EXPECT_EQ(settings_file(), "ssid:=back\n");
	EXPECT_EQ(sat->exec({"ls", "/var/run"}).out.find("kestrad_whc_sync.tmp"), std::string::npos);
	EXPECT_EQ(scripts_started(), 2u); // none for the refused request
}

TEST_F(ReSyncQuire, QuireAnswersWithEveryFieldInOrder)
{
	sat->behave("readmac", "output='02:00:00:00:aa:bb'");
	sat->behave("bhstat", "status=17");
	auto r = sat->vimb({"call", obj, "whc_quire"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, answer({{"wanmac", "02:00:00:00:aa:bb"},
				 {"g2stamac", "02:00:00:00:11:11"},
				 {"g5stamac", "02:00:00:00:01:01"},
				 {"backhauls", "1"},
				 {"backhauls_qa", "1"},
				 {"locale", "US"},
				 {"devid", "SAT-0001"},
				 {"initted", "0"},
				 {"return", "success"}}));
	ASSERT_EQ(sat->calls("readmac").size(), 1u);
	EXPECT_EQ(sat->calls("readmac")[0].argv, (std::vector<std::string>{"/usr/bin/readmac", "wan"}));
	ASSERT_EQ(sat->calls("bhstat").size(), 1u);
	EXPECT_EQ(sat->calls("bhstat")[0].argv, (std::vector<std::string>{"/usr/bin/bhstat", "getmetric"}));
	std::string log = sat->log();
	EXPECT_TRUE(has(log, R"(kestrad_handle_whc_quire\(\d+\): no devid from cap find \n)"));
	EXPECT_TRUE(has(log, R"(kestrad_handle_whc_quire\(\d+\): no web passwd from cap find \n)"));
	EXPECT_TRUE(has(log, R"(kestrad_handle_whc_quire\(\d+\): backhauls=17\n  , 0x11, 1, 1 \n)")) << log;

	EXPECT_EQ(backhauls_for(0), std::make_pair(std::string("0"), std::string("0")));
	EXPECT_EQ(backhauls_for(10), std::make_pair(std::string(":"), std::string("0")));
	EXPECT_EQ(backhauls_for(17), std::make_pair(std::string("1"), std::string("1")));
	EXPECT_EQ(backhauls_for(255), std::make_pair(std::string("?"), std::string("?")));

	auto initted = [&](const std::string &line) {
		sat->set_config("marovela", "\nconfig core 'common'\n\toption NETMODE 'whc_re'\n" + line);
		return json::parse(call("whc_quire", json::object()).out).value("initted", "-");
	};
	EXPECT_EQ(initted("\toption INITTED 'YES'\n"), "1");
	EXPECT_EQ(initted("\toption INITTED 'yes'\n"), "0");
	EXPECT_EQ(initted(""), "0");
	// no ROUTER_LOCALE now: that field goes, the rest stay
	json last = json::parse(call("whc_quire", json::object()).out);
	EXPECT_FALSE(last.contains("locale"));
	EXPECT_EQ(last.value("devid", "-"), "SAT-0001");
	EXPECT_EQ(last.value("return", "-"), "success");
}

TEST_F(ReSyncQuire, QuireStoresTheGatewayIdEveryTimeAndThePasswordOnlyWhenItDiffers)
{
	const std::string account = sat->dir() + "/config/account";
	struct stat before = {}, after = {};
	ASSERT_EQ(stat(account.c_str(), &before), 0);

	// the stored password: nothing written
	auto r = call("whc_quire", {{"cap_devid", "CAP0001"}, {"webpasswd", "admin"}});
	EXPECT_EQ(json::parse(r.out).value("return", "-"), "success") << r.out;
	EXPECT_NE(sat->config("bind").find("option remoteID 'CAP0001'"), std::string::npos) << sat->config("bind");
	ASSERT_EQ(stat(account.c_str(), &after), 0);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
	EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
	std::string log = sat->log();
	EXPECT_TRUE(has(log, R"(kestrad_handle_whc_quire\(\d+\): get old passwd = \*\*\* \n)"));
	EXPECT_EQ(count(log, " save web passwd from cap "), 0u);

	// the id is set again without comparing: a change made meanwhile is undone
	ASSERT_EQ(sat->exec({"uci", "set", "bind.info.remoteID=other"}).status, 0);
	ASSERT_EQ(sat->exec({"uci", "commit", "bind"}).status, 0);
	call("whc_quire", {{"cap_devid", "CAP0001"}});
	EXPECT_EQ(sat->exec({"uci", "get", "bind.info.remoteID"}).out, "CAP0001\n");
	EXPECT_EQ(count(sat->log(), " save devid from cap CAP0001 \n"), 2u);

	// a new password, and values a shell would take apart, stored as they are
	call("whc_quire", {{"cap_devid", awkward}, {"webpasswd", awkward + "\nline two"}});
	EXPECT_EQ(sat->exec({"uci", "get", "bind.info.remoteID"}).out, awkward + "\n");
	EXPECT_EQ(sat->exec({"uci", "get", "account.common.admin"}).out, awkward + "\nline two\n");
	EXPECT_EQ(count(sat->log(), " save web passwd from cap "), 1u);
	EXPECT_NE(sat->exec({"test", "-e", "/tmp/pwned"}).status, 0);
}

} // namespace

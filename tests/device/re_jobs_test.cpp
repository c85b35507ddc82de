// bind, smart_sync and common_set on the simulated satellite: what reaches the
// stand-ins, what the gateway reads back, and when a hung job is ended.
#include "support/proc.h"
#include "support/satellite.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <dirent.h>
#include <iostream>
#include <regex>
#include <sys/stat.h>

using namespace testing_support;

namespace {

const std::string &obj = testing_support::kestrad_object;
const std::string success = vimb_return("success");
const std::string no_worker = vimb_return("worker_get() error\\n");

bool exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

class ReJobs : public ::testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_ROOT();
		sat_ = std::make_unique<satellite>();
		// A loaded machine can take longer to build the sandbox than the
		// harness waits; the launcher goes on meanwhile.
		ASSERT_TRUE(sat_->up() || wait_until([&] {
			return exists(sat_->dir() + "/state/ready") && exists(sat_->dir() + "/state/init.pid");
		}, 30000));
		ASSERT_EQ(sat_->object(10000), obj) << sat_->log();
	}

	std::string call(const std::string &method, const nlohmann::ordered_json &args)
	{
		return sat_->vimb({"call", obj, method, args.dump()}).out;
	}

	// The calls of a stand-in once `n` of them have started.
	std::vector<call_record> wait_calls(const std::string &name, size_t n, int ms = 10000)
	{
		std::vector<call_record> c;
		// a record is whole once its start is written, after its argv
		wait_until([&] {
			c = sat_->calls(name);
			return c.size() >= n && std::all_of(c.begin(), c.end(), [](auto &r) { return r.start > 0; });
		}, ms);
		return c;
	}

	// Pids of a stand-in's calls, from its record names NAME.<ns>.<pid>.argv.
	std::vector<std::string> pids_of(const std::string &name)
	{
		std::vector<std::string> out;
		if (DIR *d = opendir((sat_->dir() + "/records").c_str())) {
			std::regex re("^" + std::regex_replace(name, std::regex(R"(\.)"), R"(\.)") +
				      R"(\.\d+\.(\d+)\.argv$)");
			while (struct dirent *e = readdir(d)) {
				std::cmatch m;
				if (std::regex_match(e->d_name, m, re))
					out.push_back(m[1].str());
			}
			closedir(d);
		}
		return out;
	}

	// Worker slots taken so far, as worker_get logs them.
	int slots_taken()
	{
		std::string log = sat_->log();
		std::regex re(R"(worker_get\(\d+\):\[\d+\] 0x)");
		return static_cast<int>(std::distance(std::sregex_iterator(log.begin(), log.end(), re),
						      std::sregex_iterator()));
	}

	int last_slot_taken()
	{
		std::string log = sat_->log();
		std::regex re(R"(worker_get\(\d+\):\[(\d+)\] 0x)");
		int last = -1;
		for (auto it = std::sregex_iterator(log.begin(), log.end(), re); it != std::sregex_iterator(); ++it)
			last = std::stoi((*it)[1].str());
		return last;
	}

	// The command lines the children logged before their exec, in order.
	std::vector<std::vector<std::string>> logged_commands()
	{
		std::vector<std::vector<std::string>> out;
		std::string log = sat_->log();
		std::regex line(R"(run_cmd\(\d+\):( (.*) |worker cmd: |)\n)");
		for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it) {
			const auto &m = *it;
			if (m[1] == "worker cmd: ")
				out.emplace_back();
			else if (m[1].length() && !out.empty())
				out.back().push_back(m[2].str());
		}
		return out;
	}

	std::unique_ptr<satellite> sat_;
};

// Every value reaches its program as one argument, as sent: no shell sees it.
TEST_F(ReJobs, ValuesReachTheProgramsAsSingleUnchangedArguments)
{
	const std::string marker = sat_->dir() + "/ran";
	const std::vector<std::string> values = {
		"two words", "it's \"quoted\"", "a;b", "$(touch " + marker + ")", "`touch " + marker + "`",
		"line1\nline2", "",
	};

	EXPECT_EQ(call("bind", {{"record", "R1"}, {"deviceID", "D1"}, {"sign", "S1"}}), success);
	auto bind = wait_calls("bind_owner.sh", 1);
	ASSERT_EQ(bind.size(), 1u);
	EXPECT_EQ(bind[0].argv, (std::vector<std::string>{"/sbin/bind_owner.sh", "bind_me", "D1", "S1", "R1"}));

	for (size_t i = 0; i < values.size(); i++) {
		const std::string &v = values[i];
		const std::string &w = values[(i + 1) % values.size()];
		const std::string &x = values[(i + 2) % values.size()];
		SCOPED_TRACE("value [" + v + "]");
		EXPECT_EQ(call("bind", {{"record", x}, {"deviceID", v}, {"sign", w}}), success);
		EXPECT_EQ(call("smart_sync", {{"msg", v}}), success);
		EXPECT_EQ(call("common_set", {{"newgw", v}}), success);
		EXPECT_EQ(call("common_set", {{"action", v}}), success);

		auto b = wait_calls("bind_owner.sh", i + 2);
		ASSERT_EQ(b.size(), i + 2);
		EXPECT_EQ(b.back().argv, (std::vector<std::string>{"/sbin/bind_owner.sh", "bind_me", v, w, x}));
		auto m = wait_calls("msgferry", i + 1);
		ASSERT_EQ(m.size(), i + 1);
		ASSERT_EQ(m.back().argv.size(), 3u);
		EXPECT_EQ(m.back().argv[1], "2");
		EXPECT_EQ(m.back().argv[2], v);
		auto g = wait_calls("mesh_gw_renew.sh", i + 1);
		ASSERT_EQ(g.size(), i + 1);
		EXPECT_EQ(g.back().argv, (std::vector<std::string>{"/sbin/mesh_gw_renew.sh", v}));
		auto a = wait_calls("re_common_action.sh", i + 1);
		ASSERT_EQ(a.size(), i + 1);
		EXPECT_EQ(a.back().argv, (std::vector<std::string>{"/sbin/re_common_action.sh", v}));
	}
	// msgferry went through the time-limit tool, found on the search path
	EXPECT_EQ(sat_->calls("msgferry")[0].argv[0], "/usr/bin/msgferry");
	EXPECT_FALSE(exists(marker));
}

TEST_F(ReJobs, MissingMistypedOrNoFieldsStartNothing)
{
	const std::string parse_failed = vimb_return("parse param failed");
	const std::string api_not_found = vimb_return("api not found");

	EXPECT_EQ(call("bind", {{"record", "R"}, {"deviceID", "D"}}), parse_failed);
	EXPECT_EQ(call("bind", {{"record", 1}, {"deviceID", "D"}, {"sign", "S"}}), parse_failed);
	EXPECT_EQ(call("bind", {{"record", "R"}, {"deviceID", true}, {"sign", "S"}}), parse_failed);
	EXPECT_EQ(call("bind", nlohmann::ordered_json::object()), parse_failed);
	EXPECT_EQ(sat_->vimb({"call", obj, "bind"}).out, parse_failed); // empty payload
	EXPECT_EQ(call("smart_sync", {{"msg", 7}}), parse_failed);
	EXPECT_EQ(call("smart_sync", {{"message", "m"}}), parse_failed);
	EXPECT_EQ(sat_->vimb({"call", obj, "smart_sync"}).out, parse_failed);
	EXPECT_EQ(call("common_set", {{"action", 1}}), api_not_found);
	EXPECT_EQ(call("common_set", {{"other", "x"}}), api_not_found);
	EXPECT_EQ(call("common_set", nlohmann::ordered_json::object()), api_not_found);
	EXPECT_EQ(sat_->vimb({"call", obj, "common_set"}).out, api_not_found);

	// worker_get logs before a handler replies: none was taken
	EXPECT_EQ(slots_taken(), 0) << sat_->log();
	std::string log = sat_->log();
	EXPECT_NE(log.find("kestrad_handle_whc_client_bind"), std::string::npos);
	EXPECT_EQ(log.find("get deviceID"), std::string::npos) << log;
	EXPECT_EQ(log.find("RE get smart msg"), std::string::npos) << log;

	// the policies as a caller lists them, last in the RE table
	std::string listing = sat_->vimb({"-v", "list"}).out;
	const std::string tail = "\t\"bind\":{\"record\":\"String\",\"deviceID\":\"String\",\"sign\":\"String\"}\n"
				 "\t\"smart_sync\":{\"msg\":\"String\"}\n"
				 "\t\"common_set\":{\"log_upload\":\"String\",\"newgw\":\"String\",\"action\":\"String\"}\n";
	ASSERT_GE(listing.size(), tail.size());
	EXPECT_EQ(listing.substr(listing.size() - tail.size()), tail) << listing;
}

// The full command lines, as the children log them before their exec.
TEST_F(ReJobs, CommonSetActsOnTheFirstOfLogUploadNewgwActionAndEachJobHasItsCommand)
{
	EXPECT_EQ(call("common_set", {{"action", "a1"}, {"newgw", "g1"}, {"log_upload", "k1"}}), success);
	auto lua = wait_calls("lua", 1);
	ASSERT_EQ(lua.size(), 1u);
	EXPECT_EQ(call("common_set", {{"action", "a2"}, {"newgw", "g2"}}), success);
	auto gw = wait_calls("mesh_gw_renew.sh", 1);
	ASSERT_EQ(gw.size(), 1u);
	EXPECT_EQ(gw[0].argv[1], "g2");
	EXPECT_EQ(call("common_set", {{"action", "a3"}, {"newgw", 5}, {"log_upload", false}}), success);
	auto act = wait_calls("re_common_action.sh", 1);
	ASSERT_EQ(act.size(), 1u);
	EXPECT_EQ(act[0].argv[1], "a3");

	EXPECT_EQ(call("smart_sync", {{"msg", "m"}}), success);
	ASSERT_EQ(wait_calls("msgferry", 1).size(), 1u);
	EXPECT_EQ(call("bind", {{"record", "R"}, {"deviceID", "D"}, {"sign", "S"}}), success);
	ASSERT_EQ(wait_calls("bind_owner.sh", 1).size(), 1u);

	using v = std::vector<std::string>;
	std::vector<v> expected = {
		{"/usr/bin/lua", "/usr/sbin/log_ship.lua", lua[0].argv[2]},
		{"/usr/bin/timeout", "-t", "60", "-s", "9", "/bin/sh", "/sbin/mesh_gw_renew.sh", "g2"},
		{"/usr/bin/timeout", "-t", "20", "-s", "9", "/bin/sh", "/sbin/re_common_action.sh", "a3"},
		{"/usr/bin/timeout", "-t", "5", "-s", "9", "msgferry", "2", "m"},
		{"/sbin/bind_owner.sh", "bind_me", "D", "S", "R"},
	};
	std::vector<v> logged;
	wait_until([&] { return (logged = logged_commands()).size() >= expected.size(); }, 5000);
	EXPECT_EQ(logged, expected) << sat_->log();
	EXPECT_EQ(slots_taken(), 5);
	EXPECT_EQ(sat_->calls("lua").size(), 1u);
	EXPECT_EQ(sat_->calls("mesh_gw_renew.sh").size(), 1u);
	std::string log = sat_->log();
	EXPECT_NE(log.find("get log upload key on cap[nouse]: *** \n"), std::string::npos) << log;
	EXPECT_NE(log.find("get new gateway update notify on cap: g2 \n"), std::string::npos) << log;
	EXPECT_NE(log.find("get common action msg: a3 \n"), std::string::npos) << log;
}

TEST_F(ReJobs, UploadKeyCarriesTheDeviceIdAndTheCallsTime)
{
	struct key_case {
		std::string messaging; // "" : package removed
		std::string id;
		std::string devid_line;
	};
	const std::string long_id(45, 'L');
	const std::vector<key_case> cases = {
		{"", "SAT-0001", " get devid = SAT-0001 \n"}, // as the satellite ships
		{"\nconfig deviceInfo 'deviceInfo'\n\toption DEVICE_ID 'ABC'\n", "ABC", " get devid = ABC \n"},
		{"\nconfig deviceInfo 'deviceInfo'\n\toption DEVICE_ID '" + long_id + "'\n", long_id.substr(0, 39),
		 " get devid = " + long_id.substr(0, 39) + " \n"},
		{"\nconfig deviceInfo 'deviceInfo'\n\toption OTHER 'x'\n", "", " get devid error! \n"},
		{"\nconfig other 'other'\n\toption DEVICE_ID 'ABC'\n", "", " get devid =  \n"},
		{"-", "", " get devid error! \n"},
	};
	for (size_t i = 0; i < cases.size(); i++) {
		const auto &c = cases[i];
		SCOPED_TRACE("id [" + c.id + "]");
		if (c.messaging == "-")
			ASSERT_EQ(sat_->exec({"rm", "/etc/config/messaging"}).status, 0);
		else if (!c.messaging.empty())
			sat_->set_config("messaging", c.messaging);

		time_t before = time(nullptr);
		EXPECT_EQ(call("common_set", {{"log_upload", "cap" + std::to_string(i)}}), success);
		time_t after = time(nullptr);
		auto lua = wait_calls("lua", i + 1);
		ASSERT_EQ(lua.size(), i + 1);
		const auto &argv = lua.back().argv;
		ASSERT_EQ(argv.size(), 3u);
		EXPECT_EQ(argv[0], "/usr/bin/lua");
		EXPECT_EQ(argv[1], "/usr/sbin/log_ship.lua");
		std::smatch m;
		ASSERT_TRUE(std::regex_match(argv[2], m, std::regex("common-K7X-" + c.id + R"(-(\d+))"))) << argv[2];
		long long t = std::stoll(m[1].str());
		EXPECT_GE(t, before);
		EXPECT_LE(t, after);

		std::string log = sat_->log();
		// the key is masked: this request's line is the last so far
		size_t at = log.rfind("get log upload key on cap[nouse]: *** \n");
		ASSERT_NE(at, std::string::npos) << log;
		EXPECT_NE(log.find(c.devid_line, at), std::string::npos) << log.substr(at);
		EXPECT_NE(log.find("get log upload key: " + argv[2] + " \n", at), std::string::npos) << log.substr(at);
	}
	EXPECT_NE(sat_->log().find("uci_load messaging failed!"), std::string::npos);
}

// The stand-ins hang; the time-limit tool and the worker end them for real.
TEST_F(ReJobs, HungBindAndSmartSyncAreEndedAfterFiveSeconds)
{
	sat_->behave("bind_owner.sh", "delay=60");
	sat_->behave("msgferry", "delay=60");
	double t_bind = wall_clock_s();
	EXPECT_EQ(call("bind", {{"record", "R"}, {"deviceID", "D"}, {"sign", "S"}}), success);
	double t_smart = wall_clock_s();
	EXPECT_EQ(call("smart_sync", {{"msg", "m"}}), success);

	auto ended = [&](const std::string &name) {
		auto c = sat_->calls(name);
		return c.size() == 1 && c[0].end > 0;
	};
	ASSERT_TRUE(wait_until([&] { return ended("bind_owner.sh") && ended("msgferry"); }, 12000)) << sat_->log();
	auto bind = sat_->calls("bind_owner.sh")[0];
	auto smart = sat_->calls("msgferry")[0];
	double bind_after = bind.end - t_bind, smart_after = smart.end - t_smart;
	std::cout << "hung bind ended " << bind_after << " s after the call (ran " << bind.end - bind.start
		  << " s); hung smart_sync ended " << smart_after << " s after the call (ran "
		  << smart.end - smart.start << " s)\n";
	EXPECT_EQ(bind.status, -1); // killed, never exited
	EXPECT_EQ(smart.status, -1);
	EXPECT_GT(bind_after, 4.9);
	EXPECT_LT(bind_after, 9.0);
	EXPECT_GT(smart_after, 4.9);
	EXPECT_LT(smart_after, 9.0);

	// bind has no tool around it: its slot's time-out killed it
	std::string pid = pids_of("bind_owner.sh").at(0);
	EXPECT_TRUE(sat_->wait_log(" pid[" + pid + "]\n", 2000)) << sat_->log();
	// both slots came back
	// smart_sync's slot: freed by whichever limit fired first
	std::string smart_pid = pids_of("msgferry").at(0);
	EXPECT_TRUE(wait_until([&] {
		std::string log = sat_->log();
		return log.find(" pid[" + smart_pid + "]\n") != std::string::npos ||
		       log.find(", use:true, pid:" + smart_pid + "\n") != std::string::npos;
	}, 2000)) << sat_->log();
	EXPECT_EQ(call("smart_sync", {{"msg", "again"}}), success);
	EXPECT_EQ(slots_taken(), 3);
	EXPECT_EQ(last_slot_taken(), 0);
}

TEST_F(ReJobs, WithEveryWorkerBusyEachJobIsRefusedUntilOneFrees)
{
	// held by the 60 s limit of the new-gateway job, longer than this test
	sat_->behave("mesh_gw_renew.sh", "delay=100");
	for (int i = 0; i < 20; i++)
		ASSERT_EQ(call("common_set", {{"newgw", "hang" + std::to_string(i)}}), success) << i;
	ASSERT_EQ(wait_calls("mesh_gw_renew.sh", 20).size(), 20u);

	EXPECT_EQ(call("bind", {{"record", "R"}, {"deviceID", "D"}, {"sign", "S"}}), no_worker);
	EXPECT_EQ(call("smart_sync", {{"msg", "m"}}), no_worker);
	EXPECT_EQ(call("common_set", {{"newgw", "g"}}), no_worker);
	EXPECT_EQ(call("common_set", {{"action", "a"}}), no_worker);
	EXPECT_EQ(call("common_set", {{"log_upload", "busy"}}), no_worker);

	std::string log = sat_->log();
	size_t upload = log.rfind("get log upload key on cap[nouse]: *** \n");
	ASSERT_NE(upload, std::string::npos) << log;
	size_t key = log.find("get log upload key: common-K7X-SAT-0001-", upload);
	size_t refused = log.find("worker_get(", upload);
	ASSERT_NE(key, std::string::npos) << log.substr(upload);
	ASSERT_NE(refused, std::string::npos);
	EXPECT_LT(key, refused);
	EXPECT_NE(log.find("Not available worker\n", refused), std::string::npos);
	EXPECT_EQ(slots_taken(), 20);
	for (const char *name : {"bind_owner.sh", "msgferry", "re_common_action.sh", "lua"})
		EXPECT_TRUE(sat_->calls(name).empty()) << name;
	EXPECT_EQ(sat_->calls("mesh_gw_renew.sh").size(), 20u);

	// One hung action ends: the next job gets its slot, and keeps it.
	sat_->behave("bind_owner.sh", "delay=60");
	std::string pid = pids_of("mesh_gw_renew.sh").at(0);
	ASSERT_EQ(sat_->exec({"kill", "-KILL", pid}).status, 0);
	ASSERT_TRUE(sat_->wait_log(", use:true, pid:" + pid + "\n", 3000)) << sat_->log();
	EXPECT_EQ(call("bind", {{"record", "R"}, {"deviceID", "D"}, {"sign", "S"}}), success);
	EXPECT_EQ(wait_calls("bind_owner.sh", 1).size(), 1u);
	EXPECT_EQ(call("smart_sync", {{"msg", "m"}}), no_worker);
}

} // namespace

// The method access on the simulated satellite: what it writes to wireless
// and devicelist, when it reloads Wi-Fi and with which command, and what the
// gateway reads back.
#include "support/proc.h"
#include "support/satellite.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/stat.h>

using namespace testing_support;

namespace {

const std::string &obj = testing_support::kestrad_object;
const std::string success = vimb_return("success");
const std::string M1 = "02:00:00:00:00:01", M2 = "02:00:00:00:00:02", M3 = "02:00:00:00:00:03";

std::string section(const std::string &head, const std::string &body)
{
	return "\nconfig " + head + "\n" + body;
}

// Three LAN AP interfaces (one anonymous) holding allow M1, M2; a guest
// interface, and interfaces that fail each step of the interface test.
const std::string guest_2g = section("wifi-iface 'guest_2G'", "\toption ifname 'wl02'\n\toption network 'lan'\n"
								 "\toption mode 'ap'\n\toption macfilter 'deny'\n"
								 "\tlist maclist '" + M3 + "'\n");
const std::string wireless =
	section("wifi-device 'radio0'", "\toption type 'mac80211'\n\toption channel '6'\n") +
	section("wifi-iface 'lan_2g'", "\toption device 'radio0'\n\toption ifname 'wl01'\n\toption network 'lan'\n"
				       "\toption mode 'ap'\n\toption macfilter 'allow'\n\tlist maclist '" + M1 + "'\n"
				       "\tlist maclist '" + M2 + "'\n") +
	section("wifi-iface 'lan_5g'", "\toption ifname 'wl11'\n\toption network 'lan'\n\toption mode 'ap'\n"
				       "\toption macfilter 'allow'\n\tlist maclist '" + M2 + "'\n\tlist maclist '" + M1 + "'\n") +
	section("wifi-iface", "\toption ifname 'wl12'\n\toption network 'lan'\n\toption mode 'ap'\n"
			      "\toption macfilter 'allow'\n\tlist maclist '" + M1 + "'\n\tlist maclist '" + M2 + "'\n") +
	guest_2g +
	section("wifi-iface 'wan_if'", "\toption ifname 'wl03'\n\toption network 'wan'\n\toption mode 'ap'\n"
				       "\toption macfilter 'deny'\n\tlist maclist '" + M3 + "'\n") +
	section("wifi-iface 'sta_if'", "\toption ifname 'wl13'\n\toption network 'lan'\n\toption mode 'sta'\n"
				       "\toption maclist '" + M3 + "'\n") +
	section("wifi-iface 'eth_if'", "\toption ifname 'eth1'\n\toption network 'lan'\n\toption mode 'ap'\n"
				       "\toption macfilter 'allow'\n") +
	section("wifi-iface 'no_mode'", "\toption ifname 'wl14'\n\toption network 'lan'\n\toption macfilter 'deny'\n"
					"\tlist maclist '" + M3 + "'\n") +
	section("wifi-iface", "\toption network 'lan'\n\toption mode 'ap'\n\toption macfilter 'allow'\n"
			      "\tlist maclist '" + M3 + "'\n") +
	section("wifi-iface 'no_network'", "\toption ifname 'wl15'\n\toption mode 'ap'\n") + "\n";

const std::string devicelist = "\nconfig settings 'settings'\n\toption level '0'\n\toption auth '0'\n\n";

std::string request(int policy, const std::string &list, const std::string &extra = "")
{
	return "{\"policy\":" + std::to_string(policy) + ",\"list\":\"" + list + "\"" + extra + "}";
}

struct file_id {
	ino_t ino = 0;
	long long mtime_ns = 0;
	bool operator==(const file_id &) const = default;
};

file_id id_of(const std::string &path)
{
	struct stat st = {};
	stat(path.c_str(), &st);
	return {st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
}

// The arguments run_cmd logged for the children it started, one vector per
// child.
std::vector<std::vector<std::string>> logged_commands(const std::string &log)
{
	std::vector<std::vector<std::string>> out;
	std::regex line(R"(run_cmd\(\d+\):(worker cmd: | (.*) )\n)");
	for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it) {
		if ((*it)[1] == "worker cmd: ")
			out.emplace_back();
		else if (!out.empty())
			out.back().push_back((*it)[2]);
	}
	return out;
}

class Access : public ::testing::Test {
protected:
	void SetUp() override { REQUIRE_ROOT(); }

	// A satellite of that mode and model with the test's wireless and
	// devicelist, kestrad started once they are in place.
	std::unique_ptr<satellite> start(const std::string &mode, const std::string &model = "")
	{
		satellite_options opts;
		opts.mode = mode;
		opts.start_kestrad = false;
		auto sat = std::make_unique<satellite>(opts);
		if (!sat->up())
			return nullptr;
		sat->set_config("wireless", wireless);
		sat->set_config("devicelist", devicelist);
		if (!model.empty())
			sat->set_config("misc", "\nconfig hardware 'hardware'\n\toption model '" + model + "'\n");
		if (!sat->svc("start", "kestrad") || sat->object() != obj)
			return nullptr;
		return sat;
	}

	std::string call(const satellite &sat, const std::string &args, int *status = nullptr)
	{
		auto r = sat.vimb({"call", obj, "access", args});
		if (status)
			*status = r.status;
		return r.out;
	}

	// Children of kestrad inside the satellite.
	std::string kestrad_children(const satellite &sat)
	{
		return sat.exec({"sh", "-c", "cat /proc/$(cat " + sat.dir() + "/state/kestrad.pid)/task/*/children"}).out;
	}

	std::vector<call_record> wait_ended(const satellite &sat, const std::string &name, size_t n)
	{
		std::vector<call_record> calls;
		wait_until([&] {
			calls = sat.calls(name);
			return calls.size() >= n &&
			       std::all_of(calls.begin(), calls.end(), [](const call_record &c) { return c.end > 0; });
		}, 10000);
		return calls;
	}
};

const std::string rewritten_show =
	"wireless.radio0=wifi-device\nwireless.radio0.type='mac80211'\nwireless.radio0.channel='6'\n"
	"wireless.lan_2g=wifi-iface\nwireless.lan_2g.device='radio0'\nwireless.lan_2g.ifname='wl01'\n"
	"wireless.lan_2g.network='lan'\nwireless.lan_2g.mode='ap'\nwireless.lan_2g.macfilter='deny'\n"
	"wireless.lan_2g.maclist='" + M3 + "' '" + M1 + "' ''\n"
	"wireless.lan_5g=wifi-iface\nwireless.lan_5g.ifname='wl11'\nwireless.lan_5g.network='lan'\n"
	"wireless.lan_5g.mode='ap'\nwireless.lan_5g.macfilter='deny'\nwireless.lan_5g.maclist='" + M3 + "' '" + M1 + "' ''\n"
	"wireless.@wifi-iface[2]=wifi-iface\nwireless.@wifi-iface[2].ifname='wl12'\n"
	"wireless.@wifi-iface[2].network='lan'\nwireless.@wifi-iface[2].mode='ap'\n"
	"wireless.@wifi-iface[2].macfilter='deny'\nwireless.@wifi-iface[2].maclist='" + M3 + "' '" + M1 + "' ''\n"
	"wireless.guest_2G=wifi-iface\nwireless.guest_2G.ifname='wl02'\nwireless.guest_2G.network='lan'\n"
	"wireless.guest_2G.mode='ap'\nwireless.guest_2G.macfilter='deny'\nwireless.guest_2G.maclist='" + M3 + "'\n"
	"wireless.wan_if=wifi-iface\nwireless.wan_if.ifname='wl03'\nwireless.wan_if.network='wan'\n"
	"wireless.wan_if.mode='ap'\nwireless.wan_if.macfilter='disabled'\n"
	"wireless.sta_if=wifi-iface\nwireless.sta_if.ifname='wl13'\nwireless.sta_if.network='lan'\n"
	"wireless.sta_if.mode='sta'\n"
	"wireless.eth_if=wifi-iface\nwireless.eth_if.ifname='eth1'\nwireless.eth_if.network='lan'\n"
	"wireless.eth_if.mode='ap'\nwireless.eth_if.macfilter='disabled'\n"
	"wireless.no_mode=wifi-iface\nwireless.no_mode.ifname='wl14'\nwireless.no_mode.network='lan'\n"
	"wireless.no_mode.macfilter='disabled'\n"
	"wireless.@wifi-iface[8]=wifi-iface\nwireless.@wifi-iface[8].network='lan'\n"
	"wireless.@wifi-iface[8].mode='ap'\nwireless.@wifi-iface[8].macfilter='disabled'\n"
	"wireless.no_network=wifi-iface\nwireless.no_network.ifname='wl15'\nwireless.no_network.mode='ap'\n";

// The whole path in the two modes that offer access besides the RE: an
// unchanged request writes nothing and reloads nothing, a changed one
// rewrites and reloads once, a request without list or policy gets no
// reply at all.
TEST_F(Access, UnchangedWritesNothingChangedRewritesAndReloadsOnce)
{
	for (const std::string mode : {"lanap", "wifiap"}) {
		SCOPED_TRACE(mode);
		auto sat = start(mode);
		ASSERT_TRUE(sat);
		const std::string path = sat->dir() + "/config/wireless";
		file_id before = id_of(path);

		// a reload, had one been forked, would still be kestrad's child
		sat->behave("wifi", "delay=3");
		EXPECT_EQ(call(*sat, request(1, M2 + ";" + M1, ",\"level\":3,\"auth\":-1")), success);
		EXPECT_EQ(kestrad_children(*sat), "");
		EXPECT_EQ(sat->config("wireless"), wireless);
		EXPECT_TRUE(id_of(path) == before);
		EXPECT_EQ(sat->config("devicelist"),
			  "\nconfig settings 'settings'\n\toption level '3'\n\toption auth '-1'\n\n");
		std::string log = sat->log();
		size_t level = log.find("uci_set_devicelist_level(");
		size_t auth = log.find("uci_set_devicelist_auth(");
		size_t compare = log.find("checkMacList(");
		EXPECT_TRUE(level < auth && auth < compare) << log;
		EXPECT_NE(log.find(" maclist NOT change! \n"), std::string::npos) << log;
		EXPECT_TRUE(sat->calls("wifi").empty());

		// the same again without level or auth, and with an entry twice
		EXPECT_EQ(call(*sat, request(1, M1 + ";" + M1)), success);
		EXPECT_TRUE(id_of(path) == before);

		// no reply at all without policy or list, and nothing stored
		for (const std::string &args : std::vector<std::string>{"{\"list\":\"" + M3 + "\",\"level\":9,\"auth\":9}",
									"{\"policy\":2,\"level\":9,\"auth\":9}",
									"{\"policy\":\"2\",\"list\":\"" + M3 + "\",\"level\":9}",
									"{}"}) {
			int status = -1;
			EXPECT_EQ(call(*sat, args, &status), "") << args;
			EXPECT_EQ(status, 0) << args;
		}
		EXPECT_NE(sat->log().find("notice_vimb_device_maclist func:kestrad_handle_macList_desc out\n"),
			  std::string::npos);
		EXPECT_EQ(sat->config("devicelist"),
			  "\nconfig settings 'settings'\n\toption level '3'\n\toption auth '-1'\n\n");
		EXPECT_TRUE(id_of(path) == before);

		// changed: the LAN AP interfaces rebuilt, the others cleared, guest_2G
		// left as it was, one reload
		sat->behave("wifi", "");
		EXPECT_EQ(call(*sat, request(2, M3 + ";" + M1 + ";")), success);
		auto reloads = wait_ended(*sat, "wifi", 1);
		ASSERT_EQ(reloads.size(), 1u);
		EXPECT_EQ(reloads[0].argv, std::vector<std::string>{"/sbin/wifi"});
		EXPECT_EQ(reloads[0].status, 0);
		auto commands = logged_commands(sat->log());
		ASSERT_EQ(commands.size(), 1u) << sat->log();
		EXPECT_EQ(commands[0], (std::vector<std::string>{"/usr/bin/timeout", "-t", "40", "-s", "9", "/bin/sh",
								  "/sbin/wifi"}));
		EXPECT_TRUE(sat->calls("kestrad_maclist_reload.sh").empty());

		std::string now = sat->config("wireless");
		EXPECT_NE(now.find(guest_2g), std::string::npos) << now;
		auto shown = sat->exec({"uci", "show", "wireless"});
		EXPECT_EQ(shown.status, 0);
		EXPECT_EQ(shown.out, rewritten_show);
		EXPECT_EQ(sat->exec({"uci", "get", "devicelist.settings.level"}).out, "3\n");

		// what was written now compares equal: no second write or reload
		ASSERT_TRUE(wait_until([&] { return kestrad_children(*sat).empty(); }, 5000)); // reaped
		file_id after = id_of(path);
		sat->behave("wifi", "delay=3");
		EXPECT_EQ(call(*sat, request(2, M1 + ";;" + M3)), success);
		EXPECT_EQ(kestrad_children(*sat), "");
		EXPECT_TRUE(id_of(path) == after);
		EXPECT_EQ(sat->calls("wifi").size(), 1u);
	}
}

TEST_F(Access, TheModelChoosesTheReloadCommand)
{
	for (const auto &[model, script] : std::vector<std::pair<std::string, std::string>>{
		     {"K7X", "kestrad_maclist_reload.sh"}, {"K7X2", "wifi"}, {"k7x", "wifi"}}) {
		SCOPED_TRACE(model);
		auto sat = start("lanap", model);
		ASSERT_TRUE(sat);
		ASSERT_NE(sat->log().find("model[" + model + "]"), std::string::npos) << sat->log();
		EXPECT_EQ(call(*sat, request(0, M1)), success);
		auto reloads = wait_ended(*sat, script, 1);
		ASSERT_EQ(reloads.size(), 1u);
		EXPECT_EQ(reloads[0].argv, std::vector<std::string>{"/sbin/" + script});
		EXPECT_TRUE(sat->calls(script == "wifi" ? "kestrad_maclist_reload.sh" : "wifi").empty());
		auto commands = logged_commands(sat->log());
		ASSERT_EQ(commands.size(), 1u);
		EXPECT_EQ(commands[0].back(), "/sbin/" + script);
		EXPECT_EQ(sat->exec({"uci", "get", "wireless.lan_2g.maclist"}).out, M1 + "\n");
		EXPECT_EQ(sat->exec({"uci", "get", "wireless.lan_2g.macfilter"}).out, "disabled\n");
	}
}

// With every worker busy nothing is written, so that the gateway's retry
// still finds the change to make, and the gateway learns it.
TEST_F(Access, NoFreeWorkerWritesNothingAndSaysSo)
{
	auto sat = start("re");
	ASSERT_TRUE(sat);
	// 20 lists of their own, sent at once so that all 20 reloads still run
	// (each holds its slot until the 50 s worker time-out) when the next
	// request comes
	sat->behave("wifi", "delay=100");
	std::string fill = "for i in $(seq 10 29); do vimb -t 30 call " + obj +
			   " access '{\"policy\":1,\"list\":\"02:00:00:00:10:'$i'\"}' & done; wait";
	auto filled = sat->exec({"sh", "-c", fill}, 60000);
	size_t successes = 0;
	for (size_t pos = 0; (pos = filled.out.find(success, pos)) != std::string::npos; pos += success.size())
		successes++;
	ASSERT_EQ(successes, 20u) << filled.out << filled.err;
	const std::string before = sat->config("wireless");
	EXPECT_EQ(call(*sat, request(2, M3 + ";" + M1)), vimb_return(" fail, sync work active!"));
	EXPECT_NE(sat->log().find("kestrad_handle_macList_desc("), std::string::npos);
	EXPECT_NE(sat->log().find("):vimb worker_get() error\n"), std::string::npos);
	EXPECT_EQ(sat->config("wireless"), before);
	EXPECT_EQ(sat->exec({"uci", "get", "wireless.lan_5g.macfilter"}).out, "allow\n");
	EXPECT_TRUE(wait_until([&] { return sat->calls("wifi").size() == 20; }, 10000));
}

// What a caller that lists the object sees, mode by mode, in slot order.
TEST_F(Access, MethodListsInSlotOrder)
{
	const std::vector<std::pair<std::string, std::vector<std::string>>> modes = {
		{"re", {"access", "whc_sync", "whc_quire", "bind", "smart_sync", "common_set"}},
		{"lanap", {"access", "test"}},
		{"wifiap", {"notice", "access"}},
		{"router", {"test"}},
	};
	for (const auto &[mode, methods] : modes) {
		satellite_options opts;
		opts.mode = mode;
		satellite sat(opts);
		ASSERT_TRUE(sat.up());
		ASSERT_EQ(sat.object(), obj) << mode << sat.log();
		std::string listing = sat.vimb({"-v", "list"}).out;
		std::vector<std::string> seen;
		std::regex method("\n\t\"(\\w+)\":");
		for (auto it = std::sregex_iterator(listing.begin(), listing.end(), method); it != std::sregex_iterator(); ++it)
			seen.push_back((*it)[1]);
		EXPECT_EQ(seen, methods) << mode << "\n" << listing;
		if (mode != "router") {
			EXPECT_NE(listing.find("\t\"access\":{\"policy\":\"Integer\",\"list\":\"String\",\"level\":\"Integer\","
					       "\"auth\":\"Integer\"}\n"),
				  std::string::npos) << listing;
		}
	}
}

} // namespace

// vimb monitor in the simulated satellite: a CAP's whc_sync call and its
// reply show up while the monitor runs.
#include "support/proc.h"
#include "support/satellite.h"

#include <gtest/gtest.h>

#include <regex>

using namespace testing_support;

namespace {

TEST(Monitor, ShowsAWhcSyncCallAndItsReplyWhileItHappens)
{
	REQUIRE_ROOT();
	satellite sat;
	ASSERT_TRUE(sat.up());
	const std::string obj = sat.object(30000);
	ASSERT_FALSE(obj.empty()) << sat.log();

	const std::string out = sat.dir() + "/monitor.out";
	auto started = sat.exec({"sh", "-c", "vimb monitor >" + out + " 2>&1 </dev/null & echo $!"});
	ASSERT_EQ(started.status, 0) << started.err;
	const std::string pid = started.out.substr(0, started.out.find('\n'));
	ASSERT_FALSE(pid.empty());
	// Its first line is its own "add" answered: from then on it sees all.
	// A status carries its code before the object, as the device's does.
	ASSERT_TRUE(wait_until([&] { return read_file(out).find('\n') != std::string::npos; }, 30000))
		<< read_file(out);
	EXPECT_TRUE(std::regex_search(read_file(out), std::regex(R"(^-> [0-9a-f]{8} #00000003 +status: \{"status":0,"objid":3\}\n)")))
		<< read_file(out);

	auto r = sat.vimb({"call", obj, "whc_sync", R"({"ssid":"Home","pswd":"secret12","ch_2g":"6"})"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "{\n\t\"return\": \"success\"\n}\n");

	// The caller's request, vimbd handing it to kestrad, the reply going
	// back to the caller; the caller's and object's ids as vimbd gave them.
	const std::regex call(
		R"(<- ([0-9a-f]{8}) #([0-9a-f]{8}) +invoke: \{"objid":\d+,"method":"whc_sync","data":\{"ssid":"Home","pswd":"secret12","ch_2g":"6"\}\}\n)"
		R"((?:.*\n)*-> [0-9a-f]{8} #\1 +invoke: \{"objid":\d+,"method":"whc_sync","data":\{"ssid":"Home","pswd":"secret12","ch_2g":"6"\}\}\n)"
		R"((?:.*\n)*-> \1 #\2 +data: \{"objid":\d+,"data":\{"return":"success"\}\}\n)"
		R"((?:.*\n)*-> \1 #\2 +status: \{"status":0,"objid":\d+\}\n)");
	EXPECT_TRUE(wait_until([&] { return std::regex_search(read_file(out), call); }, 30000)) << read_file(out);

	EXPECT_EQ(sat.exec({"kill", pid}).status, 0);
	EXPECT_TRUE(wait_until([&] { return sat.exec({"kill", "-0", pid}).status != 0; }, 10000));
}

} // namespace

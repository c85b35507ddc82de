// kestrad built from src/ against the device's own libubox, libubus and
// libuci (the oracle of scripts/reference, with its shim for the two remote
// extensions; build-devlibs/, see scripts/test) on the simulated satellite
// against vimbd: in every mode, every method it publishes gives the same
// replies and leaves the same files and script calls as the normal build.
#include "support/proc.h"
#include "support/satellite.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <unistd.h>

using testing_support::run_result;
using testing_support::satellite;
using testing_support::satellite_options;
using testing_support::wait_until;

namespace {

const std::string obj = "192.0.2.2-@kestrad";

std::string devlibs_kestrad()
{
	const char *bin = getenv("KESTRAD_DEVICE_LIBS_BIN");
	return bin && *bin ? bin : std::string(KESTRAD_DEVICE_LIBS_BIN_DIR) + "/kestrad";
}

// scripts/test builds build-devlibs/ whenever the oracle is there and sets
// KESTRAD_REQUIRE_DEVICE_LIBS: there a missing build fails.
#define REQUIRE_DEVICE_LIBS()                                                                       \
	do {                                                                                        \
		REQUIRE_ROOT();                                                                     \
		if (access(devlibs_kestrad().c_str(), X_OK) != 0) {                                 \
			std::string why = "no kestrad built against the device's libraries at " + \
					  devlibs_kestrad();                                        \
			if (getenv("KESTRAD_REQUIRE_DEVICE_LIBS"))                                  \
				FAIL() << why;                                                      \
			GTEST_SKIP() << why;                                                        \
		}                                                                                   \
	} while (0)

// A call per method: the example of run-satellite, and an empty message.
const std::map<std::string, std::string> examples = {
	{"test", R"({"hello":"abc"})"},
	{"notice", R"({"ssid":"SG9tZQ==","passwd":"c2VjcmV0MTI="})"},
	{"access", R"({"policy":1,"list":"02:00:00:00:00:01;02:00:00:00:00:02","level":1,"auth":0})"},
	{"whc_sync", R"({"ssid":"Caf\u00e9 net","pswd":"secret12","ch_2g":"6","timezone":"UTC"})"},
	{"whc_quire", R"({"cap_devid":"CAP0001","webpasswd":"admin123"})"},
	{"bind", R"({"record":"r1","deviceID":"D1","sign":"S1"})"},
	{"smart_sync", R"({"msg":"hello"})"},
	{"common_set", R"({"action":"status"})"},
};

std::map<std::string, std::string> run_mode(const satellite &sat)
{
	std::map<std::string, std::string> seen;
	sat.behave("readmac", "output='02:00:00:00:aa:bb'");
	sat.behave("bhstat", "status=17");
	run_result listing = sat.vimb({"-v", "list"});
	// The object's id is vimbd's count of what connected and published
	// before it; the device's library counts differently.
	std::string ids_out = listing.out;
	if (size_t at = ids_out.find("' @"); at != std::string::npos)
		ids_out.replace(at + 3, 8, "ID");
	seen["list -v"] = ids_out + listing.err;
	std::istringstream lines(listing.out);
	for (std::string line; std::getline(lines, line);) {
		if (line.size() < 3 || line[0] != '\t')
			continue;
		std::string method = line.substr(2, line.find('"', 2) - 2);
		auto example = examples.find(method);
		for (const std::string &args : {example == examples.end() ? std::string("{}") : example->second,
						std::string("{}")}) {
			run_result r = sat.vimb({"call", obj, method, args});
			seen[method + " " + args] = r.out + "status " + std::to_string(r.status) + "\n" + r.err;
		}
	}
	seen["settings file"] = sat.exec({"cat", "/var/run/kestrad_whc_sync"}).out;
	for (const char *package : {"wireless", "devicelist", "bind", "account", "marovela", "network"}) {
		seen[std::string("file ") + package] = sat.config(package);
	}
	return seen;
}

std::vector<std::vector<std::string>> argv_of(const satellite &s, const char *script)
{
	std::vector<std::vector<std::string>> all;
	for (const auto &c : s.calls(script))
		all.push_back(c.argv);
	return all;
}

TEST(DeviceLibsDaemon, EveryMethodOfEveryModeAnswersAsTheNormalBuild)
{
	REQUIRE_DEVICE_LIBS();
	for (const char *mode : {"re", "router", "wifiap", "lanap"}) {
		SCOPED_TRACE(mode);
		satellite_options devlibs;
		devlibs.mode = mode;
		devlibs.kestrad_bin = devlibs_kestrad();
		satellite_options normal;
		normal.mode = mode;
		satellite want_sat(normal), got_sat(devlibs);
		ASSERT_TRUE(want_sat.up());
		ASSERT_TRUE(got_sat.up());
		ASSERT_EQ(want_sat.object(10000), obj) << want_sat.log();
		ASSERT_EQ(got_sat.object(10000), obj) << got_sat.log();

		auto want = run_mode(want_sat), got = run_mode(got_sat);
		EXPECT_GT(want.size(), 8u);
		for (const auto &[what, text] : want)
			EXPECT_EQ(got[what], text) << what;
		for (const char *script : {"kestrad_whc_sync.sh", "kestrad_maclist_reload.sh", "wifi"}) {
			EXPECT_TRUE(wait_until([&] { return argv_of(got_sat, script) == argv_of(want_sat, script); }, 10000))
				<< script;
		}
	}
}

} // namespace

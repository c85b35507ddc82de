// kestrad on the device's own platform, on the simulated satellite: built
// from src/ against the device's libubox, libubus and libuci (the oracle of
// scripts/reference, with its shim for the two remote extensions;
// build-devlibs/, see scripts/test) against vimbd, and this build's and that
// one against the device's ubusd (behind busrelay, reached over TCP as vimbd
// is) called with the device's `ubus`. In every mode, every method published
// gives the same replies and leaves the same files and script calls as the
// normal build against vimbd called with vimb.
#include "support/method_calls.h"
#include "support/proc.h"
#include "support/satellite.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <unistd.h>

using namespace testing_support;

namespace {

const std::string &obj = testing_support::kestrad_object;

std::string devlibs_kestrad()
{
	const char *bin = getenv("KESTRAD_DEVICE_LIBS_BIN");
	return bin && *bin ? bin : std::string(KESTRAD_DEVICE_LIBS_BIN_DIR) + "/kestrad";
}

std::string reference(const std::string &file)
{
	const char *prefix = getenv("KESTRAD_REFERENCE");
	return prefix && *prefix ? std::string(prefix) + "/" + file : std::string();
}

bool executable(const std::string &path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

// A kestrad and a bus beside the normal build on vimbd.
struct variant {
	const char *name;
	bool devlibs; // kestrad built against the device's libraries
	bool ubusd;   // on the device's ubusd, called with its `ubus`
};

constexpr variant variants[] = {
	{"device libraries on vimbd", true, false},
	{"on ubusd", false, true},
	{"device libraries on ubusd", true, true},
};

TEST(DeviceLibsDaemon, EveryMethodOfEveryModeAnswersAsTheNormalBuild)
{
	REQUIRE_ROOT();
	const bool have_devlibs = executable(devlibs_kestrad());
	const std::string ubusd = reference("sbin/ubusd"), ubus = reference("bin/ubus");
	const bool have_ubusd = executable(ubusd) && executable(ubus);
	// scripts/test builds build-devlibs/ whenever the oracle is there and
	// sets KESTRAD_REQUIRE_DEVICE_LIBS: there a missing piece fails.
	std::string missing;
	if (!have_devlibs)
		missing += "no kestrad built against the device's libraries at " + devlibs_kestrad() + "; ";
	if (!have_ubusd)
		missing += "no ubusd and ubus of the device ($KESTRAD_REFERENCE/sbin/ubusd, bin/ubus); ";
	if (!missing.empty() && getenv("KESTRAD_REQUIRE_DEVICE_LIBS"))
		FAIL() << missing;
	if (!have_devlibs && !have_ubusd)
		GTEST_SKIP() << missing;
	if (!missing.empty())
		printf("partly skipped: %s\n", missing.c_str());

	for (const char *mode : {"re", "router", "wifiap", "lanap"}) {
		SCOPED_TRACE(mode);
		// The normal build on vimbd first, then each variant here.
		std::vector<const variant *> runs = {nullptr};
		for (const variant &v : variants) {
			if ((!v.devlibs || have_devlibs) && (!v.ubusd || have_ubusd))
				runs.push_back(&v);
		}
		// Brought up side by side: a start is seconds of waiting.
		std::vector<std::unique_ptr<satellite>> sats(runs.size());
		std::vector<std::vector<std::string>> clients(runs.size(), {"vimb", "-t", "5"});
		std::vector<std::string> names(runs.size());
		std::vector<std::thread> starting;
		for (size_t i = 0; i < runs.size(); i++) {
			satellite_options opts;
			opts.mode = mode;
			opts.wait_up = false;
			if (runs[i] && runs[i]->devlibs)
				opts.kestrad_bin = devlibs_kestrad();
			if (runs[i] && runs[i]->ubusd) {
				opts.ubusd = ubusd;
				clients[i] = {ubus, "-s", ubusd_socket, "-t", "5"};
			}
			// Started here: what a test spawns dies with the thread
			// that spawned it.
			sats[i] = std::make_unique<satellite>(opts);
			starting.emplace_back([&, i] {
				if (!sats[i]->wait_up())
					return;
				std::vector<std::string> list = clients[i];
				list.push_back("list");
				wait_until([&] { return !(names[i] = sats[i]->exec(list).out).empty(); }, 10000);
			});
		}
		for (auto &t : starting)
			t.join();
		for (size_t i = 0; i < runs.size(); i++)
			ASSERT_EQ(names[i], obj + "\n") << (runs[i] ? runs[i]->name : "normal") << sats[i]->log();

		const satellite &want_sat = *sats[0];
		auto want = run_mode(want_sat, clients[0]);
		const std::vector<std::string> methods = methods_of(want["list -v"]);
		EXPECT_FALSE(methods.empty());
		for (size_t i = 1; i < runs.size(); i++) {
			SCOPED_TRACE(runs[i]->name);
			const satellite &got_sat = *sats[i];
			auto got = run_mode(got_sat, clients[i], methods);
			for (const auto &[what, text] : want)
				EXPECT_EQ(got[what], text) << what;
			for (const char *script : method_scripts) {
				EXPECT_TRUE(wait_until([&] { return argv_of(got_sat, script) == argv_of(want_sat, script); },
						       10000))
					<< script;
			}
		}
	}
}

} // namespace

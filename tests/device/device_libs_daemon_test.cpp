// kestrad on the device's own platform, on the simulated satellite: built
// from src/ against the device's libubox, libubus and libuci (the oracle of
// scripts/reference, with its shim for the two remote extensions;
// build-devlibs/, see scripts/test) against vimbd, and this build's and that
// one against the device's ubusd (behind busrelay, reached over TCP as vimbd
// is) called with the device's `ubus`. In every mode, every method published
// gives the same replies and leaves the same files and script calls as the
// normal build against vimbd called with vimb.
#include "support/proc.h"
#include "support/satellite.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using testing_support::read_file;
using testing_support::run_result;
using testing_support::satellite;
using testing_support::satellite_options;
using testing_support::ubusd_socket;
using testing_support::wait_until;

namespace {

const std::string obj = "192.0.2.2-@kestrad";

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

std::string quoted(const std::string &s)
{
	std::string q = "'";
	for (char c : s)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

// The methods a `-v list` names.
std::vector<std::string> methods_of(const std::string &listing)
{
	std::vector<std::string> methods;
	std::istringstream lines(listing);
	for (std::string line; std::getline(lines, line);) {
		if (line.size() >= 3 && line[0] == '\t')
			methods.push_back(line.substr(2, line.find('"', 2) - 2));
	}
	return methods;
}

// CLIENT is the bus tool's command line up to its command (vimb or ubus);
// METHODS, those to call (the normal build's; empty: those listed here).
std::map<std::string, std::string> run_mode(const satellite &sat, const std::vector<std::string> &client,
					    std::vector<std::string> methods = {})
{
	std::map<std::string, std::string> seen;
	sat.behave("readmac", "output='02:00:00:00:aa:bb'");
	sat.behave("bhstat", "status=17");
	std::vector<std::string> list = client;
	list.insert(list.end(), {"-v", "list"});
	run_result listing = sat.exec(list);
	// The object's id is the bus daemon's count of what connected and
	// published before it; vimbd, ubusd and the device's library count
	// differently.
	std::string ids_out = listing.out;
	if (size_t at = ids_out.find("' @"); at != std::string::npos)
		ids_out.replace(at + 3, 8, "ID");
	seen["list -v"] = ids_out + listing.err;

	// Every call in one shell inside: a `satellite exec` each would be
	// most of the test's time.
	const std::string out = sat.dir() + "/calls";
	mkdir(out.c_str(), 0755);
	std::string script = "cd " + quoted(out) + " || exit 1\n";
	std::vector<std::string> calls;
	if (methods.empty())
		methods = methods_of(listing.out);
	for (const std::string &method : methods) {
		auto example = examples.find(method);
		for (const std::string &args : {example == examples.end() ? std::string("{}") : example->second,
						std::string("{}")}) {
			std::string n = std::to_string(calls.size());
			calls.push_back(method + " " + args);
			script += "\"$@\" call " + obj + " " + method + " " + quoted(args) + " >" + n + ".out 2>" + n +
				  ".err; echo $? >" + n + ".status\n";
		}
	}
	script += "cat /var/run/kestrad_whc_sync >settings 2>/dev/null\nexit 0\n";
	std::vector<std::string> shell = {"sh", "-c", script, "sh"};
	shell.insert(shell.end(), client.begin(), client.end());
	run_result ran = sat.exec(shell, 120000);
	EXPECT_EQ(ran.status, 0) << ran.err;
	for (size_t i = 0; i < calls.size(); i++) {
		std::string n = out + "/" + std::to_string(i);
		seen[calls[i]] = read_file(n + ".out") + "status " + read_file(n + ".status") + read_file(n + ".err");
	}
	seen["settings file"] = read_file(out + "/settings");
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
			for (const char *script : {"kestrad_whc_sync.sh", "kestrad_maclist_reload.sh", "wifi"}) {
				EXPECT_TRUE(wait_until([&] { return argv_of(got_sat, script) == argv_of(want_sat, script); },
						       10000))
					<< script;
			}
		}
	}
}

} // namespace

// kestrad as the device runs it: the simulated satellite booted with the
// device's procd as PID 1 (`satellite start --procd`, the userland of
// scripts/userland), kestrad built against the device's libraries (else
// musl's) and installed by its OpenWrt package's own recipe, then started,
// respawned, reloaded, stopped and shut down by procd through
// /etc/init.d/kestrad, each under the real event.
#include "support/method_calls.h"
#include "support/proc.h"
#include "support/satellite.h"
#include "support/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;

namespace {

const std::string &obj = testing_support::kestrad_object;
// The package's defaults (files/kestrad.config, files/kestrad.init).
constexpr int respawn_threshold = 3600, respawn_timeout_s = 5, respawn_retry = 5;

bool executable(const std::string &path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

// The kestrad of a device image: built against the device's libraries,
// else musl's.
std::string device_kestrad()
{
	if (const char *bin = getenv("KESTRAD_DEVICE_LIBS_BIN"); bin && *bin)
		return bin;
	for (std::string bin : {std::string(KESTRAD_DEVICE_LIBS_BIN_DIR) + "/kestrad",
				std::string(KESTRAD_SOURCE_DIR) + "/build-musl/bin/kestrad"}) {
		if (executable(bin))
			return bin;
	}
	return "";
}

std::string missing_pieces()
{
	std::string missing;
	const char *userland = getenv("KESTRAD_USERLAND");
	struct stat st;
	if (!userland || !*userland || stat((std::string(userland) + "/rootfs/sbin/procd").c_str(), &st) != 0)
		missing += "no device userland in $KESTRAD_USERLAND (scripts/userland); ";
	if (device_kestrad().empty())
		missing += "no kestrad built against the device's libraries (build-devlibs/) or with musl; ";
	return missing;
}

// scripts/test builds the userland and sets KESTRAD_REQUIRE_USERLAND: there
// a missing piece fails.
#define REQUIRE_PROCD()                                                    \
	do {                                                               \
		REQUIRE_ROOT();                                            \
		std::string missing = missing_pieces();                    \
		if (!missing.empty()) {                                    \
			if (getenv("KESTRAD_REQUIRE_USERLAND"))            \
				FAIL() << missing;                         \
			GTEST_SKIP() << missing;                           \
		}                                                          \
	} while (0)

satellite_options procd_options(const std::string &mode, bool wait_up = true)
{
	satellite_options opts;
	opts.mode = mode;
	opts.procd = true;
	opts.kestrad_bin = device_kestrad();
	opts.wait_up = wait_up;
	return opts;
}

// What `ubus call service list` says of kestrad.
struct instance {
	int count = 0;    // instances
	std::string name; // the first's
	bool running = false;
	int pid = 0;
	std::vector<std::string> command;
	std::vector<int> respawn; // threshold, timeout, retry
	bool triggered = false;   // config.change of the kestrad package reloads it
};

instance kestrad_instance(const satellite &sat)
{
	run_result r = sat.exec({"ubus", "call", "service", "list", R"({"name":"kestrad","verbose":true})"});
	instance in;
	auto j = nlohmann::json::parse(r.out, nullptr, false);
	if (j.is_discarded() || !j.contains("kestrad"))
		return in;
	const auto &service = j["kestrad"];
	if (service.contains("triggers"))
		in.triggered = service["triggers"].dump().find(R"("eq","package","kestrad")") != std::string::npos;
	if (!service.contains("instances"))
		return in;
	in.count = static_cast<int>(service["instances"].size());
	if (in.count == 0)
		return in;
	in.name = service["instances"].begin().key();
	const auto &i = service["instances"].begin().value();
	in.running = i.value("running", false);
	in.pid = i.value("pid", 0);
	for (const auto &word : i.value("command", nlohmann::json::array()))
		in.command.push_back(word.get<std::string>());
	if (i.contains("respawn"))
		in.respawn = {i["respawn"].value("threshold", -1), i["respawn"].value("timeout", -1),
			      i["respawn"].value("retry", -1)};
	return in;
}

// The id of kestrad's object on the CAP's vimbd ("" when none): a new
// publication has a new one.
std::string object_id(const satellite &sat)
{
	std::string out = sat.vimb({"-v", "list"}).out;
	size_t at = out.find("'" + obj + "' @");
	return at == std::string::npos ? "" : out.substr(at + obj.size() + 4, 8);
}

// Published anew (another id than `old_id`) within `ms`, by a running
// instance other than `old_pid`; `seen` is when the new id was first seen.
bool republished(const satellite &sat, int old_pid, const std::string &old_id, long long ms,
		 long long *seen = nullptr)
{
	bool published = wait_until([&] {
		std::string id = object_id(sat);
		return !id.empty() && id != old_id;
	}, static_cast<int>(ms));
	if (seen)
		*seen = monotonic_ms();
	if (!published)
		return false;
	instance in = kestrad_instance(sat);
	return in.running && in.pid > 0 && in.pid != old_pid;
}

bool call_answers(const satellite &sat, const std::string &method, const std::string &args)
{
	run_result r = sat.vimb({"call", obj, method, args});
	return r.status == 0 && r.out.find("\"return\"") != std::string::npos;
}

run_result sh(const satellite &sat, const std::string &script) { return sat.exec({"sh", "-c", script}); }

// The last call of stand-in NAME once it has started.
call_record started(const satellite &sat, const std::string &name, size_t calls_before)
{
	call_record last;
	EXPECT_TRUE(wait_until([&] {
		auto calls = sat.calls(name);
		if (calls.size() <= calls_before || calls.back().start == 0)
			return false;
		last = calls.back();
		return true;
	}, 10000)) << name << " did not start";
	return last;
}

// The same call once it has ended.
call_record ended(const satellite &sat, const std::string &name, double start, int ms)
{
	call_record rec;
	wait_until([&] {
		for (const auto &c : sat.calls(name)) {
			if (c.start == start && c.end > 0) {
				rec = c;
				return true;
			}
		}
		return false;
	}, ms);
	return rec;
}

TEST(Procd, BootsPublishesAndRespawnsAfterEveryEnd)
{
	REQUIRE_PROCD();
	satellite sat(procd_options("router"));
	ASSERT_TRUE(sat.up());
	// Boot to published: measured 1.3 to 1.8 s on two busy cores (procd
	// about 0.6 s, then kestrad's first connect 1 s after its start).
	std::string id;
	ASSERT_TRUE(wait_until([&] { return !(id = object_id(sat)).empty(); }, 10000)) << sat.log();
	double boot_s = wall_clock_s() - sat.boot_start();
	printf("boot to published: %.2f s\n", boot_s);
	EXPECT_LT(boot_s, scaled_ms(6000) / 1000.0);

	instance in = kestrad_instance(sat);
	EXPECT_EQ(in.count, 1);
	EXPECT_EQ(in.name, "instance1");
	EXPECT_TRUE(in.running);
	EXPECT_EQ(in.command, std::vector<std::string>{"/usr/sbin/kestrad"});
	EXPECT_EQ(in.respawn, (std::vector<int>{respawn_threshold, respawn_timeout_s, respawn_retry}));
	EXPECT_TRUE(in.triggered);
	EXPECT_EQ(sh(sat, "/etc/init.d/kestrad enabled").status, 0);
	EXPECT_NE(sh(sat, "logread -e marovela_sync").out.find("successful to publish object '" + obj + "'"),
		  std::string::npos);
	EXPECT_TRUE(call_answers(sat, "test", R"({"hello":"abc"})"));

	// Each end, by whatever signal, is followed by a start after the
	// respawn delay and a new publication of the same name.
	for (int signo : {SIGKILL, SIGSEGV, SIGTERM}) {
		SCOPED_TRACE(strsignal(signo));
		int pid = in.pid;
		ASSERT_EQ(sat.exec({"kill", "-" + std::to_string(signo), std::to_string(pid)}).status, 0);
		long long killed = monotonic_ms(), seen = 0; // the kill is done by now
		ASSERT_TRUE(republished(sat, pid, id, scaled_ms((respawn_timeout_s + 2) * 1000), &seen)) << sat.log();
		long long back_ms = seen - killed;
		printf("%s to republished: %lld ms\n", strsignal(signo), back_ms);
		EXPECT_GE(back_ms, respawn_timeout_s * 1000 - 500);
		EXPECT_TRUE(call_answers(sat, "test", R"({"hello":"abc"})"));
		id = object_id(sat);
		in = kestrad_instance(sat);
		EXPECT_EQ(in.count, 1);
	}
}

// reload_config restarts kestrad when its package changed, with the
// command line the package now gives; /etc/init.d/kestrad reload restarts
// it when that or what kestrad reads only at start (the mode) changed, and
// not otherwise.
TEST(Procd, ReloadRestartsOnlyWhenSomethingChanged)
{
	REQUIRE_PROCD();
	satellite sat(procd_options("router"));
	ASSERT_TRUE(sat.up());
	std::string id;
	ASSERT_TRUE(wait_until([&] { return !(id = object_id(sat)).empty(); }, scaled_ms(10000))) << sat.log();
	int pid = kestrad_instance(sat).pid;

	struct step {
		const char *what, *script;
		std::vector<std::string> command;
	};
	const step steps[] = {
		{"gateway set", "uci set kestrad.main.gateway=192.0.2.1; uci commit kestrad; reload_config",
		 {"/usr/sbin/kestrad", "-g", "192.0.2.1"}},
		{"gateway cleared", "uci delete kestrad.main.gateway; uci commit kestrad; reload_config",
		 {"/usr/sbin/kestrad"}},
		// kestrad logs to stderr, which procd passes to the log.
		{"log to stderr", "uci set kestrad.main.log_stderr=1; uci commit kestrad; reload_config",
		 {"/usr/sbin/kestrad", "-S"}},
		{"log to syslog", "uci set kestrad.main.log_stderr=0; uci commit kestrad; reload_config",
		 {"/usr/sbin/kestrad"}},
		// Nothing changed: no restart. The next step's restart is the one
		// the log counts after it.
		{"nothing changed", "/etc/init.d/kestrad reload; reload_config", {}},
		{"mode changed", "uci set marovela.common.NETMODE=whc_re; uci commit marovela; /etc/init.d/kestrad reload",
		 {"/usr/sbin/kestrad"}},
	};
	size_t restarts = 0;
	for (const step &s : steps) {
		SCOPED_TRACE(s.what);
		long long at = monotonic_ms();
		ASSERT_EQ(sh(sat, s.script).status, 0);
		if (s.command.empty())
			continue;
		restarts++;
		ASSERT_TRUE(republished(sat, pid, id, scaled_ms(10000))) << sat.log();
		printf("%s: republished after %lld ms\n", s.what, monotonic_ms() - at);
		instance in = kestrad_instance(sat);
		EXPECT_EQ(in.command, s.command);
		EXPECT_EQ(in.count, 1);
		// Each start publishes once; a kestrad logging through procd may
		// lose its last line, "got signal(15)", at its end.
		const std::string published = "successful to publish object";
		wait_until([&] { return count(sat.log(), published) >= 1 + restarts; }, 5000);
		EXPECT_EQ(count(sat.log(), published), 1 + restarts) << sat.log();
		if (s.command.back() == "-S") {
			// procd's line for kestrad's stderr: its ident and pid
			EXPECT_NE(sat.log().find("kestrad[" + std::to_string(in.pid) + "]: kestrad_add_object"),
				  std::string::npos)
				<< sat.log();
		}
		pid = in.pid;
		id = object_id(sat);
	}
	// The RE object now: its methods, not the router's.
	auto methods = methods_of(sat.vimb({"-v", "list"}).out);
	EXPECT_NE(std::find(methods.begin(), methods.end(), "whc_sync"), methods.end());
	EXPECT_EQ(std::find(methods.begin(), methods.end(), "test"), methods.end());

	// A conffile kept from an older package, without the newer options:
	// their defaults.
	sat.set_config("kestrad", "\nconfig kestrad 'main'\n\toption gateway ''\n");
	ASSERT_EQ(sh(sat, "/etc/init.d/kestrad restart").status, 0);
	ASSERT_TRUE(republished(sat, pid, id, scaled_ms(10000))) << sat.log();
	instance in = kestrad_instance(sat);
	EXPECT_EQ(in.command, std::vector<std::string>{"/usr/sbin/kestrad"});
	EXPECT_EQ(in.respawn, (std::vector<int>{respawn_threshold, respawn_timeout_s, respawn_retry}));
}

// A kestrad that ends at once (a bad gateway in its configuration) is
// started again at the respawn interval, respawn_retry times, logging a
// few lines each time, then left stopped with procd's one line about the
// crash loop; mended and reloaded, it runs again.
TEST(Procd, ACrashLoopIsRetriedAtTheIntervalThenLeftWithoutFlooding)
{
	REQUIRE_PROCD();
	satellite sat(procd_options("router"));
	ASSERT_TRUE(sat.up());
	ASSERT_TRUE(wait_until([&] { return !object_id(sat).empty(); }, scaled_ms(10000))) << sat.log();
	size_t lines_before = count(sat.log(), "\n");
	ASSERT_EQ(sh(sat, "uci set kestrad.main.gateway=not-an-address; uci commit kestrad; reload_config").status, 0);

	// Each start's first line, timed as it comes.
	std::vector<long long> starts;
	const std::string start_line = "ip format error";
	ASSERT_TRUE(wait_until([&] {
		std::string log = sat.log();
		while (count(log, start_line) > starts.size())
			starts.push_back(monotonic_ms());
		return log.find("in a crash loop") != std::string::npos;
	}, scaled_ms((respawn_retry + 2) * (respawn_timeout_s + 2) * 1000))) << sat.log();
	EXPECT_EQ(starts.size(), static_cast<size_t>(1 + respawn_retry)) << sat.log();
	for (size_t i = 1; i < starts.size(); i++) {
		EXPECT_GE(starts[i] - starts[i - 1], respawn_timeout_s * 1000 - 500) << i;
		EXPECT_LE(starts[i] - starts[i - 1], scaled_ms((respawn_timeout_s + 2) * 1000)) << i;
	}
	instance in = kestrad_instance(sat);
	EXPECT_FALSE(in.running);
	// kestrad's two lines and the reload's restart: a handful per start.
	size_t lines = count(sat.log(), "\n") - lines_before;
	EXPECT_LE(lines, 4 * starts.size() + 4) << sat.log();

	ASSERT_EQ(sh(sat, "uci delete kestrad.main.gateway; uci commit kestrad; reload_config").status, 0);
	EXPECT_TRUE(wait_until([&] { return !object_id(sat).empty(); }, scaled_ms(10000))) << sat.log();
	EXPECT_TRUE(kestrad_instance(sat).running);
}

// What becomes of a worker's script still running when kestrad is stopped,
// restarted, disabled and enabled, or the device shuts down: a settings
// script runs to its end (only a shutdown ends it, as it ends everything),
// and a script that only the slot's time-out bounds still ends at that
// time-out after kestrad has gone.
TEST(Procd, RunningScriptsOnStopRestartDisableAndShutdown)
{
	REQUIRE_PROCD();
	satellite sat(procd_options("re"));
	ASSERT_TRUE(sat.up());
	ASSERT_TRUE(wait_until([&] { return !object_id(sat).empty(); }, scaled_ms(10000))) << sat.log();
	constexpr double script_s = 2;
	sat.behave(whc_sync_script_name, "delay=" + std::to_string(script_s));
	sat.behave("re_common_action.sh", "delay=" + std::to_string(script_s));
	sat.behave("bind_owner.sh", "delay=60");
	constexpr int bind_timeout_s = 5; // the bind worker's time-out

	// Starts both settings scripts, does `event`, and sees them end.
	auto settle = [&](const char *event, bool bind_too) {
		SCOPED_TRACE(event);
		size_t syncs = sat.calls(whc_sync_script_name).size(), actions = sat.calls("re_common_action.sh").size(),
		       binds = sat.calls("bind_owner.sh").size();
		ASSERT_TRUE(call_answers(sat, "whc_sync", R"({"ssid":"Home","pswd":"secret12"})"));
		ASSERT_TRUE(call_answers(sat, "common_set", R"({"action":"status"})"));
		call_record sync = started(sat, whc_sync_script_name, syncs);
		call_record action = started(sat, "re_common_action.sh", actions);
		call_record bind;
		if (bind_too) {
			ASSERT_TRUE(call_answers(sat, "bind", R"({"record":"r1","deviceID":"D1","sign":"S1"})"));
			bind = started(sat, "bind_owner.sh", binds);
		}
		long long at = monotonic_ms();
		run_result r = sh(sat, std::string("/etc/init.d/kestrad ") + event);
		ASSERT_EQ(r.status, 0) << r.err;
		printf("%s took %lld ms\n", event, monotonic_ms() - at);
		for (const call_record *c : {&sync, &action}) {
			call_record done = ended(sat, c->argv[0].substr(c->argv[0].rfind('/') + 1), c->start,
						 scaled_ms(static_cast<int>(script_s * 1000) + 5000));
			EXPECT_EQ(done.status, 0) << c->argv[0] << ": not run to its end";
			EXPECT_GE(done.end - done.start, script_s - 0.1) << c->argv[0];
		}
		if (bind_too) {
			call_record done = ended(sat, "bind_owner.sh", bind.start, scaled_ms((bind_timeout_s + 4) * 1000));
			EXPECT_GT(done.end, 0) << "bind_owner.sh outlived its time-out";
			EXPECT_EQ(done.status, -1);
			EXPECT_LT(done.end - done.start, bind_timeout_s + 3); // its guard's second of grace
		}
	};

	settle("stop", true);
	instance in = kestrad_instance(sat);
	EXPECT_FALSE(in.running);
	EXPECT_TRUE(object_id(sat).empty());
	ASSERT_EQ(sh(sat, "/etc/init.d/kestrad start").status, 0);
	ASSERT_TRUE(wait_until([&] { return !object_id(sat).empty(); }, scaled_ms(10000))) << sat.log();

	int pid = kestrad_instance(sat).pid;
	settle("restart", false);
	ASSERT_TRUE(wait_until([&] { return !object_id(sat).empty(); }, scaled_ms(10000))) << sat.log();
	EXPECT_NE(kestrad_instance(sat).pid, pid);

	// disable and enable change the boot links alone.
	pid = kestrad_instance(sat).pid;
	settle("disable", false);
	EXPECT_NE(sh(sat, "/etc/init.d/kestrad enabled").status, 0);
	EXPECT_EQ(sh(sat, "ls /etc/rc.d").out.find("kestrad"), std::string::npos);
	settle("enable", false);
	EXPECT_EQ(sh(sat, "/etc/init.d/kestrad enabled").status, 0);
	EXPECT_EQ(sh(sat, "ls /etc/rc.d").out, "K10kestrad\nS10boot\nS99kestrad\n");
	EXPECT_EQ(kestrad_instance(sat).pid, pid);

	// Shutdown: procd stops kestrad (K10kestrad), then ends every process,
	// the script too.
	size_t syncs = sat.calls(whc_sync_script_name).size();
	sat.behave(whc_sync_script_name, "delay=60");
	ASSERT_TRUE(call_answers(sat, "whc_sync", R"({"ssid":"Home","pswd":"secret12"})"));
	call_record sync = started(sat, whc_sync_script_name, syncs);
	long long at = monotonic_ms();
	sat.exec({"kill", "-TERM", "1"});
	ASSERT_TRUE(sat.wait_down(static_cast<int>(scaled_ms(30000))));
	printf("shutdown took %lld ms\n", monotonic_ms() - at);
	// What is logged after procd's first line may find syslogd gone:
	// kestrad's "got signal(15)", procd's "- SIGTERM processes -".
	EXPECT_NE(sat.log().find("procd: - shutdown -"), std::string::npos) << sat.log();
	for (const auto &c : sat.calls(whc_sync_script_name)) {
		if (c.start == sync.start) {
			EXPECT_EQ(c.status, -1) << "the shutdown left the script running";
		}
	}
}

// Every method of every mode, called once from the CAP's side through the
// procd-started kestrad, answers and leaves files and script calls as the
// same kestrad started by hand.
TEST(Procd, EveryMethodOfEveryModeAnswersAsTheHandStartedKestrad)
{
	REQUIRE_PROCD();
	const std::vector<std::string> client = {"vimb", "-t", "5"};
	for (const char *mode : {"re", "router", "wifiap", "lanap"}) {
		SCOPED_TRACE(mode);
		satellite_options by_hand;
		by_hand.mode = mode;
		by_hand.kestrad_bin = device_kestrad();
		by_hand.wait_up = false;
		// Started here, waited for side by side: what a test spawns dies
		// with the thread that spawned it.
		satellite hand(by_hand), device(procd_options(mode, false));
		std::thread waiting([&] { hand.wait_up(); });
		device.wait_up();
		waiting.join();
		ASSERT_TRUE(hand.up() && device.up());
		ASSERT_EQ(hand.object(10000), obj) << hand.log();
		ASSERT_EQ(device.object(10000), obj) << device.log();

		auto want = run_mode(hand, client);
		auto got = run_mode(device, client, methods_of(want["list -v"]));
		for (const auto &[what, text] : want)
			EXPECT_EQ(got[what], text) << what;
		for (const char *script : method_scripts) {
			EXPECT_TRUE(wait_until([&] { return argv_of(device, script) == argv_of(hand, script); }, 10000))
				<< script;
		}
	}
}

} // namespace

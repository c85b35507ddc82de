// Faults the field brings, one case each, on the simulated satellite: a full
// or read-only /etc/config under access, every worker slot busy, scripts
// that fork and hang, a readmac that never answers, a long stored password,
// secrets in the log and the settings file, a full /var/run. Then a loop of
// hostile access requests with /etc/config filling and emptying beside it
// ($KESTRAD_ACCESS_LOOP_SECONDS, default 10; scripts/soak-access runs 600).
#include "support/proc.h"
#include "support/satellite.h"
#include "support/spawn.h"
#include "support/method_calls.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <uci.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using json = nlohmann::ordered_json;
using namespace testing_support;

namespace {

const std::string &obj = testing_support::kestrad_object;

const std::string success = vimb_return("success");
const std::string uci_error = vimb_return("fail, uci error");
const std::string sync_busy = vimb_return(" fail, sync work active!");

std::string mac(int i)
{
	char buf[32];
	snprintf(buf, sizeof buf, "02:00:00:00:%02x:%02x", (i >> 8) & 0xff, i & 0xff);
	return buf;
}

std::string mac_list(int from, int n)
{
	std::string out;
	for (int i = 0; i < n; i++)
		out += (i ? ";" : "") + mac(from + i);
	return out;
}

// One process inside the satellite.
struct proc_entry {
	int pid, ppid, pgrp;
	std::string cmdline;
};

class FieldFaults : public ::testing::Test {
protected:
	void SetUp() override { REQUIRE_ROOT(); }

	std::unique_ptr<satellite> start(const std::string &mode = "re")
	{
		satellite_options opts;
		opts.mode = mode;
		auto sat = std::make_unique<satellite>(opts);
		if (!sat->up() || sat->object(30000) != obj)
			return nullptr;
		return sat;
	}

	static std::string call(const satellite &sat, const std::string &method, const std::string &args)
	{
		return sat.vimb({"call", obj, method, args}).out;
	}
	static std::string sh(const satellite &sat, const std::string &script, int ms = 30000)
	{
		return sat.exec({"sh", "-c", script}, ms).out;
	}

	// Every process inside but the one that lists them.
	static std::vector<proc_entry> processes(const satellite &sat)
	{
		std::string out = sh(sat, R"sh(for d in /proc/[0-9]*; do
	p=${d#/proc/}; [ "$p" = $$ ] && continue
	read -r s <"$d/stat" 2>/dev/null || continue
	r=${s##*) }; set -- $r; [ "$2" = $$ ] && continue
	printf '%s %s %s %s\n' "$p" "$2" "$3" "$(tr '\0' ' ' <"$d/cmdline" 2>/dev/null)"
done)sh");
		std::vector<proc_entry> list;
		std::istringstream in(out);
		for (std::string line; std::getline(in, line);) {
			proc_entry e;
			std::istringstream l(line);
			l >> e.pid >> e.ppid >> e.pgrp;
			std::getline(l >> std::ws, e.cmdline);
			list.push_back(e);
		}
		return list;
	}

	static bool group_gone(const satellite &sat, int pgrp, int member)
	{
		for (const auto &p : processes(sat)) {
			if (p.pgrp == pgrp || p.pid == member)
				return false;
		}
		return true;
	}
};

// The process ids a stand-in recorded: NAME.<ns>.<pid>.argv.
std::vector<int> standin_pids(const satellite &sat, const std::string &name)
{
	std::vector<int> out;
	std::regex re("^" + std::regex_replace(name, std::regex(R"(\.)"), R"(\.)") + R"(\.\d+\.(\d+)\.argv$)");
	if (DIR *d = opendir((sat.dir() + "/records").c_str())) {
		while (struct dirent *e = readdir(d)) {
			std::cmatch m;
			if (std::regex_match(e->d_name, m, re))
				out.push_back(std::stoi(m[1].str()));
		}
		closedir(d);
	}
	return out;
}

// /etc/config on a small tmpfs of the satellite's own (a flash overlay's
// stand-in), so that it can fill up and be remounted read-only.
void config_on_tmpfs(const satellite &sat)
{
	std::string setup = "set -e; d=" + sat.dir() + "/tmpfs; mkdir -p $d; mount -t tmpfs -o size=256k tmpfs $d; "
			    "cp -a /etc/config/. $d/; mount --bind $d /etc/config";
	ASSERT_EQ(sat.exec({"sh", "-c", setup}).status, 0);
}

// Every other write of a method under the same two faults: the reply says
// what its method may say, the packages keep every byte, the level-3 lines
// name the error, nothing is started on settings that were not stored; and
// with room again the same request lands. Before: notice said "success"
// before writing and ran the relink, whc_quire logged its saves, and the
// devicelist setters returned 0, all on settings never stored.
struct write_fault_case {
	std::string mode, method;
	std::string prepare; // made before the fault, when not empty
	std::string request, reply_on_fault;
	std::vector<std::string> packages;
	std::vector<std::string> lines; // regexes; ERRNO stands for the errno's text
	std::string standin; // started once the settings are stored
};

TEST_F(FieldFaults, EveryWriteOnAFullOrReadOnlyConfigIsReportedAndStartsNothing)
{
	const std::string list = mac_list(0, 3);
	const std::vector<write_fault_case> cases = {
		{"wifiap", "notice", "",
		 json({{"ssid", "TmV3SG9tZQ=="}, {"passwd", "bmV3c2VjcmV0"}, {"ssid_5g", "TmV3SG9tZTU="},
		       {"passwd_5g", "bmV3c2VjcmV0NQ=="}}).dump(),
		 "fail, uci error", {"marovela"},
		 {R"(kestrad_handle_desc\(\d+\):marovela commit failed: I/O error \(ERRNO\)\n)"}, "lua"},
		{"re", "whc_quire", "", R"({"cap_devid":"CAP0042","webpasswd":"newpass1"})", "success",
		 {"bind", "account"},
		 {R"(kestrad_handle_whc_quire\(\d+\):bind commit failed: I/O error \(ERRNO\)\n)",
		  R"(kestrad_handle_whc_quire\(\d+\):account commit failed: I/O error \(ERRNO\)\n)"},
		 ""},
		{"re", "access", json({{"policy", 1}, {"list", list}}).dump(),
		 json({{"policy", 1}, {"list", list}, {"level", 3}, {"auth", 1}}).dump(), "success", {"devicelist"},
		 {R"(uci_set_devicelist_level\(\d+\):devicelist commit failed: I/O error \(ERRNO\)\n)",
		  R"(kestrad_handle_macList_desc\(\d+\): uci_set_devicelist_level\(\) error\n)",
		  R"(uci_set_devicelist_auth\(\d+\):devicelist commit failed: I/O error \(ERRNO\)\n)",
		  R"(kestrad_handle_macList_desc\(\d+\): uci_set_devicelist_auth\(\) error\n)"},
		 ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.method);
		auto sat = start(c.mode);
		ASSERT_TRUE(sat);
		if (!c.prepare.empty()) {
			ASSERT_EQ(call(*sat, c.method, c.prepare), success);
		}
		config_on_tmpfs(*sat);
		// what the satellite's /etc/config holds now, the tmpfs
		auto stored = [&](const std::string &package) { return sat->exec({"cat", "/etc/config/" + package}).out; };
		std::map<std::string, std::string> before;
		for (const auto &p : c.packages)
			before[p] = stored(p);
		size_t started = c.standin.empty() ? 0 : sat->calls(c.standin).size();
		// the last field of the reply, "return"
		auto reply = [&] {
			std::smatch m;
			std::string out = call(*sat, c.method, c.request);
			return std::regex_search(out, m, std::regex(R"re(\t"return": "([^"]*)"\n\}\n$)re")) ? m[1].str() : out;
		};
		auto unchanged = [&](const std::string &errno_text) {
			EXPECT_EQ(reply(), c.reply_on_fault);
			for (const auto &p : c.packages)
				EXPECT_EQ(stored(p), before[p]) << p;
			for (const auto &line : c.lines)
				EXPECT_TRUE(has(sat->log(), std::regex_replace(line, std::regex("ERRNO"), errno_text)))
					<< line << "\n" << sat->log();
		};

		ASSERT_EQ(sh(*sat, "{ dd if=/dev/zero of=/etc/config/filler bs=4k 2>/dev/null; true; }; echo done"),
			  "done\n");
		unchanged("No space left on device");
		ASSERT_EQ(sat->exec({"rm", "/etc/config/filler"}).status, 0);
		ASSERT_EQ(sat->exec({"mount", "-o", "remount,ro", "/etc/config"}).status, 0);
		unchanged("Read-only file system");
		EXPECT_EQ(count(sat->log(), " save devid from cap"), 0u);
		EXPECT_EQ(count(sat->log(), " save web passwd from cap"), 0u);

		ASSERT_EQ(sat->exec({"mount", "-o", "remount,rw", "/etc/config"}).status, 0);
		EXPECT_EQ(reply(), "success");
		for (const auto &p : c.packages)
			EXPECT_NE(stored(p), before[p]) << p;
		if (!c.standin.empty()) {
			EXPECT_TRUE(wait_until([&] { return sat->calls(c.standin).size() == started + 1; }, 5000));
			EXPECT_EQ(sat->calls(c.standin).size(), started + 1);
		}
	}
}

// A full tmpfs, a read-only remount and an unloadable file: the rewrite is
// one change of the package or none, and a failure says so and starts no
// reload. Before: the clearing commit went through and the rewrite's did
// not, every filter "disabled", every list gone, "success" and a reload.
TEST_F(FieldFaults, AccessOnAFullOrReadOnlyConfigChangesAllOrNothingAndSaysSo)
{
	auto sat = start();
	ASSERT_TRUE(sat);
	// lists long enough that clearing shrinks the file and the rewrite
	// grows it by pages
	std::string old_list = mac_list(0, 120), new_list = mac_list(1000, 300);
	ASSERT_EQ(call(*sat, "access", json({{"policy", 1}, {"list", old_list}}).dump()), success);
	ASSERT_TRUE(wait_until([&] { return sat->calls("wifi").size() == 1; }, 5000));
	config_on_tmpfs(*sat);
	auto wireless = [&] { return sat->exec({"cat", "/etc/config/wireless"}).out; };
	const std::string before = wireless();
	ASSERT_NE(before.find(mac(119)), std::string::npos);
	// room for the cleared file (one page) and not for the rewritten one
	ASSERT_EQ(sat->exec({"sh", "-c", "dd if=/dev/zero of=/etc/config/hole bs=4k count=2 2>/dev/null && "
					 "{ dd if=/dev/zero of=/etc/config/filler bs=4k 2>/dev/null; true; } && "
					 "rm /etc/config/hole"}).status, 0);

	const std::string request = json({{"policy", 2}, {"list", new_list}}).dump();
	for (int attempt = 0; attempt < 2; attempt++) {
		EXPECT_EQ(call(*sat, "access", request), uci_error);
		EXPECT_EQ(wireless(), before);
	}
	EXPECT_EQ(count(sat->log(), "wireless commit failed: I/O error (No space left on device)\n"), 2u) << sat->log();
	EXPECT_TRUE(has(sat->log(), R"(kestrad_handle_macList_desc\(\d+\):wireless commit failed: I/O error \(No space)"));
	EXPECT_EQ(sat->calls("wifi").size(), 1u);

	ASSERT_EQ(sat->exec({"rm", "/etc/config/filler"}).status, 0);
	ASSERT_EQ(sat->exec({"mount", "-o", "remount,ro", "/etc/config"}).status, 0);
	EXPECT_EQ(call(*sat, "access", request), uci_error);
	EXPECT_EQ(wireless(), before);
	EXPECT_NE(sat->log().find("wireless commit failed: I/O error (Read-only file system)\n"), std::string::npos);
	EXPECT_EQ(sat->calls("wifi").size(), 1u);

	ASSERT_EQ(sat->exec({"mount", "-o", "remount,rw", "/etc/config"}).status, 0);
	EXPECT_EQ(call(*sat, "access", request), success);
	EXPECT_NE(wireless().find("list maclist '" + mac(1299) + "'"), std::string::npos);
	EXPECT_EQ(wireless().find(mac(0)), std::string::npos);
	EXPECT_TRUE(wait_until([&] { return sat->calls("wifi").size() == 2; }, 5000));

	// nothing to compare with: not "success"
	ASSERT_EQ(sat->exec({"sh", "-c", "printf \"config wifi-iface 'x\\n\" >/etc/config/wireless"}).status, 0);
	EXPECT_EQ(call(*sat, "access", request), uci_error);
	EXPECT_NE(sat->log().find("wireless load failed: Parse error"), std::string::npos) << sat->log();
	EXPECT_EQ(sat->calls("wifi").size(), 2u);
}

// Before: the rewrite was committed with no reload, and the identical retry
// found nothing to change, said "success" and never reloaded.
TEST_F(FieldFaults, AccessWithEverySlotBusyWritesNothingAndItsRetryDoesTheWholeJob)
{
	auto sat = start();
	ASSERT_TRUE(sat);
	sat->behave("lua", "delay=300");
	std::string fill = "for i in $(seq 20); do vimb -t 10 call " + obj +
			   " common_set '{\"log_upload\":\"k\"}' & done; wait";
	ASSERT_EQ(count(sh(*sat, fill, 60000), success), 20u);
	const std::string before = sat->config("wireless");
	const std::string request = json({{"policy", 1}, {"list", mac_list(0, 3)}}).dump();
	EXPECT_EQ(call(*sat, "access", request), sync_busy);
	EXPECT_EQ(sat->config("wireless"), before);
	EXPECT_TRUE(has(sat->log(), R"(kestrad_handle_macList_desc\(\d+\):vimb worker_get\(\) error\n)"));

	auto lua = standin_pids(*sat, "lua");
	ASSERT_EQ(lua.size(), 20u);
	std::string kills;
	for (int pid : lua)
		kills += "kill -9 -" + std::to_string(pid) + " 2>/dev/null || kill -9 " + std::to_string(pid) + "; ";
	sh(*sat, kills);
	std::string reply;
	ASSERT_TRUE(wait_until([&] {
		reply = call(*sat, "access", request);
		return reply != sync_busy;
	}, 10000));
	EXPECT_EQ(reply, success);
	EXPECT_NE(sat->config("wireless").find("list maclist '" + mac(2) + "'"), std::string::npos);
	EXPECT_TRUE(wait_until([&] { return sat->calls("wifi").size() == 1; }, 5000));
}

// Each command's script forks a grandchild and hangs. After its time-out no
// process of its group is left, whichever kill came first (the worker's or
// the time-limit tool's). Here the tool's limits are a tenth of the real
// ones (a wrapper divides -t) and the 90 s log upload is only checked to
// lead its group; $KESTRAD_FIELD_FAULTS_FULL=1 runs the real limits and
// waits for the upload's time-out too.
TEST_F(FieldFaults, TimedOutCommandsLeaveNoProcessOfTheirGroup)
{
	const bool full = getenv("KESTRAD_FIELD_FAULTS_FULL") != nullptr;
	auto sat = start();
	ASSERT_TRUE(sat);
	if (!full) {
		ASSERT_EQ(sh(*sat, "cp /usr/bin/timeout /usr/bin/timeout.real && printf '%s\\n' '#!/bin/sh' "
				   "'t=$2; shift 2; exec /usr/bin/timeout.real -t $(( (t + 9) / 10 )) \"$@\"' "
				   ">/usr/bin/timeout && echo ok"),
			  "ok\n");
	}
	struct job {
		std::string method, args, standin;
		int limit_s; // the first kill's, as run here
	};
	std::vector<job> jobs = {
		{"whc_sync", R"({"ssid":"s"})", whc_sync_script_name, full ? 40 : 4},
		{"access", json({{"policy", 1}, {"list", mac_list(0, 2)}}).dump(), "wifi", full ? 40 : 4},
		{"common_set", R"({"newgw":"g"})", "mesh_gw_renew.sh", full ? 60 : 6},
		{"common_set", R"({"action":"a"})", "re_common_action.sh", full ? 20 : 2},
		{"smart_sync", R"({"msg":"m"})", "msgferry", 5},
		{"bind", R"({"record":"R","deviceID":"D","sign":"S"})", "bind_owner.sh", 5},
		{"common_set", R"({"log_upload":"u"})", "lua", full ? 90 : 0},
	};
	for (const auto &j : jobs)
		sat->behave(j.standin, "sleep 600 9>&- & g=$!; echo $g $(cut -d' ' -f5 /proc/$g/stat) >" + sat->dir() +
					       "/state/gc." + j.standin + "; delay=600");
	for (const auto &j : jobs) {
		ASSERT_EQ(call(*sat, j.method, j.args), success) << j.method;
	}
	const long long started = monotonic_ms();

	std::map<std::string, std::pair<int, int>> groups; // stand-in: leader, grandchild
	for (const auto &j : jobs) {
		std::string gc_file = sat->dir() + "/state/gc." + j.standin;
		std::string gc;
		ASSERT_TRUE(wait_until([&] {
			gc = testing_support::read_file(gc_file);
			return standin_pids(*sat, j.standin).size() == 1 && gc.find('\n') != std::string::npos;
		}, 10000)) << j.standin;
		int leader = standin_pids(*sat, j.standin)[0], gc_pid = 0, gc_pgrp = 0;
		std::istringstream(gc) >> gc_pid >> gc_pgrp;
		groups[j.standin] = {leader, gc_pid};
		EXPECT_EQ(gc_pgrp, leader) << j.standin << ": the grandchild is not in its command's group";
	}
	for (const auto &j : jobs) {
		if (!j.limit_s)
			continue;
		auto [leader, gc] = groups[j.standin];
		long long left = started + j.limit_s * 1000 + 8000 - monotonic_ms();
		EXPECT_TRUE(wait_until([&] { return group_gone(*sat, leader, gc); }, static_cast<int>(std::max(left, 1000LL))))
			<< j.standin << " (" << j.method << "): group " << leader << " or grandchild " << gc << " outlived the time-out";
	}
	std::cout << "every group gone " << (monotonic_ms() - started) / 1000.0 << " s after the calls\n";
	// the smart_sync and bind slots came back
	EXPECT_EQ(call(*sat, "smart_sync", R"({"msg":"after"})"), success);
}

// The project's time-limit tool on its own: the whole group of its program.
TEST_F(FieldFaults, TimeLimitToolKillsTheGroupOfItsProgram)
{
	temp_dir dir;
	std::string gc_file = dir.file("gc");
	spawned t({bin_path("timeout"), "-t", "1", "-s", "9", "sh", "-c",
		   "sleep 600 & echo $! >" + gc_file + "; sleep 600"});
	ASSERT_TRUE(wait_until([&] { return !testing_support::read_file(gc_file).empty(); }, 5000));
	int gc = std::stoi(testing_support::read_file(gc_file));
	ASSERT_TRUE(t.wait(10000).has_value());
	EXPECT_TRUE(wait_until([&] { return !testing_support::process_alive(gc); }, 3000))
		<< "the program's child outlived the limit";
	if (testing_support::process_alive(gc))
		kill(gc, SIGKILL);
}

// Before: whc_quire waited for readmac as long as it ran, and the daemon
// with it.
TEST_F(FieldFaults, QuireWithAReadmacThatNeverExitsAnswersWithinItsBound)
{
	auto sat = start();
	ASSERT_TRUE(sat);
	sat->behave("readmac", "delay=100000");
	long long t0 = monotonic_ms();
	auto r = sat->vimb({"-t", "30", "call", obj, "whc_quire", "{}"});
	double took = static_cast<double>(monotonic_ms() - t0) / 1000;
	std::cout << "whc_quire answered in " << took << " s\n";
	EXPECT_LT(took, 3.0 + 3.0); // the bound, and the rest on a busy machine
	json reply = json::parse(r.out.empty() ? "{}" : r.out);
	EXPECT_FALSE(reply.contains("wanmac")) << r.out; // as a command that could not run
	EXPECT_EQ(reply.value("g2stamac", ""), "02:00:00:00:11:11") << r.out;
	EXPECT_EQ(reply.value("return", ""), "success");
	EXPECT_TRUE(has(sat->log(), R"(get_cmd_result\(\d+\):  cmd 'echo -n \$\(readmac wan 2>/dev/null\)' timed out after 3 s, killed \n)"))
		<< sat->log();
	auto pids = standin_pids(*sat, "readmac");
	ASSERT_EQ(pids.size(), 1u);
	EXPECT_TRUE(wait_until([&] { return group_gone(*sat, -1, pids[0]); }, 3000));
	EXPECT_EQ(call(*sat, "smart_sync", R"({"msg":"m"})"), success);
}

// Before: the stored password was read cut at 63 bytes, and a new one equal
// to that cut was taken as unchanged.
TEST_F(FieldFaults, QuireComparesWholePasswords)
{
	auto sat = start();
	ASSERT_TRUE(sat);
	const std::string stored(70, 'p'), cut(63, 'p');
	sat->set_config("account", "\nconfig common 'common'\n\toption admin '" + stored + "'\n\n");
	ASSERT_EQ(json::parse(call(*sat, "whc_quire", json({{"webpasswd", stored}}).dump())).value("return", ""),
		  "success");
	EXPECT_EQ(count(sat->log(), " save web passwd from cap "), 0u);
	ASSERT_EQ(json::parse(call(*sat, "whc_quire", json({{"webpasswd", cut}}).dump())).value("return", ""),
		  "success");
	EXPECT_EQ(sat->exec({"uci", "get", "account.common.admin"}).out, cut + "\n");
	EXPECT_EQ(count(sat->log(), " save web passwd from cap "), 1u);
}

// Before: the settings file was 0644 and each secret stood in a debug line.
TEST_F(FieldFaults, SecretsAreMaskedInTheLogAndTheSettingsFileIsPrivate)
{
	{
		auto sat = start();
		ASSERT_TRUE(sat);
		EXPECT_EQ(call(*sat, "whc_sync", R"({"ssid":"Home","pswd":"Secret-2g","gst_ssid":"G","gst_pswd":"Secret-gst"})"),
			  success);
		EXPECT_EQ(sat->exec({"stat", "-c", "%a", "/var/run/kestrad_whc_sync"}).out, "600\n");
		EXPECT_EQ(sat->exec({"cat", "/var/run/kestrad_whc_sync"}).out,
			  "ssid:=Home\npswd:=Secret-2g\ngst_ssid:=G\ngst_pswd:=Secret-gst\n");
		EXPECT_EQ(json::parse(call(*sat, "whc_quire", R"({"webpasswd":"Secret-web"})")).value("return", ""), "success");
		EXPECT_EQ(call(*sat, "common_set", R"({"log_upload":"Secret-key"})"), success);
		std::string log = sat->log();
		EXPECT_EQ(log.find("Secret"), std::string::npos) << log;
		EXPECT_EQ(log.find(" = admin"), std::string::npos) << "the old password";
		for (const char *line : {" item pswd:=***\n \n", " item gst_pswd:=***\n \n", " item ssid:=Home\n \n",
					 " get old passwd = *** \n", " save web passwd from cap *** \n",
					 "get log upload key on cap[nouse]: *** \n"})
			EXPECT_NE(log.find(line), std::string::npos) << line;
	}
	auto sat = start("wifiap");
	ASSERT_TRUE(sat);
	// "Home", "Secret12"; "Home-5G", "Secret5g"
	EXPECT_EQ(call(*sat, "notice", R"({"ssid":"SG9tZQ==","passwd":"U2VjcmV0MTI=","ssid_5g":"SG9tZS01Rw==","passwd_5g":"U2VjcmV0NWc="})"),
		  success);
	ASSERT_TRUE(sat->wait_log("notice_vimb_device 5g ssid: Home-5G pwd:***\n", 5000)) << sat->log();
	EXPECT_NE(sat->log().find("notice_vimb_device 2g ssid: Home pwd:***\n"), std::string::npos);
	EXPECT_EQ(sat->log().find("Secret"), std::string::npos);
}

// Before: the stream's error was found after errno had been cleared, and
// the log said "Input/output error".
TEST_F(FieldFaults, SyncOnAFullRunDirectoryLogsTheErrorOfTheFailedWrite)
{
	auto sat = start();
	ASSERT_TRUE(sat);
	ASSERT_EQ(call(*sat, "whc_sync", R"({"ssid":"kept"})"), success);
	const std::string kept = sat->dir() + "/kept";
	ASSERT_EQ(sh(*sat, "cp /run/kestrad_whc_sync " + kept + " && mount -t tmpfs -o size=16k tmpfs /run && "
			   "cp " + kept + " /run/kestrad_whc_sync && { dd if=/dev/zero of=/run/filler bs=4k 2>/dev/null; "
			   "true; } && echo ok"),
		  "ok\n");
	// more than one stdio buffer: the failing write is one of the fields'
	std::string big(3000, 'x');
	EXPECT_EQ(call(*sat, "whc_sync", json({{"ssid", "lost"}, {"flt_list", big}, {"timezone", big}}).dump()),
		  vimb_return("fail, fopen error"));
	EXPECT_TRUE(has(sat->log(), R"(kestrad_handle_whc_sync\(\d+\): fail, fopen error, error No space left on device \n)"))
		<< sat->log();
	EXPECT_EQ(sat->exec({"cat", "/var/run/kestrad_whc_sync"}).out, "ssid:=kept\n");
}

// ---- the hostile access loop ----

// The filter state of one LAN AP interface: macfilter (absent: nullopt) and
// maclist (absent: nullopt).
struct filter_state {
	std::optional<std::string> macfilter;
	std::optional<std::vector<std::string>> maclist;
	bool operator==(const filter_state &) const = default;
};
using wireless_state = std::map<std::string, filter_state>; // by section name

// Parses wireless with the platform's libuci; false when it does not parse.
bool parse_wireless(const std::string &text, wireless_state &out)
{
	temp_dir dir;
	std::ofstream(dir.file("wireless")) << text;
	struct uci_context *ctx = uci_alloc_context();
	uci_set_confdir(ctx, dir.path().c_str());
	struct uci_package *p = nullptr;
	if (uci_load(ctx, "wireless", &p) != UCI_OK) {
		uci_free_context(ctx);
		return false;
	}
	out.clear();
	struct uci_element *e;
	uci_foreach_element(&p->sections, e) {
		struct uci_section *s = uci_to_section(e);
		auto opt = [&](const char *name) { return uci_lookup_option_string(ctx, s, name); };
		if (strcmp(s->type, "wifi-iface") != 0 || strncmp(e->name, "guest_2G", 8) == 0)
			continue;
		const char *ifname = opt("ifname"), *network = opt("network"), *mode = opt("mode");
		if (!ifname || (strncmp(ifname, "wl1", 3) && strncmp(ifname, "wl0", 3)) || !network ||
		    strncmp(network, "lan", 3) || !mode || strncmp(mode, "ap", 2))
			continue;
		filter_state st;
		if (const char *f = opt("macfilter"))
			st.macfilter = f;
		if (struct uci_option *o = uci_lookup_option(ctx, s, "maclist")) {
			std::vector<std::string> items;
			if (o->type == UCI_TYPE_STRING) {
				items.push_back(o->v.string);
			} else {
				struct uci_element *i;
				uci_foreach_element(&o->v.list, i)
					items.push_back(i->name);
			}
			st.maclist = items;
		}
		out[e->name] = st;
	}
	uci_free_context(ctx);
	return true;
}

const char *filter_text(long long policy)
{
	return policy == 2 ? "deny" : policy == 1 ? "allow" : "disabled";
}

// What a rewrite leaves in every LAN AP interface.
filter_state rewritten(long long policy, const std::string &list)
{
	filter_state st;
	st.macfilter = filter_text(policy);
	if (list.size() > 16) {
		std::vector<std::string> items;
		for (size_t start = 0;;) {
			size_t end = list.find(';', start);
			items.push_back(list.substr(start, end == std::string::npos ? end : end - start));
			if (end == std::string::npos)
				break;
			start = end + 1;
		}
		st.maclist = items;
	}
	return st;
}

// The requests and the snapshots after each run inside the satellite, in
// one loop (a process start per step from here would be most of the run);
// they are checked afterwards, in order.
TEST_F(FieldFaults, HostileAccessLoopLeavesTheOldOrTheNewFilterAndNoProcess)
{
	const char *env = getenv("KESTRAD_ACCESS_LOOP_SECONDS");
	const int seconds = env ? std::max(1, atoi(env)) : 10;
	const int max_requests = seconds * 100;
	const unsigned seed = 19;
	auto sat = start("lanap");
	ASSERT_TRUE(sat);
	// the reloads hold their slots a while, so some requests find none free
	sat->behave("wifi", "delay=0.$(($$ % 5))");
	ASSERT_EQ(sh(*sat, "set -e; d=" + sat->dir() + "/tmpfs; mkdir -p $d; mount -t tmpfs -o size=128k tmpfs $d; "
			   "cp -a /etc/config/. $d/; mount --bind $d /etc/config; echo ok"),
		  "ok\n");

	std::mt19937 rng(seed);
	auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
	const std::string junk_chars = "0123456789abcdefABCDEF:;;- _'\"\\$`=.!*?#%&{}[]()|<>~^";
	auto entry = [&] {
		if (pick(4))
			return mac(pick(4096));
		std::string s;
		for (int k = pick(80); k > 0; k--)
			s += junk_chars[static_cast<size_t>(pick(static_cast<int>(junk_chars.size())))];
		return s;
	};
	struct sent_request {
		json args;
		long long policy;
		std::string list;
		bool answered; // both required fields with their types
	};
	std::vector<sent_request> requests;
	{
		std::ofstream out(sat->dir() + "/requests");
		for (int i = 0; i < max_requests; i++) {
			sent_request r{json::object(), std::vector<long long>{0, 1, 2, 3, -1, 2147483647}[static_cast<size_t>(pick(6))], "", true};
			int n = pick(10) == 0 ? 100 + pick(200) : pick(12);
			for (int k = 0; k < n; k++)
				r.list += (k ? ";" : "") + entry();
			int shape = pick(20);
			if (shape != 0)
				r.args["policy"] = r.policy;
			if (shape != 1)
				r.args["list"] = r.list;
			if (shape == 2)
				r.args["policy"] = std::to_string(r.policy); // the wrong type: absent
			r.answered = shape > 2;
			if (pick(3) == 0)
				r.args["level"] = pick(100) - 50;
			if (pick(3) == 0)
				r.args["auth"] = pick(3);
			out << r.args.dump() << "\n";
			requests.push_back(std::move(r));
		}
	}

	// /etc/config fills up and empties beside the requests, bounded in count
	// and time
	const std::string d = sat->dir();
	std::string filler = "RANDOM=" + std::to_string(seed) + "; end=$((SECONDS + " + std::to_string(seconds + 30) +
			     ")); i=0; while [ $i -lt 100000 ] && [ $SECONDS -lt $end ] && [ ! -e " + d +
			     "/state/stop-filler ]; do i=$((i + 1)); case $((RANDOM % 4)) in "
			     "0) dd if=/dev/zero of=/etc/config/fill.$i bs=4k 2>/dev/null ;; "
			     "1) dd if=/dev/zero of=/etc/config/fill.$i bs=1k count=$((RANDOM % 40)) 2>/dev/null ;; "
			     "*) rm -f /etc/config/fill.* ;; esac; sleep 0.0$((RANDOM % 10)); done; rm -f /etc/config/fill.*; "
			     "echo $i";
	spawned fill({bin_path("satellite"), "exec", d, "--", "bash", "-c", filler});
	std::string loop = "mkdir -p " + d + "/snaps; cp /etc/config/wireless " + d + "/snaps/start; i=0; end=$((SECONDS + " +
			   std::to_string(seconds) + ")); while IFS= read -r args && [ $SECONDS -lt $end ]; do "
			   "vimb -t 10 call " + obj + " access \"$args\" >" + d + "/snaps/$i.reply 2>/dev/null; "
			   "cp /etc/config/wireless " + d + "/snaps/$i.wireless; i=$((i + 1)); done <" + d + "/requests; echo $i";
	long long t0 = monotonic_ms();
	auto ran = sat->exec({"bash", "-c", loop}, (seconds + 60) * 1000);
	double took = static_cast<double>(monotonic_ms() - t0) / 1000;
	std::ofstream(d + "/state/stop-filler").flush();
	ASSERT_TRUE(fill.wait(60000).has_value());
	ASSERT_EQ(ran.status, 0) << ran.err;
	const int done = std::stoi(ran.out);

	wireless_state state;
	ASSERT_TRUE(parse_wireless(testing_support::read_file(d + "/snaps/start"), state));
	ASSERT_EQ(state.size(), 2u);
	std::map<std::string, int> replies;
	int changed = 0, bad = 0;
	for (int i = 0; i < done && bad < 5; i++) {
		const auto &r = requests[static_cast<size_t>(i)];
		std::string reply = testing_support::read_file(d + "/snaps/" + std::to_string(i) + ".reply");
		std::string text = testing_support::read_file(d + "/snaps/" + std::to_string(i) + ".wireless");
		replies[reply.empty() ? "(none)" : reply]++;
		wireless_state now;
		if (!parse_wireless(text, now)) {
			ADD_FAILURE() << "wireless does not parse after request " << i << ":\n" << text;
			bad++;
			continue;
		}
		filter_state wanted = rewritten(r.policy, r.list);
		bool is_old = now == state;
		bool is_new = r.answered && now.size() == state.size() &&
			      std::all_of(now.begin(), now.end(), [&](auto &kv) { return kv.second == wanted; });
		if (!is_old && !is_new) {
			ADD_FAILURE() << "request " << i << " " << r.args.dump() << " left a mix:\n" << text;
			bad++;
		}
		if ((reply == uci_error || reply == sync_busy || reply.empty()) && !is_old) {
			ADD_FAILURE() << "request " << i << " failed (" << reply << ") and changed wireless";
			bad++;
		}
		if (reply.empty() == r.answered) {
			ADD_FAILURE() << "request " << i << " " << r.args.dump() << ": reply '" << reply << "'";
			bad++;
		}
		changed += !is_old;
		state = now;
	}
	std::cout << done << " requests in " << took << " s, " << changed << " changed wireless; the filler ran "
		  << fill.out().substr(0, fill.out().find('\n')) << " steps; replies:\n";
	for (const auto &[text, n] : replies)
		std::cout << "  " << n << " x " << (text == "(none)" ? text : json::parse(text).value("return", "?")) << "\n";
	EXPECT_GT(replies[uci_error], 0) << "the filler never made a commit fail";

	// every reload ends, and nothing but the daemons and init's sleep is left
	auto strays = [&] {
		std::string s;
		for (const auto &p : processes(*sat)) {
			bool known = p.pid == 1 || p.cmdline.rfind("sleep 3600", 0) == 0 ||
				     p.cmdline.find("/bin/vimbd ") != std::string::npos ||
				     p.cmdline.find("/bin/kestrad ") != std::string::npos;
			if (!known)
				s += std::to_string(p.pid) + " " + std::to_string(p.ppid) + " " + std::to_string(p.pgrp) +
				     " " + p.cmdline + "\n";
		}
		return s;
	};
	std::string left;
	EXPECT_TRUE(wait_until([&] { return (left = strays()).empty(); }, 15000)) << left;
}

} // namespace

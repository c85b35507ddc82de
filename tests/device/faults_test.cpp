// What the field does to a satellite, end to end: the gateway's bus daemon
// dying, the gateway going silent, a full or broken /etc/config, the daemon
// killed in the middle of its commits, every worker hung.
//
// Covered elsewhere and not repeated here:
// - /var/run read-only: re_sync_quire_test's
//   SyncOnAReadOnlyRunDirectoryKeepsTheOldFileAndStartsNothing;
// - kestrad restarted while its old connection stays open: satellite_test's
//   RestartedKestradTakesOverAStaleObject.
#include "support/proc.h"
#include "support/satellite.h"
#include "support/spawn.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;

namespace {

const std::string &obj = testing_support::kestrad_object;
const std::string bind_args = R"({"record":"R","deviceID":"D","sign":"S"})";

const std::string success = vimb_return("success");
const std::string sync_busy = vimb_return(" fail, sync work active!");
const std::string no_worker = vimb_return("worker_get() error\\n");

// Dot-files in a directory: the temporary files of commits.
std::set<std::string> temp_files(const std::string &listing)
{
	std::set<std::string> out;
	std::istringstream in(listing);
	std::string name;
	while (std::getline(in, name)) {
		if (name.size() > 1 && name[0] == '.' && name != "..")
			out.insert(name);
	}
	return out;
}

struct shown {
	bool parsed = false;
	std::string text;
};

// `uci show PACKAGE` of the host's build over a directory of package files.
shown uci_show(const std::string &confdir, const std::string &package)
{
	spawned p({bin_path("uci"), "-c", confdir, "show", package});
	auto status = p.wait(10000);
	return {status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0, p.out()};
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> out;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		out.push_back(line);
	return out;
}

// When each occurrence of some log texts was first seen, polled every
// 2 ms from a thread of its own: the log has no time stamps.
class log_clock {
public:
	log_clock(const satellite &sat, std::vector<std::string> texts)
		: sat_(sat), texts_(std::move(texts)), thread_([this] { run(); })
	{
	}
	~log_clock()
	{
		stop_ = true;
		thread_.join();
	}

	// The n-th (from 0) time `text` was seen, waiting up to `ms`; 0 if not.
	double at(const std::string &text, size_t n, int ms)
	{
		double t = 0;
		wait_until([&] {
			std::lock_guard<std::mutex> lock(mutex_);
			auto &seen = seen_[text];
			t = seen.size() > n ? seen[n] : 0;
			return t > 0;
		}, ms);
		return t;
	}
	size_t seen(const std::string &text)
	{
		wait_until([&] { return polled_ > 0; }, 5000);
		std::lock_guard<std::mutex> lock(mutex_);
		return seen_[text].size();
	}

private:
	void run()
	{
		while (!stop_) {
			std::string log = sat_.log();
			double t = wall_clock_s();
			{
				std::lock_guard<std::mutex> lock(mutex_);
				for (const auto &text : texts_) {
					auto &seen = seen_[text];
					for (size_t n = count(log, text); seen.size() < n;)
						seen.push_back(t);
				}
			}
			polled_++;
			usleep(2000);
		}
	}

	const satellite &sat_;
	std::vector<std::string> texts_;
	std::mutex mutex_;
	std::map<std::string, std::vector<double>> seen_;
	std::atomic<bool> stop_{false};
	std::atomic<int> polled_{0};
	std::thread thread_;
};

class Faults : public ::testing::Test {
protected:
	void SetUp() override { REQUIRE_ROOT(); }

	std::unique_ptr<satellite> start(bool with_kestrad = true, const std::string &mode = "re")
	{
		satellite_options opts;
		opts.start_kestrad = with_kestrad;
		opts.mode = mode;
		auto sat = std::make_unique<satellite>(opts);
		// a loaded machine can take longer to build the sandbox
		if (!sat->up() && !wait_until([&] {
			    struct stat st;
			    return stat((sat->dir() + "/state/ready").c_str(), &st) == 0 &&
				   stat((sat->dir() + "/state/init.pid").c_str(), &st) == 0;
		    }, 30000))
			return nullptr;
		if (with_kestrad && sat->object(10000) != obj)
			return nullptr;
		return sat;
	}

	static std::string call(const satellite &sat, const std::string &method, const std::string &args)
	{
		return sat.vimb({"call", obj, method, args}).out;
	}

	// A pid from a stand-in's record names NAME.<ns>.<pid>.argv, in start order.
	static std::vector<std::string> pids_of(const satellite &sat, const std::string &name)
	{
		std::vector<std::pair<std::string, std::string>> found;
		if (DIR *d = opendir((sat.dir() + "/records").c_str())) {
			std::regex re("^" + std::regex_replace(name, std::regex(R"(\.)"), R"(\.)") +
				      R"(\.(\d+)\.(\d+)\.argv$)");
			while (struct dirent *e = readdir(d)) {
				std::cmatch m;
				if (std::regex_match(e->d_name, m, re))
					found.emplace_back(m[1].str(), m[2].str());
			}
			closedir(d);
		}
		std::sort(found.begin(), found.end());
		std::vector<std::string> out;
		for (auto &f : found)
			out.push_back(f.second);
		return out;
	}

	// Every slot is free: 20 hanging binds are taken, the 21st is refused.
	static void expect_twenty_free_slots(const satellite &sat)
	{
		sat.behave("bind_owner.sh", "delay=60");
		std::string fill = "for i in $(seq 20); do vimb -t 10 call " + obj + " bind '" + bind_args +
				   "' & done; wait";
		auto filled = sat.exec({"sh", "-c", fill}, 60000);
		EXPECT_EQ(count(filled.out, success), 20u) << filled.out << filled.err;
		EXPECT_EQ(call(sat, "bind", bind_args), no_worker);
	}
};

TEST_F(Faults, VimbdKilledWithCallsInFlightIsRejoinedWithinElevenSecondsWithEverySlot)
{
	auto sat = start();
	ASSERT_TRUE(sat);
	sat->behave("bind_owner.sh", "delay=2");
	// calls on their way in both directions when the bus daemon goes
	// (whc_quire runs its commands within the loop: a few of them only, or
	// the loop learns of the loss seconds late)
	std::string burst = "for i in $(seq 10); do vimb -t 5 call " + obj + " bind '" + bind_args +
			    "' >/dev/null 2>&1 & done; for i in 1 2; do vimb -t 5 call " + obj +
			    " whc_quire '{}' >/dev/null 2>&1 & done; sleep 0.05; svc kill vimbd; date +%s.%N >" +
			    sat->dir() + "/killed; wait";
	log_clock clock(*sat, {"vimb connection lost", "push object success"});
	ASSERT_EQ(clock.seen("push object success"), 1u);
	ASSERT_EQ(sat->exec({"sh", "-c", burst}, 30000).status, 0);
	double lost = clock.at("vimb connection lost", 0, 10000);
	ASSERT_GT(lost, 0) << sat->log();
	ASSERT_TRUE(sat->svc("start", "vimbd"));
	double published = clock.at("push object success", 1, 13000);
	ASSERT_GT(published, 0) << sat->log();
	double killed = std::stod(read_file(sat->dir() + "/killed"));
	std::cout << "republished " << published - lost << " s after the loss was seen, " << published - killed
		  << " s after vimbd was killed\n";
	// from the loss as the loop learns of it: a whc_quire runs its commands
	// inside the loop, and on a loaded machine it may still be at them
	EXPECT_LT(published - lost, 11.0);
	// at once, not after a settling time
	EXPECT_EQ(call(*sat, "smart_sync", R"({"msg":"again"})"), success);

	// the burst's jobs end, their slots come back
	ASSERT_TRUE(wait_until([&] {
		auto c = sat->calls("bind_owner.sh"), m = sat->calls("msgferry");
		c.insert(c.end(), m.begin(), m.end());
		return std::all_of(c.begin(), c.end(), [](const call_record &r) { return r.end > 0; });
	}, 15000));
	std::string log = sat->log();
	size_t taken = count_re(log, R"(worker_get\(\d+\):\[\d+\] 0x)");
	ASSERT_TRUE(wait_until([&] { return count(sat->log(), ", use:true, pid:") >= taken; }, 5000)) << sat->log();
	expect_twenty_free_slots(*sat);
}

// The gateway's address stops answering: its frames go to a MAC address
// nobody has, so every SYN is lost, as on a dead link. Two action jobs under
// a hung time-limit tool time out by their worker's timer: the first falls
// due while an attempt blocks the loop, the second between attempts; a
// log upload ends by itself between attempts.
TEST_F(Faults, UnreachableGatewayAttemptsAreBoundedAndSpacedAndTheLoopServesWorkersBetween)
{
	auto sat = start();
	ASSERT_TRUE(sat);
	ASSERT_EQ(sat->exec({"mount", "--bind", "/usr/sbin/wifi", "/usr/bin/timeout"}).status, 0);
	sat->behave("timeout", "delay=100");
	const double limit = 30; // the action job's worker time-out
	const double a_start = wall_clock_s();
	ASSERT_EQ(call(*sat, "common_set", R"({"action":"A"})"), success);
	// B falls due 18 s after the loss: between attempt one (10-13 s) and two (23-26 s)
	ASSERT_TRUE(wait_until([&] { return wall_clock_s() >= a_start + 6.5; }, 8000));
	ASSERT_EQ(call(*sat, "common_set", R"({"action":"B"})"), success);
	sat->behave("lua", "delay=31");
	ASSERT_EQ(call(*sat, "common_set", R"({"log_upload":"x"})"), success);
	ASSERT_TRUE(wait_until([&] { return pids_of(*sat, "timeout").size() == 2 && pids_of(*sat, "lua").size() == 1; }, 5000));
	std::string a_pid = pids_of(*sat, "timeout")[0], b_pid = pids_of(*sat, "timeout")[1];
	// the jobs' clocks start a little before their stand-ins stamp
	ASSERT_TRUE(wait_until([&] {
		auto t = sat->calls("timeout");
		return t.size() == 2 && t[0].start > 0 && t[1].start > 0;
	}, 5000));
	const double a_due = sat->calls("timeout")[0].start + limit, b_due = sat->calls("timeout")[1].start + limit;
	std::string r_pid = pids_of(*sat, "lua")[0];
	const std::string failed = "failed to connect,trying reconnect vimbd after 10 seconds\n";
	const std::string attempt = "get default gw,";
	const std::string a_killed = " pid[" + a_pid + "]\n", b_killed = " pid[" + b_pid + "]\n";
	const std::string r_reaped = ", use:true, pid:" + r_pid + "\n";
	log_clock clock(*sat, {"vimb connection lost", attempt, failed, a_killed, b_killed, r_reaped});
	size_t attempts_before = clock.seen(attempt);

	// the loss comes some 0.5 s after the command: A falls due 1.5 s into attempt one
	ASSERT_TRUE(wait_until([&] { return wall_clock_s() >= a_due - 30 + 18.0; }, 20000));
	ASSERT_EQ(sat->exec({"sh", "-c", "svc kill vimbd && ip addr del 192.0.2.1/24 dev gw0 && "
					 "ip neigh replace 192.0.2.1 lladdr 02:00:00:00:de:ad dev br-lan nud permanent"})
			  .status, 0);
	double lost = clock.at("vimb connection lost", 0, 3000);
	ASSERT_GT(lost, 0) << sat->log();

	double begin1 = clock.at(attempt, attempts_before, 12000);
	double end1 = clock.at(failed, 0, 5000);
	double begin2 = clock.at(attempt, attempts_before + 1, 12000);
	double end2 = clock.at(failed, 1, 5000);
	ASSERT_TRUE(begin1 > 0 && end1 > 0 && begin2 > 0 && end2 > 0) << sat->log();
	double a_at = clock.at(a_killed, 0, 1000), b_at = clock.at(b_killed, 0, 1000);
	double r_at = clock.at(r_reaped, 0, 1000);
	std::cout << "attempts: " << end1 - begin1 << " s and " << end2 - begin2 << " s, the second "
		  << begin2 - end1 << " s after the first ended; A due " << a_due - begin1
		  << " s into attempt one, killed " << a_at - end1 << " s after it ended; B killed "
		  << b_at - b_due << " s after due; the upload reaped " << r_at - sat->calls("lua").at(0).end
		  << " s after its end\n";

	// An attempt is seen to begin once its `route -n` has run: a busy
	// machine shows it late, never early.
	const double route_slack = 1.5;
	EXPECT_GT(begin1 - lost, 9.9);
	EXPECT_LT(begin1 - lost, 10.0 + route_slack);
	for (double d : {end1 - begin1, end2 - begin2}) {
		EXPECT_GT(d, 2.5); // the packets are lost, not refused
		EXPECT_LT(d, 3.3);
	}
	EXPECT_GT(begin2 - end1, 9.9);
	EXPECT_LT(begin2 - end1, 10.0 + route_slack);
	EXPECT_NE(sat->log().find("failed to connect,trying reconnect vimbd after 10 seconds\n"), std::string::npos);

	// A was due inside attempt one and fired when it ended
	// (a due time from a stand-in's stamp is late, if anything)
	ASSERT_GT(a_due, lost + 9.9) << "A fell due before the attempt began";
	ASSERT_LT(a_due, end1 - 0.3) << "A fell due after the attempt ended";
	ASSERT_GT(a_at, 0) << sat->log();
	EXPECT_GT(a_at, end1 - 0.05);
	EXPECT_LT(a_at - end1, 1.0);
	// B and the upload in the gap, when due
	ASSERT_GT(b_due, end1 + 0.5);
	ASSERT_LT(b_due, begin2 - 0.5);
	ASSERT_GT(b_at, 0) << sat->log();
	EXPECT_LT(b_at - b_due, 1.0);
	EXPECT_GT(b_at - b_due, -1.0);
	auto r = sat->calls("lua");
	ASSERT_EQ(r.size(), 1u);
	ASSERT_GT(r[0].end, 0);
	EXPECT_EQ(r[0].status, 0); // it ended by itself
	ASSERT_GT(r_at, 0) << sat->log();
	EXPECT_GT(r[0].end, end1);
	EXPECT_LT(r[0].end, begin2);
	EXPECT_LT(std::abs(r_at - r[0].end), 1.0);
	auto t = sat->calls("timeout");
	ASSERT_EQ(t.size(), 2u);
	EXPECT_EQ(t[0].status, -1);
	EXPECT_EQ(t[1].status, -1);
}

// The rewrite cannot get a byte onto a full /etc/config: the old file stays
// whole, no temporary file is left, and once there is room it goes through.
TEST_F(Faults, FullConfigFilesystemLeavesWirelessWhole)
{
	auto sat = start(false);
	ASSERT_TRUE(sat);
	std::string full = sat->dir() + "/full";
	std::string setup = "set -e; mkdir -p " + full + "; mount -t tmpfs -o size=256k tmpfs " + full +
			    "; cp -a /etc/config/. " + full + "/; mount --bind " + full + " /etc/config";
	ASSERT_EQ(sat->exec({"sh", "-c", setup}).status, 0);
	ASSERT_TRUE(sat->svc("start", "kestrad"));
	ASSERT_EQ(sat->object(10000), obj) << sat->log();
	auto cat = [&] { return sat->exec({"cat", "/etc/config/wireless"}).out; };
	std::string before = cat();
	ASSERT_NE(before.find("option ssid 'Kestrel'"), std::string::npos);
	sat->exec({"sh", "-c", "dd if=/dev/zero of=/etc/config/filler bs=4k 2>/dev/null; true"});
	ASSERT_NE(sat->exec({"sh", "-c", "echo x >>/etc/config/filler"}).status, 0) << "not full";

	call(*sat, "access", R"({"policy":1,"list":"02:00:00:00:00:01;02:00:00:00:00:02"})");
	EXPECT_EQ(cat(), before);
	EXPECT_EQ(sat->exec({"uci", "show", "wireless"}).status, 0);
	EXPECT_TRUE(temp_files(sat->exec({"ls", "-a", "/etc/config"}).out).empty());

	ASSERT_EQ(sat->exec({"rm", "/etc/config/filler"}).status, 0);
	EXPECT_EQ(call(*sat, "access", R"({"policy":1,"list":"02:00:00:00:00:01;02:00:00:00:00:02"})"), success);
	EXPECT_EQ(sat->exec({"uci", "get", "wireless.lan_2g.maclist"}).out, "02:00:00:00:00:01 02:00:00:00:00:02\n");
	EXPECT_TRUE(temp_files(sat->exec({"ls", "-a", "/etc/config"}).out).empty());
}

TEST_F(Faults, UnparsableWirelessIsAnsweredAndLeftAlone)
{
	auto sat = start();
	ASSERT_TRUE(sat);
	const std::string broken = "\nconfig wifi-iface 'lan_2g'\n\toption ifname 'wl01\n\toption mode 'ap'\n";
	sat->set_config("wireless", broken);
	ASSERT_NE(sat->exec({"uci", "show", "wireless"}).status, 0);
	// nothing to compare with: said, not taken for "unchanged"
	const std::string uci_error = vimb_return("fail, uci error");
	EXPECT_EQ(call(*sat, "access", R"({"policy":1,"list":"02:00:00:00:00:01;02:00:00:00:00:02"})"), uci_error);
	EXPECT_EQ(call(*sat, "access", R"({"policy":2,"list":"02:00:00:00:00:03"})"), uci_error);
	EXPECT_EQ(sat->config("wireless"), broken);
	EXPECT_TRUE(temp_files(sat->exec({"ls", "-a", "/etc/config"}).out).empty());
	EXPECT_EQ(call(*sat, "smart_sync", R"({"msg":"still here"})"), success);
}

// bind's 5 s worker time-out with a hanging script fills every slot cheaply.
TEST_F(Faults, EveryWorkerHungGivesEachBusyReplyAndAllRecoverAfterTheTimeOuts)
{
	auto sat = start();
	ASSERT_TRUE(sat);
	sat->behave("bind_owner.sh", "delay=60");
	const std::vector<std::pair<std::string, std::string>> busy = {
		{"bind", bind_args},
		{"whc_sync", R"({"ssid":"busy"})"},
		{"access", R"({"policy":1,"list":"02:00:00:00:00:07"})"},
		{"bind", bind_args},
		{"smart_sync", R"({"msg":"m"})"},
		{"common_set", R"({"newgw":"g"})"},
		{"common_set", R"({"action":"a"})"},
		{"common_set", R"({"log_upload":"u"})"},
	};
	// The slots are filled and every method tried in one round trip into
	// the satellite, inside the 5 s the first bind holds its slot. A machine
	// so busy that a time-out came first proves nothing: try again.
	std::string script = "for i in $(seq 20); do vimb -t 10 call " + obj + " bind '" + bind_args +
			     "' >/dev/null & done; wait; ";
	for (const auto &[method, args] : busy)
		script += "vimb -t 5 call " + obj + " " + method + " '" + args + "'; echo '#'; ";
	std::string out;
	size_t kills_before = 0;
	for (int round = 0; round < 3; round++) {
		double t0 = wall_clock_s();
		out = sat->exec({"sh", "-c", script}, 60000).out;
		std::cout << "filled and answered in " << wall_clock_s() - t0 << " s\n";
		if (count(sat->log(), " pid[") == kills_before)
			break;
		kills_before += 20;
		ASSERT_TRUE(wait_until([&] { return count(sat->log(), " pid[") >= kills_before; }, 15000));
	}
	ASSERT_EQ(count(sat->log(), " pid["), kills_before) << "a time-out came before every busy reply was seen";
	EXPECT_EQ(out, no_worker + "#\n" + sync_busy + "#\n" + sync_busy + "#\n" + no_worker + "#\n" + no_worker +
			       "#\n" + no_worker + "#\n" + no_worker + "#\n" + no_worker + "#\n");

	// every hung bind is killed by its slot's time-out
	ASSERT_TRUE(wait_until([&] {
		auto c = sat->calls("bind_owner.sh");
		return c.size() == kills_before + 20 &&
		       std::all_of(c.begin(), c.end(), [](auto &r) { return r.end > 0; });
	}, 15000)) << sat->log();
	ASSERT_TRUE(wait_until([&] { return count(sat->log(), " pid[") >= kills_before + 20; }, 5000));
	sat->behave("bind_owner.sh", "status=0");
	EXPECT_EQ(call(*sat, "whc_sync", R"({"ssid":"back"})"), success);
	EXPECT_EQ(call(*sat, "access", R"({"policy":1,"list":"02:00:00:00:00:08"})"), success);
	EXPECT_EQ(call(*sat, "bind", bind_args), success);
	EXPECT_EQ(call(*sat, "smart_sync", R"({"msg":"m"})"), success);
	EXPECT_EQ(call(*sat, "common_set", R"({"newgw":"g"})"), success);
	EXPECT_EQ(call(*sat, "common_set", R"({"action":"a"})"), success);
	EXPECT_EQ(call(*sat, "common_set", R"({"log_upload":"u"})"), success);
}

// SIGKILL at delays spread over a request's duration, alternating access and
// notice requests between two contents each. The loop runs inside the
// satellite: one entry per kill, each kill's files copied out for checking.
TEST_F(Faults, SigkillDuringCommitsNeverTearsAPackage)
{
	constexpr int kills = 200;
	auto sat = start(true, "wifiap"); // the mode that has both
	ASSERT_TRUE(sat);
	const std::string access_a = R"({"policy":1,"list":"02:00:00:00:00:01;02:00:00:00:00:02","auth":1})";
	const std::string access_b = R"({"policy":2,"list":"02:00:00:00:00:03","auth":0})";
	const std::string notice_x = R"({"ssid":"c3NpZC14","passwd":"cGFzcy14","ssid_5g":"c3NpZC14","passwd_5g":"cGFzcy14"})";
	const std::string notice_y = R"({"ssid":"c3NpZC15","passwd":"cGFzcy15","ssid_5g":"c3NpZC15","passwd_5g":"cGFzcy15"})";

	// The contents each package may have: before and after every commit.
	temp_dir states;
	auto snapshot = [&] {
		for (const char *p : {"wireless", "devicelist", "marovela"})
			std::ofstream(states.file(p)) << sat->config(p);
	};
	auto show = [&](const char *p) { return uci_show(states.path(), p).text; };
	snapshot();
	std::set<std::string> wireless_ok = {show("wireless")}, devicelist_ok = {show("devicelist")};
	ASSERT_EQ(call(*sat, "access", access_a), success);
	snapshot();
	wireless_ok.insert(show("wireless"));
	devicelist_ok.insert(show("devicelist"));
	ASSERT_EQ(call(*sat, "access", access_b), success);
	snapshot();
	wireless_ok.insert(show("wireless"));
	devicelist_ok.insert(show("devicelist"));
	ASSERT_EQ(call(*sat, "notice", notice_x), success);
	ASSERT_TRUE(wait_until([&] { return sat->config("marovela").find("AP_STATUS") != std::string::npos; }, 5000));
	snapshot();
	auto marovela_x = lines_of(show("marovela"));
	ASSERT_EQ(call(*sat, "notice", notice_y), success);
	ASSERT_TRUE(wait_until([&] { return count(sat->config("marovela"), "ssid-y") == 2 &&
					     count(sat->config("marovela"), "pass-y") == 2; }, 5000));
	snapshot();
	auto marovela_y = lines_of(show("marovela"));
	ASSERT_EQ(wireless_ok.size(), 3u);
	ASSERT_EQ(devicelist_ok.size(), 2u);
	ASSERT_EQ(marovela_x.size(), marovela_y.size());

	// A request's duration as its caller sees it.
	std::string timing = "t0=$(date +%s%N); for i in 1 2 3 4 5; do vimb call " + obj + " access '" + access_a +
			     "'; vimb call " + obj + " access '" + access_b + "'; vimb call " + obj + " notice '" +
			     notice_x + "'; vimb call " + obj + " notice '" + notice_y +
			     "'; done >/dev/null; echo $(( ($(date +%s%N) - t0) / 20000 ))";
	long request_us = std::stol(sat->exec({"sh", "-c", timing}, 60000).out);
	ASSERT_GT(request_us, 0);
	// spread over twice that: notice commits after its reply
	std::string delays;
	for (int i = 0; i < kills; i++) {
		char d[32];
		snprintf(d, sizeof d, " %.6f", 2.0 * static_cast<double>(request_us) * i / kills / 1e6);
		delays += d;
	}

	std::string snaps = sat->dir() + "/snaps";
	std::string loop = R"(
snaps=)" + snaps + R"(; obj=)" + obj + R"(; pidfile=)" + sat->dir() + R"(/state/kestrad.pid
i=0
for d in )" + delays + R"(; do
	svc start kestrad
	sleep 0.9
	for j in $(seq 500); do vimb -t 1 list 2>/dev/null | grep -q kestrad && break; sleep 0.01; done
	case $((i % 4)) in
	0) m=access a=')" + access_a + R"(' ;;
	1) m=notice a=')" + notice_x + R"(' ;;
	2) m=access a=')" + access_b + R"(' ;;
	3) m=notice a=')" + notice_y + R"(' ;;
	esac
	vimb -t 2 call $obj $m "$a" >/dev/null 2>&1 &
	sleep $d
	kill -9 $(cat $pidfile)
	svc kill kestrad
	wait
	mkdir -p $snaps/$i
	cp /etc/config/wireless /etc/config/devicelist /etc/config/marovela $snaps/$i/
	ls -a /etc/config >$snaps/$i/listing
	i=$((i + 1))
done
)";
	double t0 = wall_clock_s();
	auto ran = sat->exec({"bash", "-c", loop}, 900000);
	double loop_s = wall_clock_s() - t0;
	ASSERT_EQ(ran.status, 0) << ran.err;

	int left_temp = 0;
	std::set<std::string> previous;
	for (int i = 0; i < kills; i++) {
		SCOPED_TRACE("kill " + std::to_string(i));
		std::string dir = snaps + "/" + std::to_string(i);
		auto w = uci_show(dir, "wireless"), dl = uci_show(dir, "devicelist"), m = uci_show(dir, "marovela");
		ASSERT_TRUE(w.parsed && dl.parsed && m.parsed);
		EXPECT_TRUE(wireless_ok.count(w.text)) << w.text;
		EXPECT_TRUE(devicelist_ok.count(dl.text)) << dl.text;
		auto ml = lines_of(m.text);
		ASSERT_EQ(ml.size(), marovela_x.size()) << m.text;
		for (size_t k = 0; k < ml.size(); k++)
			EXPECT_TRUE(ml[k] == marovela_x[k] || ml[k] == marovela_y[k]) << ml[k];
		auto temps = temp_files(read_file(dir + "/listing"));
		if (std::any_of(temps.begin(), temps.end(), [&](auto &t) { return !previous.count(t); }))
			left_temp++;
		previous = temps;
	}
	std::cout << kills << " kills in " << loop_s << " s (a request takes " << request_us << " us); "
		  << left_temp << " left a temporary file behind\n";
	// Whether a kill lands inside a commit's short window is chance (none in
	// 200 happens beside a busy CPU): a run without one proves less, but is
	// no fault of the daemon, so it is reported, not failed.
	if (left_temp == 0)
		std::cout << "no kill landed inside a commit in this run\n";

	// One more commit of each package clears what the killed ones left.
	ASSERT_TRUE(sat->svc("start", "kestrad"));
	ASSERT_EQ(sat->object(10000), obj);
	std::string wireless_now = sat->config("wireless");
	bool is_a = wireless_now.find("'02:00:00:00:00:01'") != std::string::npos;
	EXPECT_EQ(call(*sat, "access", is_a ? access_b : access_a), success);
	EXPECT_EQ(call(*sat, "notice", notice_x), success);
	ASSERT_TRUE(wait_until([&] {
		std::string m = sat->config("marovela");
		return count(m, "ssid-x") == 2 && count(m, "pass-x") == 2;
	}, 5000));
	EXPECT_TRUE(wait_until([&] { return temp_files(sat->exec({"ls", "-a", "/etc/config"}).out).empty(); }, 5000))
		<< sat->exec({"ls", "-a", "/etc/config"}).out;
}

} // namespace

// The MAC filter's rules, its comparison and its writers, and the devicelist
// setters, against files in a private /etc/config per test.
#include "access/devicelist.h"
#include "access/maclist.h"
#include "config/uci_helpers.h"
#include "core/log.h"

#include "support/capture.h"
#include "support/etc_config.h"
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const std::string M1 = "02:00:00:00:00:01", M2 = "02:00:00:00:00:02", M3 = "02:00:00:00:00:03";

std::vector<std::string> split(const std::string &list)
{
	std::vector<std::string> out;
	maclist_for_each(list, [&](std::string_view e) {
		out.emplace_back(e);
		return true;
	});
	return out;
}

TEST(MacList, SplittingRule)
{
	using v = std::vector<std::string>;
	EXPECT_EQ(split(""), v{});
	EXPECT_EQ(split("0123456789abcdef"), v{}); // 16 characters: no entries
	EXPECT_EQ(split("a;b;c;d;e;f;g;h;"), v{});
	EXPECT_EQ(split(M1), v{M1}); // 17 characters without ';': one entry
	EXPECT_EQ(split(M1 + ";" + M2), (v{M1, M2}));
	EXPECT_EQ(split(M1 + ";"), (v{M1, ""}));
	EXPECT_EQ(split(";" + M1), (v{"", M1}));
	EXPECT_EQ(split(M1 + ";;" + M2), (v{M1, "", M2}));
	EXPECT_EQ(split(" Aa;bB ;;;;;;;;;;;;;"), (v{" Aa", "bB ", "", "", "", "", "", "", "", "", "", "", "", "", ""}));
	std::string longer(40, 'x'); // never cut
	EXPECT_EQ(split(longer + ";" + M1), (v{longer, M1}));

	int seen = 0;
	EXPECT_FALSE(maclist_for_each(M1 + ";" + M2 + ";" + M3, [&](std::string_view) { return ++seen < 2; }));
	EXPECT_EQ(seen, 2);
}

TEST(MacList, FilterModeTexts)
{
	EXPECT_STREQ(macfilter_text(2), "deny");
	EXPECT_STREQ(macfilter_text(1), "allow");
	for (int32_t other : {0, 3, -1, INT32_MIN, INT32_MAX})
		EXPECT_STREQ(macfilter_text(other), "disabled") << other;
}

// One wifi-iface section; empty strings leave an option out.
std::string iface(const std::string &name, const std::string &ifname, const std::string &network,
		  const std::string &mode, const std::string &filter, const std::string &rest = "",
		  const std::string &type = "wifi-iface")
{
	std::string s = "\nconfig " + type + (name.empty() ? "" : " '" + name + "'") + "\n";
	if (!ifname.empty())
		s += "\toption ifname '" + ifname + "'\n";
	if (!network.empty())
		s += "\toption network '" + network + "'\n";
	if (!mode.empty())
		s += "\toption mode '" + mode + "'\n";
	if (!filter.empty())
		s += "\toption macfilter '" + filter + "'\n";
	return s + rest;
}

std::string list_lines(const std::vector<std::string> &items)
{
	std::string s;
	for (const auto &i : items)
		s += "\tlist maclist '" + i + "'\n";
	return s;
}

// Sections that fail the LAN AP interface test at each step, each with a
// filter and a list that no request below matches.
std::string ignored_sections()
{
	std::string odd = "\toption macfilter 'deny'\n\tlist maclist 'zz'\n";
	return "\nconfig wifi-device 'radio0'\n\toption type 'mac80211'\n" +
	       iface("guest_2G", "wl02", "lan", "ap", "deny", "\tlist maclist 'zz'\n") +
	       iface("guest_2Gb", "wl12", "lan", "ap", "deny", "\tlist maclist 'zz'\n") +
	       iface("eth_if", "eth0", "lan", "ap", "deny", "\tlist maclist 'zz'\n") +
	       iface("no_ifname", "", "lan", "ap", "deny", "\tlist maclist 'zz'\n") +
	       iface("list_ifname", "", "lan", "ap", "", "\tlist ifname 'wl01'\n" + odd) +
	       iface("wan_if", "wl03", "wan", "ap", "deny", "\tlist maclist 'zz'\n") +
	       iface("no_network", "wl04", "", "ap", "deny", "\tlist maclist 'zz'\n") +
	       iface("sta_if", "wl05", "lan", "sta", "deny", "\tlist maclist 'zz'\n") +
	       iface("no_mode", "wl06", "lan", "", "deny", "\tlist maclist 'zz'\n") +
	       iface("longer_type", "wl07", "lan", "ap", "deny", "\tlist maclist 'zz'\n", "wifi-ifaceX") +
	       iface("device_type", "wl08", "lan", "ap", "deny", "\tlist maclist 'zz'\n", "wifi-device");
}

using Access = testing_support::etc_config_test;

// What the code logged, as "function:text" lines (line numbers dropped).
template <typename F>
std::string logged(F fn)
{
	log_mode = LOG_MODE_STDERR;
	std::string out = testing_support::capture_stderr(fn);
	return std::regex_replace(out, std::regex(R"(^(\w+)\(\d+\):)", std::regex::multiline), "$1:");
}

bool check(const std::string &filter, const std::string &list)
{
	bool r = checkMacList(filter.c_str(), list.c_str());
	EXPECT_EQ(uci_ctx, nullptr);
	EXPECT_EQ(uci_package, nullptr);
	return r;
}

TEST_F(Access, ComparisonIsMembershipPlusCountOverTheLanApInterfaces)
{
	write("wireless", ignored_sections() + iface("lan_2g", "wl01", "lan", "ap", "allow", list_lines({M1, M2})) +
				  iface("", "wl1-x", "lanx", "apx", "allow", list_lines({M2, M1})));
	run([] {
		EXPECT_FALSE(check("allow", M1 + ";" + M2));
		EXPECT_FALSE(check("allow", M2 + ";" + M1)); // order does not count
		EXPECT_FALSE(check("allow", M1 + ";" + M1)); // nor duplicates
		EXPECT_TRUE(check("deny", M1 + ";" + M2));
		EXPECT_TRUE(check("disabled", M1 + ";" + M2));
		EXPECT_TRUE(check("allow", M1));                       // one less
		EXPECT_TRUE(check("allow", M1 + ";" + M2 + ";" + M3)); // one more
		EXPECT_TRUE(check("allow", M1 + ";" + M3));
		EXPECT_TRUE(check("allow", M1 + ";02:00:00:00:00:0A")); // case counts
		EXPECT_TRUE(check("allow", M1 + ";" + M2 + ";"));      // an empty entry more
		EXPECT_TRUE(check("allow", ""));                        // count to 0
		EXPECT_TRUE(check("allow", "0123456789abcdef"));
	});
}

TEST_F(Access, WithoutMaclistOnlyShortTextsAreUnchanged)
{
	write("wireless", iface("lan_5g", "wl11", "lan", "ap", ""));
	run([] {
		EXPECT_FALSE(check("disabled", "")); // no macfilter counts as disabled
		EXPECT_FALSE(check("disabled", "x"));
		EXPECT_TRUE(check("disabled", "xy"));
		EXPECT_TRUE(check("disabled", "0123456789abcdef"));
		EXPECT_TRUE(check("disabled", M1));
		EXPECT_TRUE(check("allow", ""));
	});
}

TEST_F(Access, SingleStringMaclistIsOneEntry)
{
	write("wireless", iface("lan_5g", "wl11", "lan", "ap", "deny", "\toption maclist '" + M1 + "'\n"));
	run([] {
		EXPECT_FALSE(check("deny", M1));
		EXPECT_TRUE(check("deny", M2));
		EXPECT_TRUE(check("deny", M1 + ";" + M2));
		EXPECT_TRUE(check("deny", ""));
		std::string out = logged([] { check("deny", M2); });
		EXPECT_EQ(out.find("not find"), std::string::npos) << out;
	});
}

TEST_F(Access, LongEntriesAreComparedWhole)
{
	std::string long1 = std::string(31, 'a') + "-tail-one", long2 = std::string(31, 'a') + "-tail-two";
	write("wireless", iface("lan_2g", "wl01", "lan", "ap", "allow", list_lines({long1, M1})));
	run([&] {
		EXPECT_FALSE(check("allow", long1 + ";" + M1));
		EXPECT_TRUE(check("allow", long2 + ";" + M1));
		EXPECT_TRUE(check("allow", std::string(31, 'a') + ";" + M1));
	});
}

TEST_F(Access, NoLanApInterfaceIsNeverAChange)
{
	write("wireless", ignored_sections());
	run([] {
		EXPECT_FALSE(check("deny", M1 + ";" + M2));
		EXPECT_FALSE(check("allow", ""));
	});
	unlink((conf + "/wireless").c_str());
	run([] {
		std::string out = logged([] { EXPECT_FALSE(check("allow", M1)); });
		EXPECT_EQ(out, "checkMacList:Failed to load network config\n\n");
	});
}

TEST_F(Access, ComparisonLogsEveryStepAndStopsAtTheFirstDifference)
{
	write("wireless", ignored_sections() + iface("lan_2g", "wl01", "lan", "ap", "allow", list_lines({M1, M2})) +
				  iface("lan_5g", "wl11", "lan", "ap", "", "\toption maclist '" + M1 + "'\n"));
	run([] {
		std::string out = logged([] { check("allow", M2 + ";" + M1); });
		const std::string skipped = "checkMacList:option name:guest_2G,continue\n\n"
					    "checkMacList:option name:guest_2Gb,continue\n\n"
					    "checkMacList:option ifname:eth0,continue\n\n"
					    "checkMacList:option ifname of wireless iface\n\n"
					    "checkMacList:option ifname of wireless iface\n\n"
					    "checkMacList:option network:wan ,continue \n\n"
					    "checkMacList:option network of wireless iface\n\n"
					    "checkMacList:option mode:sta ,continue \n\n"
					    "checkMacList:option mode of wireless iface \n\n";
		const std::string lan_2g = "checkMacList:check maclist option of wifi-iface mode:ap network:lan ifname:wl01 name:lan_2g \n\n"
					   "checkMacList:option macfliter allow NOT change! \n\n"
					   "checkMacList:   cur maclist foreach " + M1 + " \n\n"
					   "checkMacList:   cur maclist foreach " + M2 + " \n\n"
					   "checkMacList:   cur maclist cnt 2 \n\n"
					   "checkMacList:get one of macList:" + M2 + "\n\n"
					   "checkMacList:get one of macList:" + M1 + "\n\n";
		EXPECT_EQ(out, skipped + lan_2g +
				       "checkMacList:check maclist option of wifi-iface mode:ap network:lan ifname:wl11 name:lan_5g \n\n"
				       "checkMacList:option macfilter of wireless iface default to disabled \n\n"
				       "checkMacList:option macfliter disabled -> allow ,changed! \n\n"
				       "checkMacList: maclist DO change! \n\n");

		out = logged([] { check("allow", M1 + ";" + M3 + ";" + M2); });
		EXPECT_EQ(out.substr(skipped.size()),
			  "checkMacList:check maclist option of wifi-iface mode:ap network:lan ifname:wl01 name:lan_2g \n\n"
			  "checkMacList:option macfliter allow NOT change! \n\n"
			  "checkMacList:   cur maclist foreach " + M1 + " \n\n"
			  "checkMacList:   cur maclist foreach " + M2 + " \n\n"
			  "checkMacList:   cur maclist cnt 2 \n\n"
			  "checkMacList:get one of macList:" + M1 + "\n\n"
			  "checkMacList:get one of macList:" + M3 + "\n\n"
			  "checkMacList: " + M3 + " not find in cfg! \n\n"
			  "checkMacList: maclist DO change! \n\n");

		out = logged([] { check("allow", M1); });
		EXPECT_NE(out.find("checkMacList: maclist cnt change, 2 -> 1! \n\n"), std::string::npos) << out;
	});

	write("wireless", iface("lan_5g", "wl11", "lan", "ap", "deny", "\toption maclist '" + M1 + "'\n") +
				  iface("bare", "wl10", "lan", "ap", ""));
	run([] {
		std::string out = logged([] { check("deny", M1); });
		EXPECT_NE(out.find("checkMacList:   cur maclist cnt 1 \n\n"), std::string::npos) << out;
		EXPECT_NE(out.find("checkMacList:option macfilter of wireless iface default to disabled \n\n"
				   "checkMacList:option macfliter disabled -> deny ,changed! \n\n"), std::string::npos) << out;
		out = logged([] { check("disabled", "ab"); });
		EXPECT_NE(out.find("checkMacList:option macfliter deny -> disabled ,changed! \n\n"), std::string::npos) << out;
		out = logged([] { check("deny", "no;entries"); });
		EXPECT_NE(out.find("checkMacList: maclist cnt change, 1 -> 0! \n\n"), std::string::npos) << out;
	});

	write("wireless", iface("bare", "wl10", "lan", "ap", ""));
	run([] {
		std::string out = logged([] { check("disabled", "ab"); });
		EXPECT_NE(out.find("checkMacList: option maclist is null \n\ncheckMacList: got new maclist! \n\n"
				   "checkMacList: maclist DO change! \n\n"), std::string::npos) << out;
		out = logged([] { check("disabled", "a"); });
		EXPECT_NE(out.find("checkMacList: option maclist is null \n\ncheckMacList: maclist NOT change! \n\n"),
			  std::string::npos) << out;
	});
}

struct file_id {
	ino_t ino;
	struct timespec mtime;
	bool operator==(const file_id &o) const
	{
		return ino == o.ino && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
	}
};

file_id id_of(const std::string &path)
{
	struct stat st = {};
	stat(path.c_str(), &st);
	return {st.st_ino, st.st_mtim};
}

TEST_F(Access, WritersRebuildTheLanApInterfacesAndClearTheOthers)
{
	write("wireless", "\nconfig wifi-device 'radio0'\n\toption channel '6'\n" +
				  iface("lan_2g", "wl01", "lan", "ap", "deny", list_lines({M3})) +
				  iface("guest_2G", "wl02", "lan", "ap", "deny", list_lines({M3})) +
				  iface("wan_if", "wl03", "wan", "ap", "deny", list_lines({M3})) +
				  iface("sta_if", "wl05", "lan", "sta", "", "\toption maclist '" + M3 + "'\n") +
				  iface("odd_type", "eth9", "wan", "sta", "allow", list_lines({M3}), "wifi-ifaceX") +
				  iface("other_type", "wl09", "lan", "ap", "allow", list_lines({M3}), "wifi-devic") +
				  iface("", "wl11", "lan", "ap", "", list_lines({M3})));
	run([] {
		std::string out = logged([] {
			delMacList();
			setMacList(1, (M1 + ";" + M2).c_str());
		});
		EXPECT_EQ(uci_ctx, nullptr);
		EXPECT_EQ(uci_package, nullptr);
		EXPECT_NE(out.find("delMacList:del_maclist_info\n\n"), std::string::npos);
		EXPECT_NE(out.find("delMacList:uci_lookup_option_string :macfilter:deny section:lan_2g\n\n"
				   "delMacList:uci_lookup_option_string :section:lan_2g has option maclist, del it\n\n"),
			  std::string::npos) << out;
		EXPECT_NE(out.find("delMacList:uci_lookup_option_string :section:cfg083579 has option maclist, del it\n\n"),
			  std::string::npos) << out;
		EXPECT_NE(out.find("setMacList:option network:wan ,continue \n\n"), std::string::npos);
		EXPECT_NE(out.find("setMacList:option ifname:eth9,continue\n\n"), std::string::npos) << out;
		EXPECT_NE(out.find("setMacList:get option of wireless iface mode:ap network:lan ifname:wl11 name:cfg083579,will set list\n\n"),
			  std::string::npos) << out;
		EXPECT_TRUE(std::regex_search(out, std::regex("setMacList:prtStart:0x[0-9a-f]+,ptrend:0x[0-9a-f]+\n\n"
							      "setMacList:get one of macList:" + M1 + "\n\n")))
			<< out;
		EXPECT_EQ(out.find("guest_2G"), std::string::npos);
	});
	// The type test of the writers takes "wifi-ifaceX" for a wifi-iface;
	// a commit writes the export format.
	EXPECT_EQ(file("wireless"), "\nconfig wifi-device 'radio0'\n\toption channel '6'\n"
				    "\nconfig wifi-iface 'lan_2g'\n\toption ifname 'wl01'\n\toption network 'lan'\n\toption mode 'ap'\n"
				    "\toption macfilter 'allow'\n\tlist maclist '" + M1 + "'\n\tlist maclist '" + M2 + "'\n"
				    "\nconfig wifi-iface 'guest_2G'\n\toption ifname 'wl02'\n\toption network 'lan'\n\toption mode 'ap'\n"
				    "\toption macfilter 'deny'\n\tlist maclist '" + M3 + "'\n"
				    "\nconfig wifi-iface 'wan_if'\n\toption ifname 'wl03'\n\toption network 'wan'\n\toption mode 'ap'\n"
				    "\toption macfilter 'disabled'\n"
				    "\nconfig wifi-iface 'sta_if'\n\toption ifname 'wl05'\n\toption network 'lan'\n\toption mode 'sta'\n"
				    "\nconfig wifi-ifaceX 'odd_type'\n\toption ifname 'eth9'\n\toption network 'wan'\n\toption mode 'sta'\n"
				    "\toption macfilter 'disabled'\n"
				    "\nconfig wifi-devic 'other_type'\n\toption ifname 'wl09'\n\toption network 'lan'\n\toption mode 'ap'\n"
				    "\toption macfilter 'allow'\n\tlist maclist '" + M3 + "'\n"
				    "\nconfig wifi-iface\n\toption ifname 'wl11'\n\toption network 'lan'\n\toption mode 'ap'\n"
				    "\toption macfilter 'allow'\n\tlist maclist '" + M1 + "'\n\tlist maclist '" + M2 + "'\n\n");
}

TEST_F(Access, SetterTextsAndEntries)
{
	const std::string base = iface("lan_2g", "wl01", "lan", "ap", "");
	const std::string head = "\nconfig wifi-iface 'lan_2g'\n\toption ifname 'wl01'\n\toption network 'lan'\n\toption mode 'ap'\n";
	struct setter_case {
		int32_t type;
		std::string list;
		std::string options;
		bool compares_equal = true; // a short text without entries never does
	};
	std::string longer = std::string(40, 'L');
	const std::vector<setter_case> cases = {
		{2, M1 + ";" + M2, "\toption macfilter 'deny'\n" + list_lines({M1, M2})},
		{0, M1 + ";" + M2, "\toption macfilter 'disabled'\n" + list_lines({M1, M2})},
		{3, M1, "\toption macfilter 'disabled'\n" + list_lines({M1})},
		{-1, "0123456789abcdef", "\toption macfilter 'disabled'\n", false},
		{1, "a;b", "\toption macfilter 'allow'\n", false},
		{1, M1 + ";", "\toption macfilter 'allow'\n" + list_lines({M1, ""})},
		{1, M1 + ";;" + longer, "\toption macfilter 'allow'\n" + list_lines({M1, "", longer})},
		{1, "It's " + M1, "\toption macfilter 'allow'\n\tlist maclist 'It'\\''s " + M1 + "'\n"},
	};
	for (const auto &c : cases) {
		write("wireless", base);
		run([&] { setMacList(c.type, c.list.c_str()); });
		EXPECT_EQ(file("wireless"), head + c.options + "\n") << c.list;
		// what was written is what the comparison then finds unchanged
		run([&] { EXPECT_NE(check(macfilter_text(c.type), c.list), c.compares_equal) << c.list; });
	}

	// appended, never replaced: that is the caller's delMacList
	write("wireless", base + list_lines({M3}));
	run([] { setMacList(1, M1.c_str()); });
	EXPECT_EQ(file("wireless"), head + list_lines({M3, M1}) + "\toption macfilter 'allow'\n\n");
}

TEST_F(Access, WritersWithNothingToDoWriteNothing)
{
	const std::string text = iface("lan_2g", "wl01", "lan", "ap", "disabled") + iface("guest_2G", "wl02", "lan", "ap", "deny", list_lines({M1}));
	write("wireless", text);
	file_id before = id_of(conf + "/wireless");
	run([] {
		delMacList();
		setMacList(0, "short");
		setMacList(1, nullptr);
	});
	EXPECT_EQ(file("wireless"), text);
	EXPECT_TRUE(id_of(conf + "/wireless") == before);

	unlink((conf + "/wireless").c_str());
	run([] {
		std::string out = logged([] {
			delMacList();
			setMacList(1, M1.c_str());
		});
		EXPECT_EQ(out, "delMacList:del_maclist_info\n\ndelMacList:Failed to load network config\n\n"
			       "setMacList:Failed to load network config\n\n");
		EXPECT_EQ(uci_ctx, nullptr);
	});
	struct stat st;
	EXPECT_NE(stat((conf + "/wireless").c_str(), &st), 0);
}

// pid is at its commit's lock of the file open at `fd`: it has that file
// open for writing (a load only reads it). libuci polls the lock, so no
// waiter shows in /proc/locks.
bool waits_for_lock(pid_t pid, int fd)
{
	struct stat want;
	if (fstat(fd, &want) != 0)
		return false;
	std::string dir = "/proc/" + std::to_string(pid);
	DIR *d = opendir((dir + "/fd").c_str());
	if (!d)
		return false;
	bool found = false;
	while (struct dirent *e = readdir(d)) {
		struct stat st;
		if (e->d_name[0] == '.' || stat((dir + "/fd/" + e->d_name).c_str(), &st) != 0 ||
		    st.st_dev != want.st_dev || st.st_ino != want.st_ino)
			continue;
		std::ifstream info(dir + "/fdinfo/" + e->d_name);
		std::string key;
		while (info >> key) {
			if (key != "flags:")
				continue;
			std::string flags;
			info >> flags;
			if ((std::stol(flags, nullptr, 8) & O_ACCMODE) == O_RDWR)
				found = true;
			break;
		}
	}
	closedir(d);
	return found;
}

// Another process commits between the writer's load and its commit: the
// writer's changes go onto that file, and the other's stay.
TEST_F(Access, WriterKeepsWhatAnotherCommittedMeanwhile)
{
	write("wireless", iface("lan_2g", "wl01", "lan", "ap", "deny", list_lines({M3})) +
				  iface("other", "wl03", "wan", "ap", ""));
	run([] {
		int lock = open("/etc/config/wireless", O_RDONLY | O_CLOEXEC);
		ASSERT_GE(lock, 0);
		ASSERT_EQ(flock(lock, LOCK_EX), 0);
		pid_t writer = fork();
		if (writer == 0) {
			close(lock);
			log_level = 0;
			setMacList(1, (M1 + ";" + M2).c_str());
			_exit(0);
		}
		ASSERT_TRUE(testing_support::wait_until([&] { return waits_for_lock(writer, lock); }, 10000));

		// what another commit would leave: a new file renamed into place
		std::ofstream("/etc/config/.wireless.other")
			<< iface("lan_2g", "wl01", "lan", "ap", "deny", list_lines({M3}) + "\toption ssid 'Changed'\n") +
				   iface("other", "wl03", "wan", "ap", "", "\toption key 'secret'\n") +
				   "\nconfig wifi-iface 'added'\n\toption ifname 'wl19'\n";
		ASSERT_EQ(rename("/etc/config/.wireless.other", "/etc/config/wireless"), 0);
		flock(lock, LOCK_UN);
		close(lock);
		int status = 0;
		ASSERT_EQ(waitpid(writer, &status, 0), writer);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

		EXPECT_EQ(read_file("/etc/config/wireless"),
			  "\nconfig wifi-iface 'lan_2g'\n\toption ifname 'wl01'\n\toption network 'lan'\n\toption mode 'ap'\n"
			  "\toption macfilter 'allow'\n" + list_lines({M3, M1, M2}) + "\toption ssid 'Changed'\n"
			  "\nconfig wifi-iface 'other'\n\toption ifname 'wl03'\n\toption network 'wan'\n\toption mode 'ap'\n"
			  "\toption key 'secret'\n"
			  "\nconfig wifi-iface 'added'\n\toption ifname 'wl19'\n\n");
	});
}

TEST_F(Access, DevicelistSettersWriteTheirOptionOnly)
{
	write("devicelist", "config settings 'settings'\n\toption level '0'\n\toption auth '0'\n\toption other 'x'\n");
	run([] {
		std::string out = logged([] {
			EXPECT_EQ(uci_set_devicelist_level(-5), 0);
			EXPECT_EQ(uci_set_devicelist_auth(2147483647), 0);
		});
		EXPECT_EQ(out, "uci_set_devicelist_level: ==== set devicelist level:-5\n\n"
			       "uci_set_devicelist_auth: ==== set devicelist auth:2147483647 \n\n");
		EXPECT_EQ(uci_ctx, nullptr);
	});
	EXPECT_EQ(file("devicelist"), "\nconfig settings 'settings'\n\toption level '-5'\n\toption auth '2147483647'\n"
				      "\toption other 'x'\n\n");

	// the same values again: nothing is written; another section name, no
	// package: nothing is written and the setter says so
	file_id before = id_of(conf + "/devicelist");
	run([] {
		EXPECT_EQ(uci_set_devicelist_level(-5), 0);
		EXPECT_EQ(uci_set_devicelist_auth(2147483647), 0);
	});
	EXPECT_TRUE(id_of(conf + "/devicelist") == before);
	const std::string other = "config settings 'other'\n\toption level '1'\n";
	write("devicelist", other);
	run([] { EXPECT_EQ(uci_set_devicelist_level(7), -1); });
	EXPECT_EQ(file("devicelist"), other);
	unlink((conf + "/devicelist").c_str());
	run([] { EXPECT_EQ(uci_set_devicelist_auth(7), -1); });
	struct stat st;
	EXPECT_NE(stat((conf + "/devicelist").c_str(), &st), 0);
}

} // namespace

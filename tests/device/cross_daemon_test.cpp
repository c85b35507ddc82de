// kestrad of each device architecture (build-NAME/, musl, statically
// linked, run by qemu-user) on the simulated satellite against the host's
// vimbd: every message kind the daemon uses crosses from its byte order and
// word size to the host's, and in every mode its replies, what it writes to
// the store and the settings file, and the scripts it starts are byte for
// byte what the host's daemon gives for the same requests.
//
// $KESTRAD_CROSS_ARCHES names the architectures to run (default: those
// built); $KESTRAD_REQUIRE_CROSS those that must not skip (scripts/test
// names all four).
#include "support/proc.h"
#include "support/satellite.h"
#include "support/method_calls.h"
#include "wire.h"

#include <gtest/gtest.h>
#include <libubus.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unistd.h>

using json = nlohmann::ordered_json;
using namespace testing_support;

namespace {

const std::string &obj = testing_support::kestrad_object;

struct device_arch {
	const char *name;     // build-NAME/
	const char *emulator; // qemu-user
	int byte_order;       // ELF: 1 little-endian, 2 big-endian
	int machine;          // ELF e_machine
};

constexpr device_arch device_arches[] = {
	{"mips-musl", "qemu-mips-static", 2, 8},
	{"mipsel-musl", "qemu-mipsel-static", 1, 8},
	{"aarch64-musl", "qemu-aarch64-static", 1, 183},
	{"arm-musl", "qemu-arm-static", 1, 40},
};

std::string kestrad_of(const device_arch &a)
{
	return std::string(KESTRAD_SOURCE_DIR) + "/build-" + a.name + "/bin/kestrad";
}

bool listed(const char *variable, const std::string &name)
{
	const char *v = getenv(variable);
	if (!v)
		return false;
	std::istringstream words(v);
	for (std::string w; words >> w;) {
		if (w == name || w == "all")
			return true;
	}
	return false;
}

bool on_path(const std::string &program)
{
	std::istringstream dirs(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
	for (std::string d; std::getline(dirs, d, ':');) {
		if (access((d + "/" + program).c_str(), X_OK) == 0)
			return true;
	}
	return false;
}

// The ELF header's byte order and machine; 0 and 0 for no ELF.
std::pair<int, int> elf_kind(const std::string &path)
{
	unsigned char h[20] = {};
	std::ifstream(path, std::ios::binary).read(reinterpret_cast<char *>(h), sizeof(h));
	if (h[0] != 0x7f || h[1] != 'E' || h[2] != 'L' || h[3] != 'F')
		return {0, 0};
	int machine = h[5] == 2 ? h[18] << 8 | h[19] : h[19] << 8 | h[18];
	return {h[5], machine};
}

class CrossDaemon : public ::testing::TestWithParam<device_arch> {
protected:
	void SetUp() override
	{
		REQUIRE_ROOT();
		const device_arch &a = GetParam();
		std::string why;
		if (getenv("KESTRAD_CROSS_ARCHES") && !listed("KESTRAD_CROSS_ARCHES", a.name))
			GTEST_SKIP() << a.name << " is not in $KESTRAD_CROSS_ARCHES";
		if (access(kestrad_of(a).c_str(), X_OK) != 0)
			why = "no build at " + kestrad_of(a) + " (scripts/cross " + a.name + ")";
		else if (!on_path(a.emulator))
			why = std::string("no ") + a.emulator;
		if (!why.empty()) {
			if (listed("KESTRAD_REQUIRE_CROSS", a.name))
				FAIL() << why;
			GTEST_SKIP() << why;
		}
	}

	static satellite_options options(const std::string &mode, const std::string &emulator_line = "")
	{
		satellite_options o;
		o.mode = mode;
		o.kestrad_bin = kestrad_of(GetParam());
		o.kestrad_emulator = emulator_line.empty() ? GetParam().emulator : emulator_line;
		return o;
	}
};

// What the daemon sent and received on its bus connection, read from an
// strace of its emulator (whose recvfrom/sendto carry the guest's bytes).
struct bus_tap {
	std::vector<uint8_t> sent, received;
};

std::vector<uint8_t> unhex(const std::string &s)
{
	std::vector<uint8_t> out;
	for (size_t i = 0; i + 4 <= s.size() && s[i] == '\\' && s[i + 1] == 'x'; i += 4)
		out.push_back(static_cast<uint8_t>(std::stoi(s.substr(i + 2, 2), nullptr, 16)));
	return out;
}

bus_tap read_tap(const std::string &trace)
{
	bus_tap tap;
	std::set<std::string> bus_fds;
	std::istringstream lines(read_file(trace));
	for (std::string line; std::getline(lines, line);) {
		auto fd_of = [&](size_t open) { return line.substr(open, line.find(',', open) - open); };
		if (line.rfind("connect(", 0) == 0 && line.find("htons(784)") != std::string::npos) {
			bus_fds.insert(fd_of(8));
			continue;
		}
		bool sent = line.rfind("sendto(", 0) == 0, received = line.rfind("recvfrom(", 0) == 0;
		if (!sent && !received)
			continue;
		size_t open = line.find('(') + 1, q1 = line.find('"'), q2 = line.find('"', q1 + 1);
		if (!bus_fds.count(fd_of(open)) || q1 == std::string::npos || q2 == std::string::npos)
			continue;
		auto bytes = unhex(line.substr(q1 + 1, q2 - q1 - 1));
		auto &to = sent ? tap.sent : tap.received;
		to.insert(to.end(), bytes.begin(), bytes.end());
	}
	return tap;
}

// Message types in a byte stream, in order; stops at a partial message.
std::vector<int> message_types(const std::vector<uint8_t> &stream)
{
	std::vector<int> types;
	for (size_t pos = 0; pos < stream.size();) {
		long len = ubus_wire::frame_length(stream.data() + pos, stream.size() - pos);
		if (len <= 0)
			break;
		types.push_back(stream[pos + 1]);
		pos += static_cast<size_t>(len);
	}
	return types;
}

bool contains_in_order(const std::vector<int> &types, const std::vector<int> &wanted)
{
	size_t i = 0;
	for (int t : types) {
		if (i < wanted.size() && t == wanted[i])
			i++;
	}
	return i == wanted.size();
}

TEST_P(CrossDaemon, DaemonAndHostBusExchangeEveryMessageKind)
{
	const device_arch &a = GetParam();
	ASSERT_EQ(elf_kind(kestrad_of(a)), std::make_pair(a.byte_order, a.machine)) << kestrad_of(a);
	ASSERT_EQ(elf_kind(bin_path("vimbd")).first, 1) << "the host's vimbd is not little-endian";
	ASSERT_TRUE(on_path("strace"));

	temp_dir scratch;
	const std::string trace = scratch.file("kestrad.trace");
	satellite sat(options("router", "strace -o " + trace + " -xx -s 65536 -e trace=connect,sendto,recvfrom " +
						   a.emulator));
	ASSERT_TRUE(sat.up());
	ASSERT_EQ(sat.object(30000), obj) << sat.log();

	auto r = sat.vimb({"call", obj, "test", R"({"hello":"abc"})"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "{\n\t\"return\": \"success\"\n}\n{\n\t\"return\": \"success\",\n\t\"return\": \"abc\"\n}\n");
	EXPECT_TRUE(wait_until([&] {
		return sat.out() == " ### recv method test from vimbd !\n ### recv method test: hello abc! \n";
	}, 10000)) << sat.out();

	// a method the router's object lacks: vimbd relays it, the daemon's
	// library answers with a status alone
	r = sat.vimb({"call", obj, "whc_sync", "{}"});
	EXPECT_EQ(r.status, 256 - UBUS_STATUS_METHOD_NOT_FOUND) << r.err;
	EXPECT_EQ(r.err, "Command failed: ubus call " + obj + " whc_sync {} (Method not found)\n");

	using namespace ubus_wire;
	bus_tap tap;
	ASSERT_TRUE(wait_until([&] {
		tap = read_tap(trace);
		return contains_in_order(message_types(tap.sent), {MSG_ADD_OBJECT, MSG_DATA, MSG_DATA, MSG_STATUS, MSG_STATUS});
	}, 10000)) << read_file(trace);
	auto got = message_types(tap.received), sent = message_types(tap.sent);
	EXPECT_TRUE(contains_in_order(got, {MSG_HELLO, MSG_DATA, MSG_STATUS, MSG_INVOKE, MSG_INVOKE}));
	EXPECT_EQ(sent.front(), MSG_ADD_OBJECT);
	// whole messages only, nothing the bus daemon could not frame
	size_t whole = 0;
	for (size_t pos = 0; pos < tap.sent.size(); whole = pos)
		pos += static_cast<size_t>(std::max(1L, frame_length(tap.sent.data() + pos, tap.sent.size() - pos)));
	EXPECT_EQ(whole, tap.sent.size());
}

// One round of RE requests and everything they leave behind.
struct re_round {
	std::map<std::string, std::string> seen;
};

re_round run_re_round(const satellite &sat)
{
	re_round out;
	auto call = [&](const std::string &name, const std::string &method, const json &args) {
		run_result r = sat.vimb({"call", obj, method, args.dump()});
		out.seen[name] = r.out + "status " + std::to_string(r.status) + "\n" + r.err;
	};
	sat.behave("readmac", "output='02:00:00:00:aa:bb'");
	sat.behave("bhstat", "status=17");

	// bytes above 0x7f and characters a shell or ctype call would trip on
	call("whc_sync", "whc_sync",
	     {{"ssid", "Café \u2713 net"}, {"pswd", "p:=w \xc3\xbf"}, {"ch_2g", "6"}, {"hidden", "1"}, {"timezone", "UTC"}});
	call("whc_quire", "whc_quire", {{"cap_devid", "CAP-\u00e9001"}, {"webpasswd", "n\u00e9w pass"}});
	call("access", "access",
	     {{"policy", 1}, {"list", "02:00:00:00:00:01;02:AB:00:00:00:02"}, {"level", 1}, {"auth", 0}});
	call("access again", "access",
	     {{"policy", 0}, {"list", "02:00:00:00:00:03"}, {"level", 2}, {"auth", 1}});

	out.seen["settings file"] = sat.exec({"cat", "/var/run/kestrad_whc_sync"}).out;
	for (const char *package : {"wireless", "devicelist", "bind", "account", "marovela"}) {
		out.seen[std::string("file ") + package] = sat.config(package);
		run_result shown = sat.exec({"uci", "show", package});
		out.seen[std::string("uci show ") + package] = shown.out + shown.err;
	}
	return out;
}

// One call of each method of a mode's object and everything the calls
// leave behind: replies, the listing, files, the scripts started.
using round = std::map<std::string, std::string>;

const std::map<std::string, std::vector<std::pair<std::string, json>>> mode_calls = {
	{"router", {{"test", {{"hello", "abc"}}}}},
	{"lanap",
	 {{"access", {{"policy", 2}, {"list", "02:00:00:00:00:01;02:00:00:00:00:02"}, {"level", -5}}},
	  {"test", {{"hello", "x\u00e9"}}}}},
	{"wifiap",
	 {{"notice", {{"ssid", "Q2Fm6Q=="}, {"passwd", "c2VjcmV0MTI="}, {"ssid_5g", "NUc="}, {"passwd_5g", "cGFzc3dvcmQ1"}}},
	  {"access", {{"policy", 1}, {"list", "02:00:00:00:00:03;02:ab:00:00:00:04"}, {"auth", 3}}}}},
};

round run_mode_round(const satellite &sat, const std::string &mode)
{
	if (mode == "re")
		return run_re_round(sat).seen;
	round out;
	for (const auto &[method, args] : mode_calls.at(mode)) {
		run_result r = sat.vimb({"call", obj, method, args.dump()});
		out[method] = r.out + "status " + std::to_string(r.status) + "\n" + r.err;
	}
	run_result listing = sat.vimb({"-v", "list", obj});
	out["listing"] = listing.out.substr(listing.out.find('\n') + 1); // after the object's id
	wait_until([&] { return sat.out().find(" ### recv method test: hello") != std::string::npos || mode == "wifiap"; },
		   5000);
	out["stdout"] = sat.out();
	for (const char *package : {"wireless", "devicelist", "marovela"})
		out[std::string("file ") + package] = sat.config(package);
	// the relink and the reload start after the reply
	size_t relinks = mode == "wifiap", reloads = mode != "router";
	wait_until([&] { return sat.calls("lua").size() == relinks && sat.calls("wifi").size() == reloads; }, 10000);
	for (const char *script : {"lua", "wifi", "kestrad_maclist_reload.sh"}) {
		std::string argvs;
		for (const auto &c : sat.calls(script))
			for (const auto &w : c.argv)
				argvs += w + " ";
		out[std::string("started ") + script] = argvs;
	}
	return out;
}

// The host daemon's rounds, made once for every architecture.
const round &host_round(const std::string &mode)
{
	static std::map<std::string, round> made;
	if (!made.count(mode)) {
		satellite_options o;
		o.mode = mode;
		satellite host(o);
		EXPECT_EQ(host.object(10000), obj) << host.log();
		made[mode] = run_mode_round(host, mode);
	}
	return made[mode];
}

TEST_P(CrossDaemon, EveryModeAnswersAndWritesAsTheHostDaemon)
{
	for (const char *mode : {"router", "lanap", "wifiap"}) {
		SCOPED_TRACE(mode);
		const round &want = host_round(mode);
		satellite cross(options(mode));
		ASSERT_EQ(cross.object(30000), obj) << cross.log();
		round got = run_mode_round(cross, mode);
		for (const auto &[what, text] : want)
			EXPECT_EQ(got[what], text) << what;
	}
	// what the host daemon gave is what was asked for
	EXPECT_NE(host_round("router").at("test").find("\"return\": \"abc\""), std::string::npos);
	EXPECT_NE(host_round("lanap").at("file devicelist").find("option level '-5'"), std::string::npos);
	EXPECT_NE(host_round("wifiap").at("file marovela").find("option BEUSED_SSID 'Caf\xe9'"), std::string::npos)
		<< host_round("wifiap").at("file marovela");
}

TEST_P(CrossDaemon, RangeExtenderRequestsLeaveTheHostDaemonsBytes)
{
	satellite host, cross(options("re"));
	ASSERT_TRUE(host.up());
	ASSERT_TRUE(cross.up());
	ASSERT_EQ(host.object(10000), obj) << host.log();
	ASSERT_EQ(cross.object(30000), obj) << cross.log();

	re_round want = run_re_round(host), got = run_re_round(cross);
	for (const auto &[what, text] : want.seen)
		EXPECT_EQ(got.seen[what], text) << what;

	// and what the host daemon wrote is what was asked for
	const std::string success = "{\n\t\"return\": \"success\"\n}\nstatus 0\n";
	EXPECT_EQ(want.seen["whc_sync"], success);
	EXPECT_EQ(want.seen["settings file"], "ssid:=Café \u2713 net\npswd:=p:=w \xc3\xbf\nhidden:=1\nch_2g:=6\ntimezone:=UTC\n");
	EXPECT_NE(want.seen["whc_quire"].find("\"return\": \"success\""), std::string::npos) << want.seen["whc_quire"];
	EXPECT_NE(want.seen["uci show bind"].find("bind.info.remoteID='CAP-\u00e9001'"), std::string::npos);
	EXPECT_NE(want.seen["uci show account"].find("account.common.admin='n\u00e9w pass'"), std::string::npos);
	EXPECT_EQ(want.seen["access"], success);
	EXPECT_NE(want.seen["file wireless"].find("list maclist '02:00:00:00:00:03'"), std::string::npos)
		<< want.seen["file wireless"];

	// the scripts both daemons started, with the same arguments
	for (const char *script : {whc_sync_script_name, "kestrad_maclist_reload.sh", "wifi"}) {
		auto argv_of = [&](const satellite &s) {
			std::vector<std::vector<std::string>> all;
			for (const auto &c : s.calls(script))
				all.push_back(c.argv);
			return all;
		};
		EXPECT_TRUE(wait_until([&] { return argv_of(cross) == argv_of(host); }, 10000)) << script;
	}
	EXPECT_EQ(host.calls(whc_sync_script_name).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Arches, CrossDaemon, ::testing::ValuesIn(device_arches),
			 [](const ::testing::TestParamInfo<device_arch> &info) {
				 std::string name = info.param.name;
				 for (char &c : name)
					 c = c == '-' ? '_' : c;
				 return name;
			 });

} // namespace

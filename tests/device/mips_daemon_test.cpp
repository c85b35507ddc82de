// The big-endian 32-bit MIPS kestrad (build-mips-musl/, statically linked
// with musl as on the device, or build-mips/ with Debian's glibc, run by
// qemu-user) on the
// simulated satellite against the host's little-endian vimbd: every message
// kind the daemon uses crosses the byte-order boundary, and what it writes
// to the store and the settings file is byte for byte what the host's
// daemon writes for the same requests.
#include "support/proc.h"
#include "support/satellite.h"
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
using testing_support::bin_path;
using testing_support::read_file;
using testing_support::run_result;
using testing_support::satellite;
using testing_support::satellite_options;
using testing_support::temp_dir;
using testing_support::wait_until;

namespace {

const std::string obj = "192.0.2.2-@kestrad";
const std::string sysroot = "/usr/mips-linux-gnu";

std::string mips_bin_dir()
{
	const char *dir = getenv("KESTRAD_MIPS_BIN_DIR");
	return dir && *dir ? dir : KESTRAD_MIPS_BIN_DIR;
}

std::string mips_kestrad() { return mips_bin_dir() + "/kestrad"; }

bool on_path(const std::string &program)
{
	std::istringstream dirs(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
	for (std::string d; std::getline(dirs, d, ':');) {
		if (access((d + "/" + program).c_str(), X_OK) == 0)
			return true;
	}
	return false;
}

// The ELF header's byte order: 1 little-endian, 2 big-endian, 0 no ELF.
int elf_byte_order(const std::string &path)
{
	unsigned char ident[6] = {};
	std::ifstream(path, std::ios::binary).read(reinterpret_cast<char *>(ident), sizeof(ident));
	if (ident[0] != 0x7f || ident[1] != 'E' || ident[2] != 'L' || ident[3] != 'F')
		return 0;
	return ident[5];
}

// A dynamically linked program (one with an interpreter) needs the glibc
// sysroot under the emulator; musl builds are static.
bool is_dynamic(const std::string &path)
{
	unsigned char h[52] = {};
	std::ifstream in(path, std::ios::binary);
	in.read(reinterpret_cast<char *>(h), sizeof(h));
	auto be = [](const unsigned char *p, int n) {
		uint32_t v = 0;
		for (int i = 0; i < n; i++)
			v = v << 8 | p[i];
		return v;
	};
	uint32_t phoff = be(h + 28, 4), phentsize = be(h + 42, 2), phnum = be(h + 44, 2);
	for (uint32_t i = 0; i < phnum; i++) {
		unsigned char type[4] = {};
		in.seekg(phoff + i * phentsize);
		in.read(reinterpret_cast<char *>(type), sizeof(type));
		if (be(type, 4) == 3) // PT_INTERP
			return true;
	}
	return false;
}

// scripts/test builds build-mips/ first and sets KESTRAD_REQUIRE_MIPS: there
// a missing build fails instead of skipping.
#define REQUIRE_MIPS()                                                                      \
	do {                                                                                \
		REQUIRE_ROOT();                                                             \
		std::string why;                                                            \
		if (access(mips_kestrad().c_str(), X_OK) != 0)                              \
			why = "no MIPS build at " + mips_kestrad() + " (scripts/cross mips)"; \
		else if (!on_path("qemu-mips-static"))                                      \
			why = "no qemu-mips-static";                                        \
		else if (is_dynamic(mips_kestrad()) && access(sysroot.c_str(), F_OK) != 0)  \
			why = "no " + sysroot + " for the dynamically linked " + mips_kestrad(); \
		if (!why.empty()) {                                                         \
			if (getenv("KESTRAD_REQUIRE_MIPS"))                                 \
				FAIL() << why;                                              \
			GTEST_SKIP() << why;                                                \
		}                                                                           \
	} while (0)

std::string emulator()
{
	return is_dynamic(mips_kestrad()) ? "qemu-mips-static -L " + sysroot : "qemu-mips-static";
}

satellite_options mips_options(const std::string &mode, const std::string &emulator_line = emulator())
{
	satellite_options o;
	o.mode = mode;
	o.kestrad_bin = mips_kestrad();
	o.kestrad_emulator = emulator_line;
	return o;
}

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

TEST(MipsDaemon, BigEndianDaemonAndLittleEndianBusExchangeEveryMessageKind)
{
	REQUIRE_MIPS();
	ASSERT_EQ(elf_byte_order(mips_kestrad()), 2) << "kestrad of the MIPS build is not big-endian";
	ASSERT_EQ(elf_byte_order(bin_path("vimbd")), 1) << "the host's vimbd is not little-endian";
	ASSERT_TRUE(on_path("strace"));

	temp_dir scratch;
	const std::string trace = scratch.file("kestrad.trace");
	satellite sat(mips_options("router", "strace -o " + trace + " -xx -s 65536 -e trace=connect,sendto,recvfrom " +
						    emulator()));
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

TEST(MipsDaemon, RangeExtenderRequestsLeaveTheHostDaemonsBytes)
{
	REQUIRE_MIPS();
	satellite host, mips(mips_options("re"));
	ASSERT_TRUE(host.up());
	ASSERT_TRUE(mips.up());
	ASSERT_EQ(host.object(10000), obj) << host.log();
	ASSERT_EQ(mips.object(30000), obj) << mips.log();

	re_round want = run_re_round(host), got = run_re_round(mips);
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
	for (const char *script : {"kestrad_whc_sync.sh", "kestrad_maclist_reload.sh", "wifi"}) {
		auto argv_of = [&](const satellite &s) {
			std::vector<std::vector<std::string>> all;
			for (const auto &c : s.calls(script))
				all.push_back(c.argv);
			return all;
		};
		EXPECT_TRUE(wait_until([&] { return argv_of(mips) == argv_of(host); }, 10000)) << script;
	}
	EXPECT_EQ(host.calls("kestrad_whc_sync.sh").size(), 1u);
}

} // namespace

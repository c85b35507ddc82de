// A home on one PC: the CAP's vimbd and six satellites of mixed modes on one
// bridge (tools/satellite/mesh). One mesh per suite: its start is the
// costly part. Mesh.* is the everyday test; MeshFaults.* (the `slow` test
// mesh_test_faults) waits out keepalives and retries.
#include "support/mesh.h"
#include "support/proc.h"
#include "support/method_calls.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

using namespace testing_support;

namespace {

// The retry period of the bus link, and what a loaded machine adds to one
// attempt (route -n, connect, publish) and to our polling of it.
constexpr long long retry_ms = 10000;
constexpr long long attempt_slack_ms = 4000;

const std::map<std::string, std::vector<std::string>> methods_of = {
	{"re", {"access", "whc_sync", "whc_quire", "bind", "smart_sync", "common_set"}},
	{"wifiap", {"notice", "access"}},
	{"lanap", {"access", "test"}},
	{"router", {"test"}},
};

bool offers(const mesh::member &m, const std::string &method)
{
	const auto &ms = methods_of.at(m.mode);
	return std::find(ms.begin(), ms.end(), method) != ms.end();
}

// A MAC address of satellite i's own.
std::string mac_of(size_t i)
{
	char buf[32];
	snprintf(buf, sizeof(buf), "02:00:00:00:aa:%02zx", i + 1);
	return buf;
}

const std::string lost_line = "vimb connection lost,trying reinit vimb";
const std::string published_line = "push object success";

// `vimb -v list`: object name -> its methods in order.
std::map<std::string, std::vector<std::string>> listing(const std::string &text)
{
	std::map<std::string, std::vector<std::string>> out;
	std::string current;
	std::istringstream in(text);
	std::smatch m;
	for (std::string line; std::getline(in, line);) {
		if (std::regex_match(line, m, std::regex(R"('([^']*)' @[0-9a-f]+)")))
			out[current = m[1]];
		else if (std::regex_match(line, m, std::regex(R"re(\t"([^"]+)":\{.*\})re")))
			out[current].push_back(m[1]);
	}
	return out;
}

class MeshBase : public ::testing::Test {
protected:
	static std::unique_ptr<mesh> m;

	static void start()
	{
		if (!testing_support::have_root())
			return;
		m = std::make_unique<mesh>(std::vector<std::string>{"re", "wifiap", "lanap", "router", "re", "wifiap"});
	}
	static void TearDownTestSuite() { m.reset(); }
	void SetUp() override
	{
		REQUIRE_ROOT();
		ASSERT_TRUE(m && m->up());
	}

	bool all_listed(int ms) const
	{
		return wait_until([&] { return m->objects().size() == m->satellites().size(); }, ms);
	}

	// A call of each satellite from the CAP, in one shell: a method its mode
	// offers that changes nothing. Returns how many answered "success".
	size_t call_each() const
	{
		std::string script;
		for (size_t i = 0; i < m->satellites().size(); i++) {
			const auto &s = m->satellites()[i];
			if (offers(s, "test"))
				script += "gwvimb call " + s.object() + R"( test '{"hello":"mesh"}'; )";
			else
				script += "gwvimb call " + s.object() + R"( access '{"policy":1,"list":")" + mac_of(i) +
					  R"(","level":1,"auth":0}'; )";
		}
		std::string out = m->sh("cap", script).out;
		return count(out, "{\n\t\"return\": \"success\"\n}\n");
	}

	// How often each satellite's log says it lost the link and published.
	struct marks {
		std::vector<size_t> lost, published;
	};
	marks mark() const
	{
		marks out;
		for (const auto &s : m->satellites()) {
			std::string log = m->log(s.address);
			out.lost.push_back(count(log, lost_line));
			out.published.push_back(count(log, published_line));
		}
		return out;
	}

	// After a fault at t0 (marks taken before it): when each satellite's
	// log first showed the link lost, and when it published again after
	// that (-1: not within ms).
	struct comeback {
		long long lost = -1, back = -1;
	};
	std::vector<comeback> watch_comebacks(const marks &before, long long t0, int ms) const
	{
		const auto &sats = m->satellites();
		std::vector<comeback> out(sats.size());
		wait_until([&] {
			bool all = true;
			for (size_t i = 0; i < sats.size(); i++) {
				if (out[i].back >= 0)
					continue;
				std::string log = m->log(sats[i].address);
				long long now = monotonic_ms() - t0;
				if (out[i].lost < 0 && count(log, lost_line) > before.lost[i])
					out[i].lost = now;
				if (out[i].lost >= 0 && count(log, published_line) > before.published[i])
					out[i].back = now;
				all = all && out[i].back >= 0;
			}
			if (!all)
				std::this_thread::sleep_for(std::chrono::milliseconds(50));
			return all;
		}, ms);
		return out;
	}

	void expect_back_within_one_retry(const char *fault, const std::vector<comeback> &times) const
	{
		for (size_t i = 0; i < times.size(); i++) {
			const auto &s = m->satellites()[i];
			printf("%s: %s lost its link after %.1f s, published again after %.1f s\n", fault,
			       s.address.c_str(), times[i].lost / 1000.0, times[i].back / 1000.0);
			ASSERT_GE(times[i].back, 0) << s.address << " never came back";
			EXPECT_LE(times[i].back - times[i].lost, scaled_ms(retry_ms + attempt_slack_ms)) << s.address;
		}
	}
};
std::unique_ptr<mesh> MeshBase::m;

class Mesh : public MeshBase {
protected:
	static void SetUpTestSuite() { start(); }
};

TEST_F(Mesh, EverySatellitePublishesUnderItsAddressWithItsModesMethods)
{
	ASSERT_TRUE(all_listed(30000));
	auto objects = listing(m->vimb("cap", {"-v", "list"}).out);
	ASSERT_EQ(objects.size(), m->satellites().size());
	for (const auto &s : m->satellites())
		EXPECT_EQ(objects[s.object()], methods_of.at(s.mode)) << s.address << " (" << s.mode << ")";
}

TEST_F(Mesh, PushesFromTheCapLandInEachSatellitesOwnFilesOnly)
{
	ASSERT_TRUE(all_listed(30000));
	const auto &sats = m->satellites();
	std::string script;
	size_t pushes = 0;
	for (size_t i = 0; i < sats.size(); i++) {
		const auto &s = sats[i];
		if (offers(s, "whc_sync"))
			script += "gwvimb call " + s.object() + R"( whc_sync '{"ssid":"Home-)" + s.address +
				  R"(","pswd":"secret12"}'; )", pushes++;
		if (offers(s, "access"))
			script += "gwvimb call " + s.object() + R"( access '{"policy":1,"list":")" + mac_of(i) +
				  R"(","level":1,"auth":0}'; )", pushes++;
	}
	std::string replies = m->sh("cap", script).out;
	EXPECT_EQ(count(replies, "\"return\": \"success\""), pushes) << replies;

	for (size_t i = 0; i < sats.size(); i++) {
		const auto &s = sats[i];
		std::string sync = m->sh(s.address, "cat /var/run/kestrad_whc_sync 2>/dev/null").out;
		std::string wireless = m->file(s.address, "config/wireless");
		if (offers(s, "whc_sync")) {
			EXPECT_NE(sync.find("ssid:=Home-" + s.address + "\n"), std::string::npos) << s.address << sync;
			EXPECT_EQ(count(sync, "Home-"), 1u) << s.address << sync;
			EXPECT_EQ(m->calls(s.address, whc_sync_script_name).size(), 1u) << s.address;
		} else {
			EXPECT_EQ(sync, "") << s.address;
			EXPECT_TRUE(m->calls(s.address, whc_sync_script_name).empty()) << s.address;
		}
		for (size_t j = 0; j < sats.size(); j++) {
			bool own = j == i && offers(s, "access");
			EXPECT_EQ(wireless.find(mac_of(j)) != std::string::npos, own)
				<< s.address << " and the MAC of " << sats[j].address << ":\n" << wireless;
		}
	}
}

TEST_F(Mesh, AfterTheCapsVimbdRestartsEverySatellitePublishesWithinItsRetry)
{
	ASSERT_TRUE(all_listed(30000));
	auto before = mark();
	long long t0 = monotonic_ms();
	ASSERT_EQ(m->exec("cap", {"svc", "restart", "vimbd"}).status, 0);
	auto times = watch_comebacks(before, t0, static_cast<int>(scaled_ms(retry_ms + 20000)));
	expect_back_within_one_retry("vimbd restart", times);
	for (const auto &t : times)
		EXPECT_LE(t.back, scaled_ms(retry_ms + attempt_slack_ms));
	EXPECT_EQ(m->objects().size(), m->satellites().size());
	EXPECT_EQ(call_each(), m->satellites().size());
}

TEST_F(Mesh, ARestartedKestradComesBackUnderItsNameAndNoOtherNotices)
{
	ASSERT_TRUE(all_listed(30000));
	const auto &sats = m->satellites();
	const auto &victim = sats[1];
	auto before = mark();
	ASSERT_EQ(m->sh(victim.address, "svc kill kestrad && svc start kestrad").status, 0);
	ASSERT_TRUE(wait_until([&] { return mark().published[1] > before.published[1]; },
			       static_cast<int>(scaled_ms(1000 + attempt_slack_ms))))
		<< m->log(victim.address).substr(0, 2000);
	auto objects = m->objects();
	EXPECT_NE(std::find(objects.begin(), objects.end(), victim.object()), objects.end());
	EXPECT_EQ(objects.size(), sats.size());
	EXPECT_EQ(call_each(), sats.size());
	auto after = mark();
	for (size_t i = 0; i < sats.size(); i++) {
		if (i != 1) {
			EXPECT_EQ(after.lost[i], before.lost[i]) << sats[i].address << " lost its link";
			EXPECT_EQ(after.published[i], before.published[i]) << sats[i].address << " published again";
		}
	}
}

class MeshFaults : public MeshBase {
protected:
	static void SetUpTestSuite() { start(); }
};

// The CAP takes a new address and restarts its vimbd there; every
// satellite's default route moves to it.
TEST_F(MeshFaults, TheCapsAddressChanges)
{
	ASSERT_TRUE(all_listed(30000));
	auto before = mark();
	long long t0 = monotonic_ms();
	ASSERT_TRUE(m->fault({"readdress", "192.0.2.254"}));
	// Half-open at worst: keepalive (30 s idle, 3 probes 10 s apart).
	auto times = watch_comebacks(before, t0, static_cast<int>(scaled_ms(60000 + retry_ms + 20000)));
	expect_back_within_one_retry("address change", times);
	for (const auto &s : m->satellites())
		EXPECT_NE(m->log(s.address).find("gw:192.0.2.254"), std::string::npos) << s.address;
	EXPECT_EQ(call_each(), m->satellites().size());
}

// Nothing crosses the bridge for 30 s; the bus connections outlast it.
TEST_F(MeshFaults, TheBridgeDropsEverythingFor30Seconds)
{
	ASSERT_TRUE(all_listed(30000));
	auto before = mark();
	ASSERT_TRUE(m->fault({"drop"}));
	std::this_thread::sleep_for(std::chrono::seconds(30)); // the fault itself
	ASSERT_TRUE(m->fault({"heal"}));
	long long t0 = monotonic_ms();
	size_t answered = 0;
	wait_until([&] { return (answered = call_each()) == m->satellites().size(); },
		   static_cast<int>(scaled_ms(retry_ms + attempt_slack_ms)));
	printf("bridge healed: all %zu satellites answered after %.1f s\n", answered, (monotonic_ms() - t0) / 1000.0);
	EXPECT_EQ(answered, m->satellites().size());
	auto after = mark();
	for (size_t i = 0; i < m->satellites().size(); i++)
		EXPECT_EQ(after.lost[i], before.lost[i]) << m->satellites()[i].address << " lost its link";
}

// The CAP's namespaces and link go at once (no FIN, no RST), and a fresh
// CAP comes back: each satellite learns it from its keepalive, which the
// new CAP answers with a reset, and publishes within one retry.
TEST_F(MeshFaults, TheCapVanishesAndComesBack)
{
	ASSERT_TRUE(all_listed(30000));
	auto before = mark();
	long long t0 = monotonic_ms();
	ASSERT_TRUE(m->fault({"vanish"}));
	ASSERT_TRUE(m->fault({"return"}));
	printf("CAP back after %.1f s\n", (monotonic_ms() - t0) / 1000.0);
	auto times = watch_comebacks(before, t0, static_cast<int>(scaled_ms(60000 + retry_ms + 20000)));
	expect_back_within_one_retry("CAP vanished", times);
	for (const auto &t : times)
		EXPECT_LE(t.lost, scaled_ms(30000 + 3 * 10000 + attempt_slack_ms));
	EXPECT_EQ(call_each(), m->satellites().size());
}

} // namespace

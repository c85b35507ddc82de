// A hostile gateway: the test plays the bus daemon to kestrad inside the
// simulated satellite (its vimbd stopped, the test listening on the
// gateway's address) and invokes every method of each mode with random and
// mutated argument tables from a fixed seed. Stand-ins answer at once.
// $KESTRAD_HOSTILE_INVOKES sets the invokes per method (1,000 by default);
// $KESTRAD_HOSTILE_KESTRAD names another kestrad binary (the ASan build's).
extern "C" {
#include <libubox/blobmsg.h>
}

#include "access/access.h"
#include "bus/request.h"
#include "bus/test_method.h"
#include "methods/bind.h"
#include "methods/common_set.h"
#include "methods/notice.h"
#include "methods/whc_quire.h"
#include "methods/whc_sync.h"
#include "support/bus_peer.h"
#include "support/proc.h"
#include "support/satellite.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <uci.h>

#include <fcntl.h>
#include <optional>
#include <fstream>
#include <map>
#include <poll.h>
#include <random>
#include <sched.h>
#include <sys/socket.h>

using namespace ubus_wire;
using namespace testing_support;

namespace {

constexpr uint32_t obj_id = 0x99, caller = 0x77;

struct outcome {
	int replies = 0;          // DATA messages
	std::string first_return; // of the first one
	bool status = false;      // the STATUS that ends the call came
};

long env_long(const char *name, long fallback)
{
	const char *v = getenv(name);
	return v && *v ? atol(v) : fallback;
}

// Random and mutated argument tables for a policy.
class table_maker {
public:
	explicit table_maker(unsigned seed) : rng_(seed) {}

	std::vector<uint8_t> make(const struct ubus_method &m)
	{
		struct blob_buf b = {};
		blob_buf_init(&b, 0);
		int n = static_cast<int>(pick(m.n_policy + 4));
		for (int i = 0; i < n; i++)
			add_field(&b, m, 0);
		auto *data = static_cast<uint8_t *>(blob_data(b.head));
		std::vector<uint8_t> out(data, data + blob_len(b.head));
		blob_buf_free(&b);
		if (pick(4) == 0)
			mutate(out);
		return out;
	}

	unsigned pick(unsigned n) { return n ? static_cast<unsigned>(rng_() % n) : 0; }

private:
	std::string bytes(size_t len)
	{
		std::string s(len, '\0');
		for (auto &c : s)
			c = static_cast<char>(pick(256));
		return s;
	}

	size_t length()
	{
		switch (pick(10)) {
		case 0: return 0;
		case 1: return 17 + pick(65536 - 17); // up to 64 KiB
		case 2: return 17 + pick(300);
		default: return pick(17);
		}
	}

	std::string name(const struct ubus_method &m)
	{
		switch (pick(8)) {
		case 0: return "";
		case 1: return bytes(1 + pick(40));
		case 2: return std::string(m.policy[pick(m.n_policy)].name) + "x";
		default: return m.policy[pick(m.n_policy)].name; // duplicates come too
		}
	}

	void add_field(struct blob_buf *b, const struct ubus_method &m, int depth)
	{
		std::string key = name(m);
		unsigned type = pick(3) ? static_cast<unsigned>(m.policy[pick(m.n_policy)].type) : pick(BLOBMSG_TYPE_DOUBLE + 2);
		if ((type == BLOBMSG_TYPE_TABLE || type == BLOBMSG_TYPE_ARRAY) && depth < 2) {
			void *c = type == BLOBMSG_TYPE_TABLE ? blobmsg_open_table(b, key.c_str())
							     : blobmsg_open_array(b, key.c_str());
			for (unsigned i = pick(4); i > 0; i--)
				add_field(b, m, depth + 1);
			blobmsg_close_table(b, c);
			return;
		}
		std::string value;
		switch (type) {
		case BLOBMSG_TYPE_STRING:
			value = bytes(length());
			if (pick(8))
				value.push_back('\0'); // else unterminated
			break;
		case BLOBMSG_TYPE_INT64:
		case BLOBMSG_TYPE_DOUBLE: value = bytes(pick(6) ? 8 : pick(12)); break;
		case BLOBMSG_TYPE_INT32: value = bytes(pick(6) ? 4 : pick(8)); break;
		case BLOBMSG_TYPE_INT16: value = bytes(pick(6) ? 2 : pick(4)); break;
		case BLOBMSG_TYPE_INT8: value = bytes(pick(6) ? 1 : pick(4)); break;
		default: value = bytes(pick(20)); break;
		}
		blobmsg_add_field(b, static_cast<int>(type), key.c_str(), value.data(), static_cast<unsigned>(value.size()));
	}

	// Cut, flipped bytes, a length field that lies, trailing garbage.
	void mutate(std::vector<uint8_t> &d)
	{
		switch (pick(4)) {
		case 0:
			d.resize(pick(static_cast<unsigned>(d.size()) + 1));
			break;
		case 1:
			for (unsigned i = 1 + pick(4); i > 0 && !d.empty(); i--)
				d[pick(static_cast<unsigned>(d.size()))] = static_cast<uint8_t>(pick(256));
			break;
		case 2:
			if (d.size() >= 4) {
				size_t at = pick(static_cast<unsigned>(d.size() / 4)) * 4;
				uint32_t v = static_cast<uint32_t>(rng_());
				memcpy(&d[at], &v, 4);
			}
			break;
		default: {
			auto g = bytes(1 + pick(12));
			d.insert(d.end(), g.begin(), g.end());
			break;
		}
		}
	}

	std::mt19937 rng_;
};

// The DATA attribute as the handler receives it.
struct data_attr {
	explicit data_attr(const std::vector<uint8_t> &args)
	{
		blob_buf_init(&b, 0);
		attr = blob_put(&b, ATTR_DATA, args.data(), static_cast<unsigned>(args.size()));
	}
	~data_attr() { blob_buf_free(&b); }
	struct blob_buf b = {};
	struct blob_attr *attr;
};

class HostileGateway : public ::testing::Test {
protected:
	void SetUp() override { REQUIRE_ROOT(); }

	// Enters the satellite's network namespace, stops its vimbd and
	// listens on the gateway's address in its place.
	void take_over(satellite &sat)
	{
		ASSERT_TRUE(sat.up());
		std::ofstream(sat.dir() + "/state/no-records").put('\n');
		ASSERT_TRUE(sat.svc("stop", "vimbd"));
		std::string init = testing_support::read_file(sat.dir() + "/state/init.pid");
		int ns = open(("/proc/" + std::to_string(std::stoi(init)) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
		ASSERT_GE(ns, 0);
		ASSERT_EQ(setns(ns, CLONE_NEWNET), 0);
		close(ns);
		listener = bus_peer::listen_tcp("192.0.2.1", 784);
		ASSERT_GE(listener, 0);
		ASSERT_TRUE(sat.svc("start", "kestrad"));
	}

	void TearDown() override
	{
		gw.reset();
		if (listener >= 0)
			close(listener);
		if (home >= 0) {
			setns(home, CLONE_NEWNET);
			close(home);
		}
	}

	// Accepts kestrad's connection and answers its hello and publication.
	void accept_kestrad(int ms)
	{
		struct pollfd pfd = {listener, POLLIN, 0};
		ASSERT_EQ(poll(&pfd, 1, ms), 1) << "kestrad did not connect";
		gw = std::make_unique<bus_peer>(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
		gw->send(MSG_HELLO, 0, 0x55);
		auto add = gw->next(5000);
		ASSERT_TRUE(add && add->type == MSG_ADD_OBJECT);
		gw->out().reset();
		gw->out().put_u32(ATTR_OBJID, obj_id);
		gw->out().put_u32(ATTR_OBJTYPE, 0x98);
		gw->send(MSG_DATA, add->seq, 0);
		gw->out().reset();
		gw->out().put_u32(ATTR_STATUS, 0);
		gw->send(MSG_STATUS, add->seq, 0);
	}

	outcome invoke(const char *method, const std::vector<uint8_t> *args)
	{
		uint16_t s = ++seq;
		gw->out().reset();
		gw->out().put_u32(ATTR_OBJID, obj_id);
		gw->out().put_string(ATTR_METHOD, method);
		if (args)
			gw->out().put_raw(ATTR_DATA, args->data(), args->size());
		gw->send(MSG_INVOKE, s, caller);
		outcome o;
		while (auto r = gw->next(10000)) {
			if (r->seq != s || r->peer != caller)
				continue;
			if (r->type == MSG_STATUS) {
				o.status = true;
				break;
			}
			if (r->type != MSG_DATA)
				continue;
			if (o.replies++ == 0 && r->m.tb[ATTR_DATA]) {
				static const struct blobmsg_policy ret[] = {{"return", BLOBMSG_TYPE_STRING}};
				struct blob_attr *tb[1] = {};
				struct blob_attr *d = r->m.tb[ATTR_DATA];
				blobmsg_parse(ret, 1, tb, blob_data(d), blob_len(d));
				if (tb[0])
					o.first_return = blobmsg_get_string(tb[0]);
			}
		}
		return o;
	}

	// What the valid requests among the storm asked to be stored: the
	// settings file of the last whc_sync that wrote one, and whc_quire's
	// last cap_devid and webpasswd.
	struct expected {
		std::string settings;
		std::optional<std::string> remote_id, admin;
	};

	// Every method of the mode, `count` times each, interleaved; checks
	// each reply against the rules of its method.
	expected storm(const std::vector<const struct ubus_method *> &methods, long count, unsigned seed)
	{
		table_maker maker(seed);
		expected want;
		std::string &settings = want.settings;
		for (long i = 0; i < count; i++) {
			for (const auto *m : methods) {
				auto args = maker.make(*m);
				bool no_data = maker.pick(50) == 0;
				outcome o = invoke(m->name, no_data ? nullptr : &args);
				std::string where = std::string(m->name) + " #" + std::to_string(i);
				if (!o.status) {
					ADD_FAILURE() << where << ": no status";
					return want;
				}
				data_attr a(no_data ? std::vector<uint8_t>{} : args);
				struct blob_attr *tb[32] = {};
				std::string name = m->name;
				if (no_data) {
					// no argument table: refused before any handler, as on the device
					EXPECT_EQ(o.replies, 0) << where;
				} else if (name == "test") {
					// parsed without checking the result, as the handler does
					blobmsg_parse(m->policy, m->n_policy, tb, blob_data(a.attr), blob_len(a.attr));
					EXPECT_EQ(o.replies, tb[0] ? 2 : 0) << where;
				} else if (name == "notice") {
					bool parsed = request_parse(m->policy, m->n_policy, tb, a.attr) == 0;
					bool pair = parsed && ((tb[0] && tb[1]) || (tb[2] && tb[3]));
					EXPECT_EQ(o.replies, pair ? 1 : 0) << where;
					if (pair) {
						EXPECT_TRUE(o.first_return == "success" || o.first_return == "fail, base64 error")
							<< where << ": " << o.first_return;
					}
				} else if (name == "access") {
					request_parse(m->policy, m->n_policy, tb, a.attr);
					EXPECT_EQ(o.replies, tb[0] && tb[1] ? 1 : 0) << where;
					if (o.replies) {
						EXPECT_FALSE(o.first_return.empty()) << where;
					}
				} else {
					EXPECT_EQ(o.replies, 1) << where;
					EXPECT_FALSE(o.first_return.empty()) << where;
				}
				if (name == "whc_sync" && o.first_return != "fail, parse error" &&
				    o.first_return != "fail, fopen error") {
					EXPECT_EQ(request_parse(m->policy, m->n_policy, tb, a.attr), 0) << where;
					settings.clear();
					for (int f = 0; f < m->n_policy; f++)
						if (tb[f])
							settings += std::string(m->policy[f].name) + ":=" +
								    blobmsg_get_string(tb[f]) + "\n";
				}
				if (name == "whc_quire" && o.first_return == "success") {
					request_parse(m->policy, m->n_policy, tb, a.attr);
					// an empty value deletes the option, as uci_set does
					auto stored = [](struct blob_attr *f) {
						std::string v = blobmsg_get_string(f);
						return v.empty() ? std::string("<absent>") : v;
					};
					if (tb[0])
						want.remote_id = stored(tb[0]);
					if (tb[1])
						want.admin = stored(tb[1]);
				}
				if (HasFailure())
					return want;
			}
		}
		return want;
	}

	void expect_alive_and_clean(const satellite &sat, const std::string &pid)
	{
		std::string now = testing_support::read_file(sat.dir() + "/state/kestrad.pid");
		EXPECT_EQ(now, pid) << "kestrad restarted";
		EXPECT_EQ(sat.exec({"kill", "-0", std::to_string(std::stoi(pid))}).status, 0) << sat.log();
		for (const char *report : {"AddressSanitizer", "runtime error", "LeakSanitizer"})
			EXPECT_EQ(sat.log().find(report), std::string::npos) << sat.log();
	}

	int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
	int listener = -1;
	std::unique_ptr<bus_peer> gw;
	uint16_t seq = 0;
};

satellite_options options(const std::string &mode)
{
	satellite_options o;
	o.mode = mode;
	o.start_kestrad = false;
	if (const char *bin = getenv("KESTRAD_HOSTILE_KESTRAD"))
		o.kestrad_bin = bin;
	return o;
}

// Packages no request may write; whc_quire's bind and account, and the
// settings file, are checked against the requests apart.
const char *const untouched[] = {"misc", "messaging"};

// An option as the package file holds it now, read with the project's
// libuci; "<absent>" when it is not there.
std::string uci_value(const satellite &sat, const char *package, const char *section, const char *option)
{
	std::string value = "<absent>";
	struct uci_context *ctx = uci_alloc_context();
	uci_set_confdir(ctx, (sat.dir() + "/config").c_str());
	struct uci_package *p = nullptr;
	if (uci_load(ctx, package, &p) == UCI_OK && p) {
		struct uci_ptr ptr = {};
		ptr.package = package;
		ptr.section = section;
		ptr.option = option;
		if (uci_lookup_ptr(ctx, &ptr, nullptr, false) == UCI_OK && ptr.o && ptr.o->type == UCI_TYPE_STRING)
			value = ptr.o->v.string;
	}
	uci_free_context(ctx);
	return value;
}

struct mode_case {
	const char *mode;
	std::vector<const struct ubus_method *> methods;
	std::vector<std::string> also_untouched; // packages no method of the mode writes
	unsigned seed;
};

class HostileModes : public HostileGateway, public ::testing::WithParamInterface<mode_case> {};

TEST_P(HostileModes, EveryMethodSurvivesMutatedTables)
{
	const mode_case &c = GetParam();
	satellite sat(options(c.mode));
	take_over(sat);
	if (HasFatalFailure())
		return;
	std::map<std::string, std::string> before;
	for (const auto &p : {"misc", "messaging", "account", "bind", "marovela"})
		before[p] = sat.config(p);
	accept_kestrad(5000);
	if (HasFatalFailure())
		return;
	std::string pid = testing_support::read_file(sat.dir() + "/state/kestrad.pid");

	expected want = storm(c.methods, env_long("KESTRAD_HOSTILE_INVOKES", 1000), c.seed);

	// A valid call is still answered.
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "policy", 0);
	blobmsg_add_string(&b, "list", "");
	auto *d = static_cast<uint8_t *>(blob_data(b.head));
	std::vector<uint8_t> valid(d, d + blob_len(b.head));
	blob_buf_free(&b);
	outcome o = invoke("access", &valid);
	EXPECT_EQ(o.first_return, "success");
	expect_alive_and_clean(sat, pid);

	for (const char *p : untouched)
		EXPECT_EQ(sat.config(p), before[p]) << p;
	if (want.remote_id) {
		EXPECT_EQ(uci_value(sat, "bind", "info", "remoteID"), *want.remote_id);
	} else {
		EXPECT_EQ(sat.config("bind"), before["bind"]);
	}
	if (want.admin) {
		EXPECT_EQ(uci_value(sat, "account", "common", "admin"), *want.admin);
	} else {
		EXPECT_EQ(sat.config("account"), before["account"]);
	}
	for (const auto &p : c.also_untouched)
		EXPECT_EQ(sat.config(p), before[p]) << p;
	for (const char *p : {"wireless", "devicelist", "marovela"})
		EXPECT_EQ(sat.exec({"uci", "show", p}).status, 0) << p << " no longer parses";
	// Exactly what the last whc_sync that wrote asked for, or nothing.
	EXPECT_EQ(sat.exec({"cat", WHC_SYNC_SETTINGS_PATH}).out, want.settings);
}

INSTANTIATE_TEST_SUITE_P(Modes, HostileModes,
	::testing::Values(
		mode_case{"re", {&access_method, &whc_sync_method, &whc_quire_method, &bind_method,
				 &smart_sync_method, &common_set_method}, {"marovela"}, 12},
		mode_case{"wifiap", {&notice_method, &access_method}, {}, 13},
		mode_case{"lanap", {&access_method, &test_method}, {"marovela"}, 14}),
	[](const auto &info) { return std::string(info.param.mode); });

// The router's object, then one message over the bus's 1 MiB limit: kestrad
// drops the connection, says so, and connects again 10 s later.
TEST_F(HostileGateway, RouterModeAndAnOversizedMessage)
{
	satellite sat(options("router"));
	take_over(sat);
	if (HasFatalFailure())
		return;
	std::map<std::string, std::string> before;
	for (const auto &p : {"misc", "messaging", "account", "bind", "marovela", "wireless", "devicelist"})
		before[p] = sat.config(p);
	accept_kestrad(5000);
	if (HasFatalFailure())
		return;
	std::string pid = testing_support::read_file(sat.dir() + "/state/kestrad.pid");
	storm({&test_method}, env_long("KESTRAD_HOSTILE_INVOKES", 1000), 11);

	std::vector<uint8_t> big(max_message + 4096, 'x');
	gw->out().reset();
	gw->out().put_u32(ATTR_OBJID, obj_id);
	gw->out().put_string(ATTR_METHOD, "test");
	auto head = bus_peer::encode(MSG_INVOKE, ++seq, caller, gw->out().head());
	// The header claims the whole size; the body follows in full.
	uint32_t body_len = static_cast<uint32_t>(head.size() - header_size + big.size() + 4);
	std::vector<uint8_t> msg(head.begin(), head.begin() + header_size);
	uint32_t be = htobe32(body_len);
	memcpy(&msg[4], &be, 4);
	msg.insert(msg.end(), head.begin() + header_size, head.end());
	uint32_t data_hdr = htobe32(static_cast<uint32_t>(ATTR_DATA) << 24 | static_cast<uint32_t>(big.size() + 4));
	msg.insert(msg.end(), reinterpret_cast<uint8_t *>(&data_hdr), reinterpret_cast<uint8_t *>(&data_hdr) + 4);
	msg.insert(msg.end(), big.begin(), big.end());
	gw->send_bytes(msg.data(), msg.size());
	EXPECT_TRUE(sat.wait_log("vimb connection lost", 5000)) << sat.log();
	// The old socket is closed when the new connection is made.
	auto old = std::move(gw);
	accept_kestrad(15000);
	if (HasFatalFailure())
		return;
	EXPECT_TRUE(old->closed_within(5000));
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "hello", "again");
	auto *d = static_cast<uint8_t *>(blob_data(b.head));
	std::vector<uint8_t> valid(d, d + blob_len(b.head));
	blob_buf_free(&b);
	outcome o = invoke("test", &valid);
	EXPECT_EQ(o.replies, 2);
	EXPECT_EQ(o.first_return, "success");
	expect_alive_and_clean(sat, pid);
	for (const auto &[p, text] : before)
		EXPECT_EQ(sat.config(p), text) << p;
	EXPECT_NE(sat.exec({"test", "-e", WHC_SYNC_SETTINGS_PATH}).status, 0);
}

} // namespace

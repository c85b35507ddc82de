// The real vimbd on a unix socket, driven by raw peers: every exchange,
// and bad input from one client, which drops only that client.
extern "C" {
#include <libubox/blobmsg.h>
}

#include "support/bus_peer.h"
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include <dirent.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ubus_wire;
using namespace testing_support;

namespace {

// What /proc says about the daemon: its CPU time in clock ticks, its
// anonymous memory in kB and how many descriptors it holds.
long cpu_ticks(pid_t pid)
{
	std::string stat = testing_support::read_file("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = stat.rfind(')');
	if (paren == std::string::npos)
		return -1;
	long utime = 0, stime = 0;
	// state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
	if (sscanf(stat.c_str() + paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
		   &utime, &stime) != 2)
		return -1;
	return utime + stime;
}

long rss_anon_kb(pid_t pid)
{
	std::ifstream f("/proc/" + std::to_string(pid) + "/status");
	std::string line;
	while (std::getline(f, line)) {
		if (line.rfind("RssAnon:", 0) == 0)
			return atol(line.c_str() + 8);
	}
	return -1;
}

// The lowest descriptor limit that leaves `room` numbers free below it:
// a new descriptor takes the lowest free number, and inherited ones leave
// holes.
rlim_t limit_leaving(pid_t pid, int room)
{
	std::vector<bool> used;
	DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
	if (!d)
		return 0;
	while (struct dirent *e = readdir(d)) {
		if (e->d_name[0] == '.')
			continue;
		size_t fd = static_cast<size_t>(atoi(e->d_name));
		if (fd >= used.size())
			used.resize(fd + 1);
		used[fd] = true;
	}
	closedir(d);
	int free_below = 0;
	rlim_t limit = 0;
	while (free_below < room) {
		if (limit >= used.size() || !used[limit])
			free_below++;
		limit++;
	}
	return limit;
}

// The TCP port a process listens on, from the inode of one of its sockets.
int listening_port(pid_t pid)
{
	std::vector<std::string> inodes;
	std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
	DIR *d = opendir(fd_dir.c_str());
	if (!d)
		return -1;
	while (struct dirent *e = readdir(d)) {
		char link[64] = {};
		if (readlink((fd_dir + "/" + e->d_name).c_str(), link, sizeof(link) - 1) > 0 &&
		    strncmp(link, "socket:[", 8) == 0)
			inodes.emplace_back(link + 8, strlen(link + 8) - 1);
	}
	closedir(d);
	std::ifstream tcp("/proc/" + std::to_string(pid) + "/net/tcp");
	std::string line;
	std::getline(tcp, line);
	while (std::getline(tcp, line)) {
		unsigned port = 0, state = 0;
		char inode[32] = {};
		// sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
		if (sscanf(line.c_str(), " %*s %*[0-9A-F]:%x %*s %x %*s %*s %*s %*s %*s %31s", &port, &state,
			   inode) == 3 &&
		    state == 0x0a && std::find(inodes.begin(), inodes.end(), inode) != inodes.end())
			return static_cast<int>(port);
	}
	return -1;
}

// What one MONITOR message says.
struct monitored {
	uint16_t seq;
	uint32_t client, peer, msg_seq, type;
	bool send;
	std::vector<uint8_t> data; // the body's attributes
};

std::optional<monitored> as_monitored(const testing_support::received &r)
{
	const auto *tb = r.m.tb;
	if (r.type != MSG_MONITOR || !tb[MONITOR_CLIENT] || !tb[MONITOR_PEER] || !tb[MONITOR_SEND] ||
	    !tb[MONITOR_SEQ] || !tb[MONITOR_TYPE] || !tb[MONITOR_DATA])
		return std::nullopt;
	const auto *d = static_cast<const uint8_t *>(blob_data(tb[MONITOR_DATA]));
	return monitored{r.seq,
			 blob_get_u32(tb[MONITOR_CLIENT]),
			 blob_get_u32(tb[MONITOR_PEER]),
			 blob_get_u32(tb[MONITOR_SEQ]),
			 blob_get_u32(tb[MONITOR_TYPE]),
			 blob_get_u8(tb[MONITOR_SEND]) != 0,
			 std::vector<uint8_t>(d, d + blob_len(tb[MONITOR_DATA]))};
}

// The monitor object's answer to `method`, with the MONITOR messages that
// came before it (its own reply, once monitoring has begun).
int monitor_call(bus_peer &p, const char *method, uint16_t s, std::vector<monitored> *seen = nullptr)
{
	p.out().reset();
	p.out().put_u32(ATTR_OBJID, 3);
	p.out().put_string(ATTR_METHOD, method);
	p.out().put_raw(ATTR_DATA, nullptr, 0);
	p.send(MSG_INVOKE, s, 3);
	for (;;) {
		auto r = p.next(2000);
		if (!r)
			return -1;
		if (r->type == MSG_MONITOR && seen && as_monitored(*r))
			seen->push_back(*as_monitored(*r));
		if (r->type == MSG_STATUS && r->seq == s) {
			EXPECT_EQ(r->peer, 3u);
			EXPECT_EQ(r->m.u32(ATTR_OBJID), 3u);
			return static_cast<int>(r->m.u32(ATTR_STATUS));
		}
	}
}

class Vimbd : public ::testing::Test {
protected:
	void SetUp() override
	{
		// TCP on an address nothing else uses; the tests speak unix.
		daemon = std::make_unique<spawned>(std::vector<std::string>{
			bin_path("vimbd"), "-l", "127.0.0.1:0", "-s", sock});
		ASSERT_TRUE(testing_support::wait_until([&] {
			struct stat st;
			return stat(sock.c_str(), &st) == 0;
		}, 3000));
	}

	void TearDown() override
	{
		EXPECT_TRUE(testing_support::process_alive(daemon->pid())) << daemon->err();
		daemon.reset();
	}

	// A connected client that has read its hello.
	std::unique_ptr<bus_peer> client(uint32_t *id = nullptr)
	{
		auto p = std::make_unique<bus_peer>(bus_peer::connect_unix(sock));
		EXPECT_GE(p->fd(), 0) << strerror(errno);
		auto hello = p->next(2000);
		EXPECT_TRUE(hello && hello->type == MSG_HELLO);
		if (hello && id)
			*id = hello->peer;
		return p;
	}

	// Publishes `path` with a one-method signature; the new object's id.
	uint32_t publish(bus_peer &p, const char *path, bool replace = false, int expect = 0)
	{
		return publish_typed(p, path, 0, replace, expect);
	}

	// Publishes `path` as type `type_id`, or with a signature (of `sig_args`
	// arguments) when it is 0; the new object's id, its type in *got_type.
	uint32_t publish_typed(bus_peer &p, const char *path, uint32_t type_id, bool replace = false,
			       int expect = 0, uint32_t *got_type = nullptr, int sig_args = 1)
	{
		p.out().reset();
		p.out().put_string(ATTR_OBJPATH, path);
		if (type_id) {
			p.out().put_u32(ATTR_OBJTYPE, type_id);
		} else {
			void *sig = blob_nest_start(p.out().buf(), ATTR_SIGNATURE);
			void *t = blobmsg_open_table(p.out().buf(), "test");
			blobmsg_add_u32(p.out().buf(), "hello", BLOBMSG_TYPE_STRING);
			for (int i = 1; i < sig_args; i++) {
				std::string name = "an_argument_with_a_long_name_" + std::to_string(i);
				blobmsg_add_u32(p.out().buf(), name.c_str(), BLOBMSG_TYPE_STRING);
			}
			blobmsg_close_table(p.out().buf(), t);
			blob_nest_end(p.out().buf(), sig);
		}
		if (replace)
			p.out().put_u8(ATTR_VIMB_REPLACE, 1);
		p.send(MSG_ADD_OBJECT, ++seq, 0);
		uint32_t id = 0;
		for (;;) {
			auto r = p.next(2000);
			EXPECT_TRUE(r) << path;
			if (!r)
				break;
			if (r->type == MSG_DATA) {
				id = r->m.u32(ATTR_OBJID);
				if (got_type)
					*got_type = r->m.u32(ATTR_OBJTYPE);
			}
			if (r->type == MSG_STATUS) {
				EXPECT_EQ(r->m.u32(ATTR_STATUS), static_cast<uint32_t>(expect)) << path;
				break;
			}
		}
		return id;
	}

	// The status of a lookup of `path`, with whether it carried a signature.
	int lookup(bus_peer &p, const char *path, bool *signature = nullptr)
	{
		p.out().reset();
		p.out().put_string(ATTR_OBJPATH, path);
		p.send(MSG_LOOKUP, ++seq, 0);
		for (;;) {
			auto r = p.next(2000);
			if (!r)
				return -1;
			if (r->type == MSG_DATA && signature)
				*signature = r->m.tb[ATTR_SIGNATURE] && blob_len(r->m.tb[ATTR_SIGNATURE]);
			if (r->type == MSG_STATUS)
				return static_cast<int>(r->m.u32(ATTR_STATUS));
		}
	}

	void invoke(bus_peer &p, uint32_t obj, uint16_t s, const char *method = "test")
	{
		p.out().reset();
		p.out().put_u32(ATTR_OBJID, obj);
		p.out().put_string(ATTR_METHOD, method);
		p.out().put_raw(ATTR_DATA, nullptr, 0);
		p.send(MSG_INVOKE, s, obj);
	}

	bool pings(bus_peer &p)
	{
		p.out().reset();
		p.out().put_string(ATTR_OBJPATH, "ping-body");
		p.send(MSG_PING, 77, 0);
		auto r = p.next(2000);
		return r && r->type == MSG_DATA && r->seq == 77 && r->m.str(ATTR_OBJPATH) &&
		       std::string(r->m.str(ATTR_OBJPATH)) == "ping-body";
	}

	temp_dir dir;
	std::string sock = dir.file("vimbd.sock");
	std::unique_ptr<spawned> daemon;
	uint16_t seq = 100;
};

TEST_F(Vimbd, HelloPingAndPublication)
{
	uint32_t a_id = 0, b_id = 0;
	auto a = client(&a_id), b = client(&b_id);
	EXPECT_NE(a_id, 0u);
	EXPECT_NE(a_id, b_id);
	EXPECT_TRUE(pings(*a));
	uint32_t obj = publish(*a, "one");
	EXPECT_NE(obj, 0u);
	publish(*b, "one", false, 2); // a taken name
}

TEST_F(Vimbd, LookupListsObjectsWithSignatures)
{
	// the whole list of an empty bus is empty, not "Not found", as on the device
	auto empty = client();
	empty->out().reset();
	empty->send(MSG_LOOKUP, 4, 0);
	auto none = empty->next(2000);
	ASSERT_TRUE(none && none->type == MSG_STATUS);
	EXPECT_EQ(none->m.u32(ATTR_STATUS), 0u);

	auto a = client();
	uint32_t one = publish(*a, "net.one");
	publish(*a, "net.two");
	publish(*a, "other");
	auto b = client();
	b->out().reset();
	b->out().put_string(ATTR_OBJPATH, "net.*");
	b->send(MSG_LOOKUP, 5, 0);
	std::vector<std::string> found;
	for (;;) {
		auto r = b->next(2000);
		ASSERT_TRUE(r);
		if (r->type == MSG_STATUS) {
			EXPECT_EQ(r->m.u32(ATTR_STATUS), 0u);
			break;
		}
		found.push_back(r->m.str(ATTR_OBJPATH));
		if (found.size() == 1) {
			EXPECT_EQ(r->m.u32(ATTR_OBJID), one);
			ASSERT_NE(r->m.tb[ATTR_SIGNATURE], nullptr);
			auto *m = static_cast<struct blob_attr *>(blob_data(r->m.tb[ATTR_SIGNATURE]));
			EXPECT_STREQ(blobmsg_name(m), "test");
		}
	}
	EXPECT_EQ(found, (std::vector<std::string>{"net.one", "net.two"}));

	b->out().reset();
	b->out().put_string(ATTR_OBJPATH, "nothing");
	b->send(MSG_LOOKUP, 6, 0);
	auto r = b->next(2000);
	ASSERT_TRUE(r && r->type == MSG_STATUS);
	EXPECT_EQ(r->m.u32(ATTR_STATUS), 4u);
}

TEST_F(Vimbd, InvokeIsRelayedWithPeersRewritten)
{
	auto owner = client();
	uint32_t obj = publish(*owner, "obj");
	uint32_t caller_id = 0;
	auto caller = client(&caller_id);
	invoke(*caller, obj, 42);

	auto in = owner->next(2000);
	ASSERT_TRUE(in);
	EXPECT_EQ(in->type, MSG_INVOKE);
	EXPECT_EQ(in->seq, 42);
	EXPECT_EQ(in->peer, caller_id);
	EXPECT_EQ(in->m.u32(ATTR_OBJID), obj);
	EXPECT_STREQ(in->m.str(ATTR_METHOD), "test");

	for (int i = 0; i < 2; i++) {
		owner->out().reset();
		owner->out().put_u32(ATTR_OBJID, obj);
		owner->out().put_raw(ATTR_DATA, nullptr, 0);
		owner->send(MSG_DATA, 42, caller_id);
	}
	owner->out().reset();
	owner->out().put_u32(ATTR_OBJID, obj);
	owner->out().put_u32(ATTR_STATUS, 0);
	owner->send(MSG_STATUS, 42, caller_id);

	for (uint8_t type : {MSG_DATA, MSG_DATA, MSG_STATUS}) {
		auto r = caller->next(2000);
		ASSERT_TRUE(r);
		EXPECT_EQ(r->type, type);
		EXPECT_EQ(r->seq, 42);
		EXPECT_EQ(r->peer, obj);
	}
	// a reply nobody waits for any more is dropped
	owner->send(MSG_STATUS, 42, caller_id);
	EXPECT_FALSE(caller->next(200));

	invoke(*caller, 0xdead, 43);
	auto r = caller->next(2000);
	ASSERT_TRUE(r && r->type == MSG_STATUS);
	EXPECT_EQ(r->m.u32(ATTR_STATUS), 4u);
	EXPECT_EQ(r->peer, 0xdeadu);
}

TEST_F(Vimbd, PendingCallsGetNotFoundWhenTheObjectGoes)
{
	auto owner = client();
	uint32_t obj = publish(*owner, "obj");
	auto caller = client();
	invoke(*caller, obj, 1);
	ASSERT_TRUE(owner->next(2000));
	owner.reset(); // its objects vanish with it
	auto r = caller->next(2000);
	ASSERT_TRUE(r && r->type == MSG_STATUS);
	EXPECT_EQ(r->m.u32(ATTR_STATUS), 4u);
	invoke(*caller, obj, 2);
	r = caller->next(2000);
	ASSERT_TRUE(r);
	EXPECT_EQ(r->m.u32(ATTR_STATUS), 4u);
}

TEST_F(Vimbd, ReplaceHandsTheNameOverFromAStaleConnection)
{
	auto stale = client();
	uint32_t old_obj = publish(*stale, "sat-@kestrad");
	auto caller = client();
	invoke(*caller, old_obj, 1);
	ASSERT_TRUE(stale->next(2000)); // the stale owner never answers

	auto fresh = client();
	publish(*fresh, "sat-@kestrad", false, 2); // plain add still refused
	uint32_t new_obj = publish(*fresh, "sat-@kestrad", true);
	EXPECT_NE(new_obj, 0u);
	EXPECT_NE(new_obj, old_obj);
	auto r = caller->next(2000);
	ASSERT_TRUE(r && r->type == MSG_STATUS);
	EXPECT_EQ(r->m.u32(ATTR_STATUS), 4u);

	invoke(*caller, new_obj, 2);
	auto in = fresh->next(2000);
	ASSERT_TRUE(in);
	EXPECT_EQ(in->type, MSG_INVOKE);
}

// Garbage, oversized or cut messages end only the client that sent them.
TEST_F(Vimbd, BadInputDropsOnlyThatClient)
{
	auto good = client();
	uint32_t obj = publish(*good, "keeps");
	const std::vector<std::vector<uint8_t>> bad = {
		{1, MSG_PING, 0, 1, 0, 0, 0, 0, 0, 0, 0, 4},
		{0, MSG_PING, 0, 1, 0, 0, 0, 0, 0, 0x20, 0, 0},
		{0, MSG_PING, 0, 1, 0, 0, 0, 0, 0, 0, 0, 12, 3, 0, 0, 6, 1, 2, 0, 0},
		{0, MSG_LOOKUP, 0, 1, 0, 0, 0, 0, 0, 0, 0, 12, 2, 0, 0, 8, 'a', 'b', 'c', 'd'},
	};
	for (const auto &bytes : bad) {
		auto evil = client();
		evil->send_bytes(bytes.data(), bytes.size());
		EXPECT_TRUE(evil->closed_within(2000));
	}
	EXPECT_TRUE(pings(*good));
	auto caller = client();
	invoke(*caller, obj, 3);
	EXPECT_TRUE(good->next(2000));
}

TEST_F(Vimbd, MessageCutAtEveryOffsetThenClosedLeavesTheDaemonServing)
{
	auto good = client();
	body b;
	b.put_string(ATTR_OBJPATH, "some.object");
	auto bytes = bus_peer::encode(MSG_LOOKUP, 1, 0, b.head());
	for (size_t cut = 1; cut < bytes.size(); cut++) {
		auto evil = client();
		evil->send_bytes(bytes.data(), cut);
	}
	EXPECT_TRUE(pings(*good));
}

TEST_F(Vimbd, HalfAMessageThatWaitsStopsNobody)
{
	auto slow = client();
	body b;
	b.put_string(ATTR_OBJPATH, "x");
	auto bytes = bus_peer::encode(MSG_PING, 9, 0, b.head());
	slow->send_bytes(bytes.data(), 7);
	auto other = client();
	EXPECT_TRUE(pings(*other));
	slow->send_bytes(bytes.data() + 7, bytes.size() - 7);
	auto r = slow->next(2000);
	ASSERT_TRUE(r);
	EXPECT_EQ(r->seq, 9);
}

// Out of descriptors, vimbd must neither spin on the connection it cannot
// take nor stop serving the clients it has; a client that goes makes room.
TEST_F(Vimbd, AtItsDescriptorLimitItIdlesKeepsServingAndAcceptsWhenOneGoes)
{
	constexpr int room = 4;
	rlim_t limit = limit_leaving(daemon->pid(), room);
	ASSERT_GT(limit, 0u);
	struct rlimit lim = {limit, limit};
	ASSERT_EQ(prlimit(daemon->pid(), RLIMIT_NOFILE, &lim, nullptr), 0);
	std::vector<std::unique_ptr<bus_peer>> full;
	for (int i = 0; i < room; i++)
		full.push_back(client());
	uint32_t obj = publish(*full[0], "still-here");

	// Queued in the listen backlog, not taken: no hello while we watch.
	auto waiting = std::make_unique<bus_peer>(bus_peer::connect_unix(sock));
	ASSERT_GE(waiting->fd(), 0);
	long before = cpu_ticks(daemon->pid());
	long long start = monotonic_ms();
	EXPECT_FALSE(waiting->next(1500));
	long ticks = cpu_ticks(daemon->pid()) - before;
	long long span = monotonic_ms() - start;
	ASSERT_GE(span, 1400); // watched for the whole span
	RecordProperty("cpu_ticks", std::to_string(ticks) + " in " + std::to_string(span) + " ms");
	EXPECT_LT(ticks, 10) << "vimbd used " << ticks << " ticks in " << span << " ms at its limit";

	EXPECT_TRUE(pings(*full[0]));
	invoke(*full[1], obj, 1);
	auto relayed = full[0]->next(2000);
	EXPECT_TRUE(relayed && relayed->type == MSG_INVOKE);

	full.back().reset();
	auto hello = waiting->next(3000);
	ASSERT_TRUE(hello);
	EXPECT_EQ(hello->type, MSG_HELLO);
	EXPECT_TRUE(pings(*waiting));
}

// A type lives while an object uses it; once its last object is gone its id
// is unknown again.
TEST_F(Vimbd, ATypeLivesUntilItsLastObjectGoes)
{
	auto a = client(), b = client();
	uint32_t type = 0;
	publish_typed(*a, "a", 0, false, 0, &type);
	ASSERT_NE(type, 0u);
	publish_typed(*b, "b", type);
	a.reset();
	auto c = client();
	publish_typed(*c, "c", type); // b still holds it, whenever a's end is seen
	b.reset();
	ASSERT_TRUE(testing_support::wait_until([&] { return lookup(*c, "b") == 4; }, 3000));

	// Replacing the last object of a type with one of the same type keeps it.
	auto d = client();
	publish_typed(*d, "c", type, true);
	bool signature = false;
	EXPECT_EQ(lookup(*d, "c", &signature), 0);
	EXPECT_TRUE(signature);
	c.reset();
	d.reset();

	auto e = client();
	ASSERT_TRUE(testing_support::wait_until([&] { return lookup(*e, "*") == 4; }, 3000));
	publish_typed(*e, "e", type, false, 4);
}

// A client that reconnects and publishes its type afresh each time, as
// kestrad does, must not make vimbd grow: types go with their objects.
TEST_F(Vimbd, RepublicationsDoNotGrowTheDaemon)
{
	constexpr int cycles = 2000;
	constexpr int sig_args = 60; // about 2.5 kB of signature per type
	auto cycle = [&] {
		auto p = client();
		publish_typed(*p, "sat-@kestrad", 0, true, 0, nullptr, sig_args);
	};
	for (int i = 0; i < 200; i++)
		cycle();
	auto watcher = client();
	ASSERT_TRUE(pings(*watcher));
	long before = rss_anon_kb(daemon->pid());
	ASSERT_GT(before, 0);
	long long deadline = monotonic_ms() + 60000;
	int done = 0;
	for (; done < cycles && monotonic_ms() < deadline && !HasFailure(); done++)
		cycle();
	ASSERT_EQ(done, cycles);
	ASSERT_TRUE(testing_support::wait_until([&] { return lookup(*watcher, "sat-@kestrad") == 4; }, 3000));
	long growth = rss_anon_kb(daemon->pid()) - before;
	RecordProperty("rss_anon_growth_kb", static_cast<int>(growth));
#ifndef __SANITIZE_ADDRESS__ // freed memory stays in the sanitizer's quarantine
	// Kept types would take about 5 MB here.
	EXPECT_LT(growth, 1024) << "RssAnon grew by " << growth << " kB over " << cycles << " republications";
#endif
}

// A monitor sees every message to and from every client, its own reply to
// "add" first, each with its own count from 1, but never MONITOR messages.
TEST_F(Vimbd, MonitorSeesEveryOtherMessageUntilRemoved)
{
	uint32_t mon_id = 0, owner_id = 0, caller_id = 0, other_id = 0;
	auto mon = client(&mon_id);
	std::vector<monitored> seen;
	ASSERT_EQ(monitor_call(*mon, "add", 1, &seen), 0);
	auto other_mon = client(&other_id);
	std::vector<monitored> other_seen;
	ASSERT_EQ(monitor_call(*other_mon, "add", 1, &other_seen), 0);
	auto owner = client(&owner_id);
	uint32_t obj = publish(*owner, "watched");
	auto caller = client(&caller_id);
	invoke(*caller, obj, 42);
	ASSERT_TRUE(owner->next(2000));
	owner->out().reset();
	owner->out().put_u32(ATTR_OBJID, obj);
	owner->out().put_u32(ATTR_STATUS, 0);
	owner->send(MSG_STATUS, 42, caller_id);
	ASSERT_TRUE(caller->next(2000));
	// Its ping's answer comes after everything that happened before.
	mon->out().reset();
	mon->send(MSG_PING, 77, 0);
	for (;;) {
		auto r = mon->next(2000);
		ASSERT_TRUE(r);
		if (r->type != MSG_MONITOR) {
			EXPECT_EQ(r->seq, 77);
			break;
		}
		auto m = as_monitored(*r);
		ASSERT_TRUE(m);
		seen.push_back(*m);
	}
	for (size_t i = 0; i < seen.size(); i++) {
		EXPECT_EQ(seen[i].seq, i + 1);
		EXPECT_NE(seen[i].type, MSG_MONITOR);
	}
	ASSERT_FALSE(seen.empty());
	EXPECT_EQ(seen[0].client, mon_id);
	EXPECT_EQ(seen[0].type, MSG_STATUS);
	EXPECT_TRUE(seen[0].send);

	// The call: caller to daemon, daemon to owner, owner's reply, relayed.
	auto find = [&](uint32_t client_id, bool send, uint8_t type) -> const monitored * {
		for (const auto &m : seen) {
			if (m.client == client_id && m.send == send && m.type == type && m.msg_seq == 42)
				return &m;
		}
		return nullptr;
	};
	const monitored *asked = find(caller_id, false, MSG_INVOKE);
	const monitored *relayed = find(owner_id, true, MSG_INVOKE);
	const monitored *answered = find(owner_id, false, MSG_STATUS);
	const monitored *told = find(caller_id, true, MSG_STATUS);
	ASSERT_TRUE(asked && relayed && answered && told);
	EXPECT_LT(asked, relayed);
	EXPECT_LT(answered, told);
	EXPECT_EQ(asked->peer, obj);
	EXPECT_EQ(relayed->peer, caller_id);
	EXPECT_EQ(told->peer, obj);
	// The body's attributes as they were.
	body expect;
	expect.put_u32(ATTR_OBJID, obj);
	expect.put_string(ATTR_METHOD, "test");
	expect.put_raw(ATTR_DATA, nullptr, 0);
	const auto *e = static_cast<const uint8_t *>(blob_data(expect.head()));
	EXPECT_EQ(asked->data, std::vector<uint8_t>(e, e + blob_len(expect.head())));

	// The second monitor counts on its own and is never shown to the first.
	ASSERT_EQ(other_seen.size(), 1u);
	EXPECT_EQ(other_seen[0].seq, 1);
	EXPECT_EQ(other_seen[0].client, other_id);
	auto r = other_mon->next(2000);
	ASSERT_TRUE(r && as_monitored(*r));
	EXPECT_EQ(r->seq, 2);

	// Removed, the monitor hears only its own answers.
	ASSERT_EQ(monitor_call(*mon, "remove", 2), 0);
	EXPECT_TRUE(pings(*caller));
	EXPECT_TRUE(pings(*mon)); // next() would have handed a MONITOR first
	EXPECT_EQ(monitor_call(*mon, "nonsense", 3), 3);
}

// Monitoring shows passwords: not over TCP unless asked for, not to a user
// other than root on the unix socket.
TEST_F(Vimbd, MonitorIsForRootOnTheUnixSocketAndForTcpOnlyWhenAllowed)
{
	int port = listening_port(daemon->pid());
	ASSERT_GT(port, 0);
	bus_peer tcp(bus_peer::connect_tcp("127.0.0.1", port));
	ASSERT_GE(tcp.fd(), 0);
	ASSERT_TRUE(tcp.next(2000));
	EXPECT_EQ(monitor_call(tcp, "add", 1), 6);
	EXPECT_TRUE(pings(tcp)); // and no MONITOR before the answer
	spawned refused({bin_path("vimb"), "-s", "tcp:127.0.0.1:" + std::to_string(port), "monitor"});
	auto status = refused.wait(10000);
	ASSERT_TRUE(status);
	EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 6) << *status;
	EXPECT_EQ(refused.err(), "Command failed: Permission denied\n");

	if (testing_support::have_root()) {
		ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
		ASSERT_EQ(chmod(sock.c_str(), 0666), 0);
		pid_t child = fork();
		ASSERT_GE(child, 0);
		if (child == 0) {
			if (setgid(65534) != 0 || setuid(65534) != 0)
				_exit(100);
			bus_peer nobody(bus_peer::connect_unix(sock));
			if (nobody.fd() < 0 || !nobody.next(2000))
				_exit(101);
			_exit(monitor_call(nobody, "add", 1) & 0xff);
		}
		int status = 0;
		ASSERT_EQ(waitpid(child, &status, 0), child);
		ASSERT_TRUE(WIFEXITED(status));
		EXPECT_EQ(WEXITSTATUS(status), 6);
	}

	temp_dir other_dir;
	std::string other_sock = other_dir.file("vimbd.sock");
	spawned open_daemon({bin_path("vimbd"), "-l", "127.0.0.1:0", "-s", other_sock, "--monitor-tcp"});
	ASSERT_TRUE(testing_support::wait_until([&] { return listening_port(open_daemon.pid()) > 0; }, 3000));
	bus_peer allowed(bus_peer::connect_tcp("127.0.0.1", listening_port(open_daemon.pid())));
	ASSERT_GE(allowed.fd(), 0);
	ASSERT_TRUE(allowed.next(2000));
	EXPECT_EQ(monitor_call(allowed, "add", 1), 0);
}

} // namespace

// The real vimbd on a unix socket, driven by raw peers: every exchange,
// and bad input from one client, which drops only that client.
extern "C" {
#include <libubox/blobmsg.h>
}

#include "support/bus_peer.h"
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

using namespace ubus_wire;
using testing_support::bin_path;
using testing_support::bus_peer;
using testing_support::spawned;
using testing_support::temp_dir;

namespace {

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
		auto hello = p->next(2000);
		EXPECT_TRUE(hello && hello->type == MSG_HELLO);
		if (hello && id)
			*id = hello->peer;
		return p;
	}

	// Publishes `path` with a one-method signature; the new object's id.
	uint32_t publish(bus_peer &p, const char *path, bool replace = false, int expect = 0)
	{
		p.out().reset();
		p.out().put_string(ATTR_OBJPATH, path);
		void *sig = blob_nest_start(p.out().buf(), ATTR_SIGNATURE);
		void *t = blobmsg_open_table(p.out().buf(), "test");
		blobmsg_add_u32(p.out().buf(), "hello", BLOBMSG_TYPE_STRING);
		blobmsg_close_table(p.out().buf(), t);
		blob_nest_end(p.out().buf(), sig);
		if (replace)
			p.out().put_u8(ATTR_VIMB_REPLACE, 1);
		p.send(MSG_ADD_OBJECT, ++seq, 0);
		uint32_t id = 0;
		for (;;) {
			auto r = p.next(2000);
			if (!r)
				break;
			if (r->type == MSG_DATA)
				id = r->m.u32(ATTR_OBJID);
			if (r->type == MSG_STATUS) {
				EXPECT_EQ(r->m.u32(ATTR_STATUS), static_cast<uint32_t>(expect)) << path;
				break;
			}
		}
		return id;
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

} // namespace

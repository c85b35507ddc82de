// The bus client library against a scripted daemon (the test) on a unix
// socket: hello, publish, serving calls, and every kind of bad input.
#include <libubus.h>

#include "support/bus_peer.h"
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ubus_wire;
using namespace testing_support;

namespace {

int handler_calls;
std::string last_hello;
std::vector<std::string> hellos; // every call's, in order
size_t reply_size;

enum { P_HELLO, __P_MAX };
const struct blobmsg_policy policy[] = {{"hello", BLOBMSG_TYPE_STRING}};

int echo_handler(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
		 const char *, struct blob_attr *msg)
{
	handler_calls++;
	struct blob_attr *tb[__P_MAX];
	blobmsg_parse(policy, __P_MAX, tb, blob_data(msg), static_cast<unsigned int>(blob_len(msg)));
	last_hello = tb[P_HELLO] ? blobmsg_get_string(tb[P_HELLO]) : "";
	hellos.push_back(last_hello);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "return", reply_size ? std::string(reply_size, 'r').c_str() : "success");
	ubus_send_reply(ctx, req, b.head);
	blob_buf_free(&b);
	return 0;
}

struct ubus_method methods[] = {
	UBUS_METHOD("echo", echo_handler, policy),
	UBUS_METHOD_NOARG("other", echo_handler),
};
struct ubus_object_type type = UBUS_OBJECT_TYPE("test", methods);

int lost_calls;
void on_lost(struct ubus_context *) { lost_calls++; }

class BusClient : public ::testing::Test {
protected:
	void SetUp() override
	{
		uloop_init();
		handler_calls = 0;
		lost_calls = 0;
		reply_size = 0;
		obj = {};
		obj.name = "obj";
		obj.type = &type;
		obj.methods = methods;
		obj.n_methods = ARRAY_SIZE(methods);
		type.id = 0;
		listen_fd = bus_peer::listen_unix(dir.file("bus"));
		connect_client();
	}

	void TearDown() override
	{
		ubus_free(ctx);
		daemon.reset();
		close(listen_fd);
		uloop_done();
	}

	// Connects with a hello of peer 0x10 and hooks the socket to the loop.
	void connect_client()
	{
		std::thread hello([&] {
			int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
			daemon = std::make_unique<bus_peer>(fd);
			daemon->out().reset();
			daemon->send(MSG_HELLO, 0, 0x10);
		});
		ctx = ubus_connect(dir.file("bus").c_str());
		hello.join();
		ASSERT_NE(ctx, nullptr);
		ctx->connection_lost = on_lost;
		ubus_add_uloop(ctx);
	}

	// Queues the daemon's answer to the next request before it is made.
	void answer_publish(uint32_t id, uint32_t type_id, int status = 0)
	{
		uint16_t seq = static_cast<uint16_t>(ctx->request_seq + 1);
		if (!status) {
			daemon->out().reset();
			daemon->out().put_u32(ATTR_OBJID, id);
			daemon->out().put_u32(ATTR_OBJTYPE, type_id);
			daemon->send(MSG_DATA, seq, 0);
		}
		daemon->out().reset();
		daemon->out().put_u32(ATTR_STATUS, static_cast<uint32_t>(status));
		daemon->send(MSG_STATUS, seq, 0);
	}

	void publish()
	{
		answer_publish(0x42, 0x77);
		ASSERT_EQ(ubus_add_object(ctx, &obj), 0);
		ASSERT_TRUE(daemon->next(1000)); // the ADD_OBJECT
	}

	std::vector<uint8_t> invoke_bytes(const char *method, uint32_t objid, uint16_t seq, const char *hello)
	{
		struct blob_buf args = {};
		blob_buf_init(&args, 0);
		if (hello)
			blobmsg_add_string(&args, "hello", hello);
		body b;
		b.put_u32(ATTR_OBJID, objid);
		b.put_string(ATTR_METHOD, method);
		b.put_raw(ATTR_DATA, blob_data(args.head), blob_len(args.head));
		blob_buf_free(&args);
		return bus_peer::encode(MSG_INVOKE, seq, 0x1234, b.head());
	}

	void run(int ms)
	{
		long long end = monotonic_ms() + ms;
		while (monotonic_ms() < end)
			uloop_run_timeout(5);
	}

	// Runs the loop until `pred` holds, for at most `ms`.
	bool run_until(const std::function<bool()> &pred, int ms)
	{
		long long end = monotonic_ms() + ms;
		while (!pred() && monotonic_ms() < end)
			uloop_run_timeout(5);
		return pred();
	}

	std::vector<uint8_t> reply_bytes(uint8_t type, uint16_t seq, uint32_t objid, int status = 0)
	{
		body b;
		if (type == MSG_STATUS) {
			b.put_u32(ATTR_STATUS, static_cast<uint32_t>(status));
		} else {
			b.put_u32(ATTR_OBJID, objid);
			b.put_u32(ATTR_OBJTYPE, 0x77);
			b.put_string(ATTR_OBJPATH, "obj");
		}
		return bus_peer::encode(type, seq, 0, b.head());
	}

	// The handler's DATA and STATUS 0 for the call `seq`, in that order.
	void expect_served(uint16_t seq)
	{
		auto data = daemon->next(1000);
		ASSERT_TRUE(data);
		EXPECT_EQ(data->type, MSG_DATA);
		EXPECT_EQ(data->seq, seq);
		auto status = daemon->next(1000);
		ASSERT_TRUE(status);
		EXPECT_EQ(status->type, MSG_STATUS);
		EXPECT_EQ(status->seq, seq);
		EXPECT_EQ(status->m.u32(ATTR_STATUS), 0u);
	}

	temp_dir dir;
	int listen_fd = -1;
	struct ubus_context *ctx = nullptr;
	std::unique_ptr<bus_peer> daemon;
	struct ubus_object obj;
};

TEST_F(BusClient, HelloGivesTheLocalIdAndTheSocketIsNonBlockingAndCloseOnExec)
{
	EXPECT_EQ(ctx->local_id, 0x10u);
	EXPECT_TRUE(fcntl(ctx->sock.fd, F_GETFL) & O_NONBLOCK); // despite ULOOP_BLOCKING
	EXPECT_TRUE(fcntl(ctx->sock.fd, F_GETFD) & FD_CLOEXEC);
}

TEST_F(BusClient, PublishSendsTheSignatureThenTheTypeId)
{
	answer_publish(0x42, 0x77);
	ASSERT_EQ(ubus_add_object(ctx, &obj), 0);
	EXPECT_EQ(obj.id, 0x42u);
	EXPECT_EQ(type.id, 0x77u);
	auto add = daemon->next(1000);
	ASSERT_TRUE(add);
	EXPECT_EQ(add->type, MSG_ADD_OBJECT);
	EXPECT_STREQ(add->m.str(ATTR_OBJPATH), "obj");
	EXPECT_EQ(add->m.tb[ATTR_VIMB_REPLACE], nullptr);
	ASSERT_NE(add->m.tb[ATTR_SIGNATURE], nullptr);
	// one table per method, in table order, of argument name -> type
	std::vector<std::string> names;
	struct blob_attr *m;
	size_t rem;
	blob_for_each_attr(m, add->m.tb[ATTR_SIGNATURE], rem) {
		names.push_back(blobmsg_name(m));
		EXPECT_EQ(blobmsg_type(m), BLOBMSG_TYPE_TABLE);
	}
	EXPECT_EQ(names, (std::vector<std::string>{"echo", "other"}));
	auto *first = static_cast<struct blob_attr *>(blob_data(add->m.tb[ATTR_SIGNATURE]));
	auto *arg = static_cast<struct blob_attr *>(blobmsg_data(first));
	EXPECT_STREQ(blobmsg_name(arg), "hello");
	EXPECT_EQ(blobmsg_get_u32(arg), static_cast<uint32_t>(BLOBMSG_TYPE_STRING));

	answer_publish(0x43, 0x77);
	ASSERT_EQ(ubus_replace_object(ctx, &obj), 0);
	auto rep = daemon->next(1000);
	ASSERT_TRUE(rep);
	ASSERT_NE(rep->m.tb[ATTR_VIMB_REPLACE], nullptr);
	EXPECT_EQ(blob_get_u8(rep->m.tb[ATTR_VIMB_REPLACE]), 1);
	EXPECT_EQ(rep->m.u32(ATTR_OBJTYPE), 0x77u);
	EXPECT_EQ(rep->m.tb[ATTR_SIGNATURE], nullptr);
}

TEST_F(BusClient, RejectedPublicationReturnsTheStatus)
{
	answer_publish(0, 0, 2);
	EXPECT_EQ(ubus_add_object(ctx, &obj), 2);
	EXPECT_TRUE(list_empty(&ctx->objects));
}

TEST_F(BusClient, PublicationRejectedAfterItsDataLeavesNothingListed)
{
	auto data = reply_bytes(MSG_DATA, static_cast<uint16_t>(ctx->request_seq + 1), 0x42);
	auto status = reply_bytes(MSG_STATUS, static_cast<uint16_t>(ctx->request_seq + 1), 0, 2);
	daemon->send_bytes(data.data(), data.size());
	daemon->send_bytes(status.data(), status.size());
	EXPECT_EQ(ubus_add_object(ctx, &obj), 2);
	EXPECT_TRUE(list_empty(&ctx->objects));
	EXPECT_EQ(obj.id, 0u);
}

TEST_F(BusClient, UnansweredPublicationIsAConnectionLost)
{
	EXPECT_EQ(ubus_replace_object(ctx, &obj), UBUS_STATUS_TIMEOUT);
	EXPECT_EQ(lost_calls, 1);
	EXPECT_TRUE(list_empty(&ctx->objects));
}

TEST_F(BusClient, ObjectOfAFreedContextCanBePublishedAgain)
{
	publish();
	ubus_free(ctx);
	ctx = nullptr;
	daemon.reset();
	connect_client();
	type.id = 0;
	answer_publish(0x50, 0x78);
	EXPECT_EQ(ubus_replace_object(ctx, &obj), 0);
	EXPECT_EQ(obj.id, 0x50u);
}

TEST_F(BusClient, CallsReachTheHandlerAndAllRepliesLeaveTogether)
{
	publish();
	auto bytes = invoke_bytes("echo", 0x42, 5, "abc");
	daemon->send_bytes(bytes.data(), bytes.size());
	run(50);
	EXPECT_EQ(handler_calls, 1);
	EXPECT_EQ(last_hello, "abc");
	auto data = daemon->next(1000);
	ASSERT_TRUE(data);
	EXPECT_EQ(data->type, MSG_DATA);
	EXPECT_EQ(data->seq, 5);
	EXPECT_EQ(data->peer, 0x1234u);
	EXPECT_EQ(data->m.u32(ATTR_OBJID), 0x42u);
	ASSERT_NE(data->m.tb[ATTR_DATA], nullptr);
	auto status = daemon->next(1000);
	ASSERT_TRUE(status);
	EXPECT_EQ(status->type, MSG_STATUS);
	EXPECT_EQ(status->m.u32(ATTR_STATUS), 0u);
	EXPECT_EQ(status->seq, 5);
}

// A served call's storage serves the next one: calls of every size, alone
// and several to a read, each reach the handler whole, nothing of an
// earlier, longer one left in a shorter one.
TEST_F(BusClient, CallsOfChangingSizesEachReachTheHandlerWhole)
{
	publish();
	const std::vector<std::vector<std::string>> reads = {
		{"a"}, {std::string(3000, 'L')}, {"bb"}, {std::string(900, 'm'), "c", std::string(2000, 'n'), ""}, {"d"}};
	uint16_t seq = 10;
	std::vector<std::string> sent;
	hellos.clear();
	for (const auto &batch : reads) {
		std::vector<uint8_t> bytes;
		for (const auto &h : batch) {
			auto one = invoke_bytes("echo", 0x42, seq++, h.c_str());
			bytes.insert(bytes.end(), one.begin(), one.end());
			sent.push_back(h);
		}
		daemon->send_bytes(bytes.data(), bytes.size());
		ASSERT_TRUE(run_until([&] { return hellos.size() == sent.size(); }, 2000));
		for (uint16_t s = static_cast<uint16_t>(seq - batch.size()); s < seq; s++)
			expect_served(s);
	}
	EXPECT_EQ(hellos, sent);
}

// vimbd may route a caller's INVOKE into the very segment that carries the
// publication's answer, behind its STATUS or between DATA and STATUS.
TEST_F(BusClient, CallThatComesWithThePublicationsAnswerReachesTheHandler)
{
	for (bool between : {false, true}) {
		SCOPED_TRACE(between ? "between DATA and STATUS" : "behind STATUS");
		handler_calls = 0;
		uint16_t seq = static_cast<uint16_t>(ctx->request_seq + 1);
		uint32_t id = between ? 0x43 : 0x42;
		uint16_t call_seq = between ? 21 : 20;
		auto data = reply_bytes(MSG_DATA, seq, id);
		auto status = reply_bytes(MSG_STATUS, seq, 0);
		auto call = invoke_bytes("echo", id, call_seq, "early");
		std::vector<uint8_t> segment = data;
		const auto &second = between ? call : status, &third = between ? status : call;
		segment.insert(segment.end(), second.begin(), second.end());
		segment.insert(segment.end(), third.begin(), third.end());
		ASSERT_EQ(send(daemon->fd(), segment.data(), segment.size(), 0), static_cast<ssize_t>(segment.size()));

		ASSERT_EQ(ubus_replace_object(ctx, &obj), 0);
		EXPECT_EQ(obj.id, id);
		EXPECT_EQ(handler_calls, 0); // served from the loop, after the call returned
		auto add = daemon->next(1000);
		ASSERT_TRUE(add);
		EXPECT_EQ(add->type, MSG_ADD_OBJECT);
		// No byte follows: the queued call must not wait for one.
		EXPECT_TRUE(run_until([] { return handler_calls == 1; }, 2000));
		EXPECT_EQ(last_hello, "early");
		expect_served(call_seq);
	}
	EXPECT_EQ(lost_calls, 0);
}

void count_lookup(struct ubus_context *, struct ubus_object_data *, void *priv)
{
	++*static_cast<int *>(priv);
}

TEST_F(BusClient, CallThatComesWhileALookupWaitsIsServedAfterItReturns)
{
	publish();
	uint16_t seq = static_cast<uint16_t>(ctx->request_seq + 1);
	auto call = invoke_bytes("echo", 0x42, 30, "meanwhile");
	auto data = reply_bytes(MSG_DATA, seq, 0x42);
	auto status = reply_bytes(MSG_STATUS, seq, 0);
	std::vector<uint8_t> segment = call;
	segment.insert(segment.end(), data.begin(), data.end());
	segment.insert(segment.end(), status.begin(), status.end());
	ASSERT_EQ(send(daemon->fd(), segment.data(), segment.size(), 0), static_cast<ssize_t>(segment.size()));

	int found = 0;
	ASSERT_EQ(ubus_lookup(ctx, "obj", count_lookup, &found), 0);
	EXPECT_EQ(found, 1);
	EXPECT_EQ(handler_calls, 0);
	auto lookup = daemon->next(1000);
	ASSERT_TRUE(lookup);
	EXPECT_EQ(lookup->type, MSG_LOOKUP);
	EXPECT_TRUE(run_until([] { return handler_calls == 1; }, 2000));
	EXPECT_EQ(last_hello, "meanwhile");
	expect_served(30);
}

TEST_F(BusClient, CallsQueuedOnAFreedContextAreNeverServed)
{
	publish();
	uint16_t seq = static_cast<uint16_t>(ctx->request_seq + 1);
	auto call = invoke_bytes("echo", 0x42, 31, "dropped");
	auto status = reply_bytes(MSG_STATUS, seq, 0, 4);
	daemon->send_bytes(call.data(), call.size());
	daemon->send_bytes(status.data(), status.size());
	ASSERT_EQ(ubus_lookup(ctx, "none", nullptr, nullptr), 4);
	ubus_free(ctx);
	ctx = nullptr;
	daemon.reset();

	// A call on the next context is served: the dropped one had its turn.
	connect_client();
	publish();
	auto next = invoke_bytes("echo", 0x42, 32, "served");
	daemon->send_bytes(next.data(), next.size());
	EXPECT_TRUE(run_until([] { return handler_calls > 0; }, 2000));
	EXPECT_EQ(handler_calls, 1);
	EXPECT_EQ(last_hello, "served");
}

TEST_F(BusClient, UnknownMethodOrObjectIsAnsweredWithoutAHandler)
{
	publish();
	auto a = invoke_bytes("nosuch", 0x42, 6, nullptr);
	auto b = invoke_bytes("echo", 0x99, 7, nullptr);
	daemon->send_bytes(a.data(), a.size());
	daemon->send_bytes(b.data(), b.size());
	run(50);
	EXPECT_EQ(handler_calls, 0);
	auto s1 = daemon->next(1000), s2 = daemon->next(1000);
	ASSERT_TRUE(s1 && s2);
	EXPECT_EQ(s1->m.u32(ATTR_STATUS), static_cast<uint32_t>(UBUS_STATUS_METHOD_NOT_FOUND));
	EXPECT_EQ(s2->m.u32(ATTR_STATUS), static_cast<uint32_t>(UBUS_STATUS_NOT_FOUND));
}

TEST_F(BusClient, MessageCutAtEveryOffsetIsReassembled)
{
	publish();
	auto bytes = invoke_bytes("echo", 0x42, 9, "pieces");
	for (size_t cut = 1; cut < bytes.size(); cut++) {
		daemon->send_bytes(bytes.data(), cut);
		uloop_run_timeout(2);
		daemon->send_bytes(bytes.data() + cut, bytes.size() - cut);
		uloop_run_timeout(2);
		uloop_run_timeout(2);
	}
	EXPECT_EQ(handler_calls, static_cast<int>(bytes.size() - 1));
	EXPECT_EQ(lost_calls, 0);
}

struct bad_input {
	const char *what;
	std::vector<uint8_t> bytes;
};

class BusClientBadInput : public BusClient, public ::testing::WithParamInterface<bad_input> {};

TEST_P(BusClientBadInput, DropsTheConnectionOnce)
{
	publish();
	daemon->send_bytes(GetParam().bytes.data(), GetParam().bytes.size());
	if (std::string(GetParam().what).find("truncated") != std::string::npos)
		shutdown(daemon->fd(), SHUT_WR);
	run(50);
	EXPECT_EQ(lost_calls, 1) << GetParam().what;
	EXPECT_FALSE(ctx->sock.registered);
	run(20);
	EXPECT_EQ(lost_calls, 1);
	EXPECT_EQ(handler_calls, 0);
}

std::vector<uint8_t> msg(const std::vector<uint8_t> &header, const std::vector<uint8_t> &body)
{
	std::vector<uint8_t> out(header.size() + body.size());
	std::copy(header.begin(), header.end(), out.begin());
	std::copy(body.begin(), body.end(), out.begin() + static_cast<long>(header.size()));
	return out;
}

INSTANTIATE_TEST_SUITE_P(Shapes, BusClientBadInput, ::testing::Values(
	bad_input{"version 1", msg({1, MSG_INVOKE, 0, 1, 0, 0, 0, 1}, {0, 0, 0, 4})},
	bad_input{"body shorter than its header", msg({0, MSG_INVOKE, 0, 1, 0, 0, 0, 1}, {0, 0, 0, 2})},
	bad_input{"body of another id", msg({0, MSG_INVOKE, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 4})},
	bad_input{"larger than 1 MiB", msg({0, MSG_INVOKE, 0, 1, 0, 0, 0, 1}, {0, 0x10, 0, 8})},
	bad_input{"truncated, then closed", {0, MSG_INVOKE, 0, 1, 0, 0, 0, 1, 0, 0, 0, 40, 3}}));

// As on the device, a bad attribute inside a sound frame is passed over (and
// one past the body ends the reading): here no object is left named, so
// the call gets no answer, and the connection stays.
class BusClientBadAttribute : public BusClient, public ::testing::WithParamInterface<bad_input> {};

TEST_P(BusClientBadAttribute, IsPassedOver)
{
	publish();
	daemon->send_bytes(GetParam().bytes.data(), GetParam().bytes.size());
	run(50);
	EXPECT_EQ(lost_calls, 0) << GetParam().what;
	EXPECT_TRUE(ctx->sock.registered);
	EXPECT_EQ(handler_calls, 0);
	EXPECT_FALSE(daemon->next(100));
}

INSTANTIATE_TEST_SUITE_P(Shapes, BusClientBadAttribute, ::testing::Values(
	bad_input{"object id of three bytes", msg({0, MSG_INVOKE, 0, 1, 0, 0, 0, 1},
						{0, 0, 0, 12, 3, 0, 0, 7, 0, 0, 0x42, 0})},
	bad_input{"method without terminator", msg({0, MSG_INVOKE, 0, 1, 0, 0, 0, 1},
						 {0, 0, 0, 12, 4, 0, 0, 8, 'e', 'c', 'h', 'o'})},
	bad_input{"attribute past the body", msg({0, MSG_INVOKE, 0, 1, 0, 0, 0, 1},
					       {0, 0, 0, 12, 3, 0, 0, 20, 0, 0, 0, 0x42})}));

// The daemon stops reading: replies queue up, the loop never blocks, and
// a queue past its bound counts as a lost connection.
TEST_F(BusClient, PeerThatStopsReadingNeverBlocksTheLoop)
{
	publish();
	reply_size = 60000;
	int one = 4096;
	setsockopt(daemon->fd(), SOL_SOCKET, SO_RCVBUF, &one, sizeof(one));
	auto bytes = invoke_bytes("echo", 0x42, 1, "x");
	long long worst = 0;
	for (int i = 0; i < 120 && !lost_calls; i++) {
		daemon->send_bytes(bytes.data(), bytes.size());
		long long start = monotonic_ms();
		uloop_run_timeout(5);
		worst = std::max(worst, monotonic_ms() - start);
	}
	// A blocking write would wait for good; a busy machine may pause us a while.
	EXPECT_LT(worst, 1000);
	EXPECT_GT(handler_calls, 10);
	EXPECT_EQ(lost_calls, 1);
}

TEST(BusTcp, ConnectSetsNodelayAndKeepaliveAndGivesUpWithinThreeSeconds)
{
	// A listener that accepts (in the kernel) but never says hello.
	int l = bus_peer::listen_tcp("127.0.0.1", 0);
	struct sockaddr_in sin;
	socklen_t len = sizeof(sin);
	getsockname(l, reinterpret_cast<struct sockaddr *>(&sin), &len);
	long long start = monotonic_ms();
	EXPECT_EQ(vimb_connect(&sin), nullptr);
	long long took = monotonic_ms() - start;
	EXPECT_GE(took, 2900);
	EXPECT_LT(took, 3600);

	std::thread hello([&] {
		int fd = accept4(l, nullptr, nullptr, SOCK_CLOEXEC); // the earlier attempt
		close(fd);
		fd = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
		bus_peer p(fd);
		p.send(MSG_HELLO, 0, 7);
		usleep(100000);
	});
	struct ubus_context *ctx = vimb_connect(&sin);
	hello.join();
	ASSERT_NE(ctx, nullptr);
	int v = 0;
	len = sizeof(v);
	getsockopt(ctx->sock.fd, IPPROTO_TCP, TCP_NODELAY, &v, &len);
	EXPECT_EQ(v, 1);
	getsockopt(ctx->sock.fd, SOL_SOCKET, SO_KEEPALIVE, &v, &len);
	EXPECT_EQ(v, 1);
	EXPECT_TRUE(fcntl(ctx->sock.fd, F_GETFD) & FD_CLOEXEC);
	ubus_free(ctx);
	close(l);

	// nothing listening: refused at once
	start = monotonic_ms();
	EXPECT_EQ(vimb_connect(&sin), nullptr);
	EXPECT_LT(monotonic_ms() - start, 500);
}

TEST(BusStrings, StatusTexts)
{
	EXPECT_STREQ(ubus_strerror(0), "Success");
	EXPECT_STREQ(ubus_strerror(4), "Not found");
	EXPECT_STREQ(ubus_strerror(13), "System error");
	EXPECT_STREQ(ubus_strerror(14), "Unknown error: 14");
	EXPECT_STREQ(ubus_strerror(-1), "Unknown error: -1");
}

} // namespace

// kestrad against gateways that misbehave, each test in a network
// namespace of its own with lo up (the rest runs on the simulated
// satellite).
extern "C" {
#include <libubox/blobmsg.h>
}

#include "support/bus_peer.h"
#include "support/etc_config.h"
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <fstream>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace ubus_wire;
using namespace testing_support;

namespace {

struct run_result {
	std::string out, err;
	int status;
};

class BusLink : public ::testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_ROOT();
		ASSERT_TRUE(testing_support::enter_private_netns());
		mkdir(conf.c_str(), 0755);
		set_mode("router");
	}

	void set_mode(const std::string &mode)
	{
		std::ofstream(conf + "/marovela") << "config core 'common'\n\toption NETMODE '" << mode << "'\n";
		std::ofstream(conf + "/misc") << "config board 'hardware'\n\toption model 'KX1'\n";
	}

	std::unique_ptr<spawned> start_vimbd()
	{
		auto v = std::make_unique<spawned>(std::vector<std::string>{bin_path("vimbd")});
		EXPECT_TRUE(testing_support::wait_until([] {
			int fd = bus_peer::connect_tcp("127.0.0.1", 784);
			if (fd >= 0)
				close(fd);
			return fd >= 0;
		}, 3000));
		return v;
	}

	std::unique_ptr<spawned> start_kestrad(const std::string &gateway = "127.0.0.1")
	{
		std::string script = testing_support::etc_config_shell(conf, scratch.path() + "/" + std::to_string(starts++)) +
				     " && exec " + bin_path("kestrad") + " -S -g " + gateway;
		return std::make_unique<spawned>(std::vector<std::string>{"unshare", "-m", "/bin/sh", "-c", script});
	}

	run_result vimb(const std::vector<std::string> &args)
	{
		std::vector<std::string> argv = {bin_path("vimb"), "-t", "5"};
		argv.insert(argv.end(), args.begin(), args.end());
		spawned p(argv);
		auto status = p.wait(10000);
		return {p.out(), p.err(), status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1};
	}

	bool published_within(int ms)
	{
		return testing_support::wait_until([&] { return vimb({"list"}).out == "-@kestrad\n"; }, ms);
	}

	// When the n-th occurrence of `text` showed up in the log, or -1.
	static long long nth_line_at(const spawned &p, const std::string &text, int n, int ms)
	{
		long long seen = -1;
		testing_support::wait_until([&] {
			std::string log = p.err();
			int count = 0;
			for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1))
				count++;
			if (count >= n)
				seen = monotonic_ms();
			return count >= n;
		}, ms);
		return seen;
	}

	temp_dir scratch;
	std::string conf = scratch.file("conf");
	int starts = 0;
};

// A gateway that drops connection attempts, and one that accepts but never
// says hello: each attempt gives up within the 3 s bound.
TEST_F(BusLink, SilentGatewaysAreGivenUpOnWithinTheBound)
{
	int full = bus_peer::listen_tcp("127.0.0.2", 784);
	listen(full, 0);
	int filler = bus_peer::connect_tcp("127.0.0.2", 784); // the queue is full now
	int mute = bus_peer::listen_tcp("127.0.0.3", 784);

	for (const char *gw : {"127.0.0.2", "127.0.0.3"}) {
		long long start = monotonic_ms();
		auto k = start_kestrad(gw);
		long long failed = nth_line_at(*k, "failed to connect", 1, 6000);
		ASSERT_GT(failed, 0) << gw << k->err();
		// Also holds kestrad's exec and start-up, stretched on a loaded machine.
		EXPECT_GE(failed - start, 1000 + 3000 - 500) << gw;
		EXPECT_LE(failed - start, 1000 + 3000 + 1500) << gw;
	}
	close(filler);
	close(full);
	close(mute);
}

// A gateway that sends half a message and waits: kestrad keeps the half,
// serves when the rest comes, and is never stuck meanwhile.
TEST_F(BusLink, HalfAMessageFromTheGatewayIsKeptUntilTheRestComes)
{
	int l = bus_peer::listen_tcp("127.0.0.1", 784);
	auto k = start_kestrad();
	struct pollfd pfd = {l, POLLIN, 0};
	ASSERT_EQ(poll(&pfd, 1, 4000), 1);
	bus_peer gw(accept4(l, nullptr, nullptr, SOCK_CLOEXEC));
	gw.send(MSG_HELLO, 0, 0x55);
	auto add = gw.next(2000);
	ASSERT_TRUE(add && add->type == MSG_ADD_OBJECT);
	gw.out().reset();
	gw.out().put_u32(ATTR_OBJID, 0x99);
	gw.out().put_u32(ATTR_OBJTYPE, 0x98);
	gw.send(MSG_DATA, add->seq, 0);
	gw.out().reset();
	gw.out().put_u32(ATTR_STATUS, 0);
	gw.send(MSG_STATUS, add->seq, 0);

	struct blob_buf args = {};
	blob_buf_init(&args, 0);
	blobmsg_add_string(&args, "hello", "abc");
	body b;
	b.put_u32(ATTR_OBJID, 0x99);
	b.put_string(ATTR_METHOD, "test");
	b.put_raw(ATTR_DATA, blob_data(args.head), blob_len(args.head));
	blob_buf_free(&args);
	auto first = bus_peer::encode(MSG_INVOKE, 1, 0x77, b.head());
	auto second = bus_peer::encode(MSG_INVOKE, 2, 0x77, b.head());

	gw.send_bytes(first.data(), first.size() / 2);
	EXPECT_FALSE(gw.next(1000));
	EXPECT_TRUE(testing_support::process_alive(k->pid()));
	gw.send_bytes(first.data() + first.size() / 2, first.size() - first.size() / 2);
	gw.send_bytes(second.data(), second.size());
	for (uint16_t seq : {1, 2}) {
		for (uint8_t type : {MSG_DATA, MSG_DATA, MSG_STATUS}) {
			auto r = gw.next(2000);
			ASSERT_TRUE(r);
			EXPECT_EQ(r->type, type);
			EXPECT_EQ(r->seq, seq);
			EXPECT_EQ(r->peer, 0x77u);
		}
	}
	close(l);
}

} // namespace

// kestrad, vimbd and vimb together, each test in a network namespace of
// its own: publication, the method test, reconnection, and bad peers.
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
using testing_support::bin_path;
using testing_support::bus_peer;
using testing_support::monotonic_ms;
using testing_support::spawned;
using testing_support::temp_dir;

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

const char two_replies[] =
	"{\n\t\"return\": \"success\"\n}\n"
	"{\n\t\"return\": \"success\",\n\t\"return\": \"abc\"\n}\n";

TEST_F(BusLink, RouterOffersTestAndAnswersWithTwoReplies)
{
	auto v = start_vimbd();
	auto k = start_kestrad();
	ASSERT_TRUE(published_within(4000)) << k->err();
	std::string listing = vimb({"list", "-v"}).out;
	EXPECT_TRUE(std::regex_match(listing, std::regex(R"('-@kestrad' @[0-9a-f]{8}\n\t"test":\{"hello":"String"\}\n)")))
		<< listing;
	auto r = vimb({"call", "-@kestrad", "test", R"({"hello":"abc"})"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, two_replies);

	r = vimb({"call", "-@kestrad", "test"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "");
	r = vimb({"call", "-@kestrad", "test", R"({"hello":5})"}); // not a string: absent
	EXPECT_EQ(r.out, "");
	EXPECT_TRUE(testing_support::wait_until([&] {
		return k->out() == " ### recv method test from vimbd !\n ### recv method test: hello abc! \n"
				   " ### recv method test from vimbd !\n ### recv method test from vimbd !\n";
	}, 2000)) << k->out();
	EXPECT_TRUE(std::regex_search(k->err(), std::regex(R"(get_ip_address\(\d+\):ioctl error no:\[19\]No such device)")));
	EXPECT_TRUE(std::regex_search(k->err(), std::regex(R"(vimb_reconnect_timer_handler\(\d+\):model\[KX1\],push object success)")));

	r = vimb({"call", "-@kestrad", "nosuch"});
	EXPECT_EQ(r.status, 3);
	EXPECT_EQ(r.err, "Command failed: Method not found\n");
}

TEST_F(BusLink, EachModePublishesItsMethodsInSlotOrder)
{
	auto v = start_vimbd();
	const std::vector<std::pair<std::string, std::string>> modes = {
		{"router", "\t\"test\":{\"hello\":\"String\"}\n"},
		{"lanapmode", "\t\"test\":{\"hello\":\"String\"}\n"},
		{"wifiapmode", ""},
		{"whc_re", ""},
	};
	for (const auto &[mode, methods] : modes) {
		set_mode(mode);
		auto k = start_kestrad();
		ASSERT_TRUE(published_within(4000)) << mode << k->err();
		std::string listing = vimb({"list", "-v"}).out;
		EXPECT_EQ(listing.substr(listing.find('\n') + 1), methods) << mode;
		k.reset();
		ASSERT_TRUE(testing_support::wait_until([&] { return vimb({"list"}).status == 4; }, 3000));
	}
}

TEST_F(BusLink, AttemptsComeAfterOneSecondThenEveryTen)
{
	long long start = monotonic_ms();
	auto k = start_kestrad();
	const std::string failed = "failed to connect,trying reconnect vimbd after 10 seconds";
	long long first = nth_line_at(*k, failed, 1, 3000);
	long long second = nth_line_at(*k, failed, 2, 13000);
	ASSERT_GT(first, 0) << k->err();
	ASSERT_GT(second, 0) << k->err();
	EXPECT_NEAR(first - start, 1000, 400);
	EXPECT_NEAR(second - first, 10000, 400);
	EXPECT_TRUE(std::regex_search(k->err(), std::regex(
		R"(vimb_connect_timer_set\(\d+\):set vimb connect timer,vimb will connect next 1 sec\n)")));

	auto v = start_vimbd();
	EXPECT_TRUE(published_within(11000));
}

TEST_F(BusLink, RestartedVimbdGetsTheObjectBackWithinElevenSeconds)
{
	auto v = start_vimbd();
	auto k = start_kestrad();
	ASSERT_TRUE(published_within(4000));
	v.reset(); // killed
	long long killed = monotonic_ms();
	EXPECT_GT(nth_line_at(*k, "vimb connection lost,trying reinit vimb", 1, 2000), 0) << k->err();
	usleep(300000);
	v = start_vimbd();
	ASSERT_TRUE(published_within(12000));
	EXPECT_LT(monotonic_ms() - killed, 11500);
	EXPECT_EQ(vimb({"call", "-@kestrad", "test", R"({"hello":"abc"})"}).out, two_replies);
}

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
		EXPECT_NEAR(failed - start, 1000 + 3000, 500) << gw;
	}
	close(filler);
	close(full);
	close(mute);
}

// The old daemon is frozen with its connection open, as a satellite whose
// link the gateway still believes in; the new one takes the name at once.
TEST_F(BusLink, RestartedKestradTakesOverAStaleObject)
{
	auto v = start_vimbd();
	auto old_k = start_kestrad();
	ASSERT_TRUE(published_within(4000));
	old_k->signal(SIGSTOP);
	long long start = monotonic_ms();
	auto k = start_kestrad();
	ASSERT_GT(nth_line_at(*k, "push object success", 1, 3000), 0) << k->err();
	EXPECT_LT(monotonic_ms() - start, 2000);
	EXPECT_EQ(vimb({"call", "-@kestrad", "test", R"({"hello":"abc"})"}).out, two_replies);
	old_k->signal(SIGKILL);
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

TEST_F(BusLink, IdleConnectedDaemonMakesNoPeriodicSystemCalls)
{
	auto v = start_vimbd();
	auto k = start_kestrad();
	ASSERT_TRUE(published_within(4000));
	usleep(200000);
	temp_dir dir;
	spawned st({"strace", "-qq", "-o", dir.file("trace"), "-p", std::to_string(k->pid())});
	usleep(2500000);
	st.signal(SIGINT);
	ASSERT_TRUE(st.wait(3000));
	std::string text = testing_support::read_file(dir.file("trace"));
	ASSERT_NE(text.find("epoll_wait("), std::string::npos) << text;
	std::istringstream lines(text);
	std::string line;
	while (std::getline(lines, line)) {
		if (line.empty() || line.find("detached") != std::string::npos)
			continue;
		EXPECT_NE(line.find("epoll_wait("), std::string::npos) << line;
		EXPECT_NE(line.find(", -1"), std::string::npos) << line;
	}
}

} // namespace

// The method notice on a simulated Wi-Fi AP: what reaches the store, the
// relink command, and requests that must change nothing.
#include <libubus.h>

#include "support/proc.h"
#include "support/satellite.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <regex>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const std::string &object = testing_support::kestrad_object;
const std::string success = vimb_return("success");
const std::string base64_error = vimb_return("fail, base64 error");

// 127 and 128 times "x", encoded.
std::string x_times(int n)
{
	std::string text;
	for (int i = 0; i < 42; i++)
		text += "eHh4";
	return text + (n == 127 ? "eA==" : "eHg=");
}

// The decoder's line ends the log: "base64_decode(<line>):<text>\n".
bool last_log_line_is(const std::string &log, const std::string &text)
{
	std::string tail = text + "\n";
	if (log.size() < tail.size() || log.compare(log.size() - tail.size(), tail.size(), tail) != 0)
		return false;
	return std::regex_search(log.substr(0, log.size() - tail.size()), std::regex(R"(base64_decode\(\d+\):$)"));
}

void count_refusal(struct ubus_request *req, int, struct blob_attr *msg)
{
	static constexpr struct blobmsg_policy policy[] = {{"return", BLOBMSG_TYPE_STRING}};
	struct blob_attr *tb[1];
	blobmsg_parse(policy, 1, tb, blob_data(msg), blob_len(msg));
	if (tb[0] && std::string(blobmsg_get_string(tb[0])) == "fail, base64 error")
		++*static_cast<int *>(req->priv);
}

// Sends `n` refused requests of four shapes on one bus connection, from a
// child in the satellite's network namespace (a minute at most); the number
// answered with the refusal, or -1.
int refused_burst(const satellite &sat, int n)
{
	int init = std::stoi(testing_support::read_file(sat.dir() + "/state/init.pid"));
	int fds[2];
	if (pipe(fds) != 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		int ns = open(("/proc/" + std::to_string(init) + "/ns/net").c_str(), O_RDONLY);
		if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
			_exit(1);
		struct sockaddr_in gw = {};
		gw.sin_family = AF_INET;
		gw.sin_port = htons(784);
		inet_aton("192.0.2.1", &gw.sin_addr);
		struct ubus_context *ctx = vimb_connect(&gw);
		uint32_t id;
		if (!ctx || ubus_lookup_id(ctx, object.c_str(), &id) != 0)
			_exit(1);
		const std::vector<std::vector<std::pair<const char *, std::string>>> shapes = {
			{{"ssid", "SG9tZQ==\n"}, {"passwd", "c2VjcmV0MTI="}},
			{{"ssid", "S==="}, {"passwd", "c2VjcmV0MTI="}},
			{{"ssid_5g", x_times(128)}, {"passwd_5g", "c2VjcmV0NWc="}},
			{{"ssid", "SG9tZQ=="}, {"passwd", "c2VjcmV0MTI="}, {"ssid_5g", "SG9t"}, {"passwd_5g", "="}},
		};
		struct blob_buf b = {};
		int refused = 0;
		long long deadline = testing_support::monotonic_ms() + 60000;
		for (int i = 0; i < n && testing_support::monotonic_ms() < deadline; i++) {
			blob_buf_init(&b, 0);
			for (const auto &[name, value] : shapes[static_cast<size_t>(i) % shapes.size()])
				blobmsg_add_string(&b, name, value.c_str());
			ubus_invoke(ctx, id, "notice", b.head, count_refusal, &refused, 5000);
		}
		ssize_t w = write(fds[1], &refused, sizeof(refused));
		_exit(w == sizeof(refused) ? 0 : 1);
	}
	close(fds[1]);
	int refused = -1;
	if (pid < 0 || read(fds[0], &refused, sizeof(refused)) != sizeof(refused))
		refused = -1;
	close(fds[0]);
	if (pid > 0)
		waitpid(pid, nullptr, 0);
	return refused;
}

class Notice : public ::testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_ROOT();
		satellite_options opts;
		opts.mode = "wifiap";
		sat = std::make_unique<satellite>(opts);
		ASSERT_TRUE(sat->up());
		ASSERT_EQ(sat->object(), object) << sat->log();
	}

	run_result notice(const std::string &json) const { return sat->vimb({"call", object, "notice", json}); }

	// The handler writes after it replies. A later request is served only
	// when the earlier ones are done; then wait until no relink command is
	// on its way (forked, starting or recording).
	void settle() const
	{
		auto r = notice("{}");
		ASSERT_EQ(r.status, 0) << r.err;
		ASSERT_EQ(r.out, "");
		r = sat->exec({"sh", "-c", "for i in $(seq 500); do "
					   "grep -qs 'ap_relink[.]lua' /proc/[0-9]*/cmdline || exit 0; sleep 0.02; done; exit 1"},
			      20000);
		ASSERT_EQ(r.status, 0) << "a relink command is still running";
	}

	void set(const std::string &option, const std::string &value) const
	{
		ASSERT_EQ(sat->exec({"uci", "set", "marovela.common." + option + "=" + value}).status, 0);
		ASSERT_EQ(sat->exec({"uci", "commit", "marovela"}).status, 0);
	}

	// Relink commands seen so far; each must be the one command line.
	size_t relinks() const
	{
		auto calls = sat->calls("lua");
		for (const auto &c : calls)
			EXPECT_EQ(c.argv, (std::vector<std::string>{"/usr/bin/lua", "/usr/sbin/ap_relink.lua"}));
		return calls.size();
	}

	// The five options as the uci tool reads them, "<none>" for a missing one.
	std::string options() const
	{
		auto r = sat->exec({"sh", "-c", "for o in BEUSED_SSID BEUSED_PASSWD BEUSED_SSID_5G BEUSED_PASSWD_5G "
						"AP_STATUS; do uci get marovela.common.$o 2>/dev/null || echo '<none>'; done"});
		std::string out = std::regex_replace(r.out, std::regex("\n"), "|");
		return out.substr(0, out.size() - 1);
	}

	bool alive() const
	{
		return sat->exec({"sh", "-c", "kill -0 $(cat " + sat->dir() + "/state/kestrad.pid)"}).status == 0;
	}

	std::unique_ptr<satellite> sat;
};

// AP_STATUS is reset before each request to see it written again.
TEST_F(Notice, CompletePairsAreWrittenWithTheStatusAndOneRelinkEach)
{
	EXPECT_EQ(notice(R"({"ssid":"SG9tZQ==","passwd":"c2VjcmV0MTI="})").out, success);
	settle();
	EXPECT_EQ(options(), "Home|secret12|<none>|<none>|FAILED");
	EXPECT_EQ(relinks(), 1u);
	EXPECT_NE(sat->log().find("notice_vimb_device 2g ssid: Home pwd:***\n"), std::string::npos) << sat->log();

	set("AP_STATUS", "OK");
	EXPECT_EQ(notice(R"({"ssid_5g":"SG9tZS01Rw==","passwd_5g":"c2VjcmV0NWc="})").out, success);
	settle();
	EXPECT_EQ(options(), "Home|secret12|Home-5G|secret5g|FAILED");
	EXPECT_EQ(relinks(), 2u);
	EXPECT_NE(sat->log().find("notice_vimb_device 5g ssid: Home-5G pwd:***\n"), std::string::npos);

	set("AP_STATUS", "OK");
	EXPECT_EQ(notice(R"({"ssid":"QXR0aWM=","passwd":"YXR0aWMtcHc=","ssid_5g":"QXR0aWMtNUc=","passwd_5g":"YXR0aWM1cHc="})").out,
		  success);
	settle();
	EXPECT_EQ(options(), "Attic|attic-pw|Attic-5G|attic5pw|FAILED");
	EXPECT_EQ(relinks(), 3u);

	// The 5 GHz pair lacks its passphrase: only the 2.4 GHz pair counts.
	set("AP_STATUS", "OK");
	EXPECT_EQ(notice(R"({"ssid":"Q2VsbGFy","passwd":"Y2VsbGFycHc=","ssid_5g":"SG9tZS01Rw=="})").out, success);
	settle();
	EXPECT_EQ(options(), "Cellar|cellarpw|Attic-5G|attic5pw|FAILED");
	EXPECT_EQ(relinks(), 4u);

	// An integer ssid leaves the 2.4 GHz pair incomplete.
	set("AP_STATUS", "OK");
	EXPECT_EQ(notice(R"({"ssid":1,"passwd":"c2VjcmV0MTI=","ssid_5g":"SG9tZS01Rw==","passwd_5g":"c2VjcmV0NWc="})").out,
		  success);
	settle();
	EXPECT_EQ(options(), "Cellar|cellarpw|Home-5G|secret5g|FAILED");
	EXPECT_EQ(relinks(), 5u);

	// Decoded values are terminated texts: "Hom\0e" ends at its zero byte;
	// an empty one deletes the option, as the store does with empty values.
	set("AP_STATUS", "OK");
	EXPECT_EQ(notice(R"({"ssid":"SG9tAGU=","passwd":"","ssid_5g":")" + x_times(127) + R"(","passwd_5g":"AA=="})").out,
		  success);
	settle();
	EXPECT_EQ(options(), "Hom|<none>|" + std::string(127, 'x') + "|<none>|FAILED");
	EXPECT_EQ(relinks(), 6u);
}

// Without a complete pair nothing is answered; a refused field is answered
// and nothing of its request is written, not even the pair that decoded.
// The daemon serves on.
TEST_F(Notice, IncompleteOrRefusedRequestsChangeNothing)
{
	ASSERT_EQ(notice(R"({"ssid":"SG9tZQ==","passwd":"c2VjcmV0MTI="})").out, success);
	settle();
	const std::string before = sat->config("marovela");
	ASSERT_NE(before.find("BEUSED_SSID 'Home'"), std::string::npos) << before;

	for (const std::string json : {R"({"ssid":"SG9tZQ=="})", R"({"ssid":1,"passwd":"c2VjcmV0MTI="})", R"({})",
				       R"({"ssid":"SG9tZQ==","passwd_5g":"c2VjcmV0NWc="})",
				       R"({"ssid_5g":"SG9tZS01Rw==","passwd_5g":["c2VjcmV0NWc="]})",
				       R"({"other":"SG9tZQ=="})"}) {
		auto r = notice(json);
		EXPECT_EQ(r.status, 0) << json << r.err;
		EXPECT_EQ(r.out, "") << json;
	}

	const std::pair<std::string, std::string> refused[] = {
		{R"({"ssid":"SG9tZQ==\n","passwd":"c2VjcmV0MTI="})", "\n\n:Not a valid base64 string\n"},
		{R"({"ssid":"SG9tZQ==","passwd":"c2VjcmV0 MTI="})", "\n :Not a valid base64 string\n"},
		{R"({"ssid":"SG9t\u00e9Q==","passwd":"c2VjcmV0MTI="})", "\n\xc3:Not a valid base64 string\n"},
		{R"({"ssid":"S===","passwd":"c2VjcmV0MTI="})", "vimb: not a valid base64 string\n"},
		{R"({"ssid":"SG9tZQ=","passwd":"c2VjcmV0MTI="})", "vimb: not a valid base64 string\n"},
		{R"({"ssid":"SG=tZQ==","passwd":"c2VjcmV0MTI="})", "vimb: not a valid base64 string\n"},
		{R"({"ssid":")" + x_times(128) + R"(","passwd":"c2VjcmV0MTI="})", "vimb: not a valid base64 string\n"},
		{R"({"ssid":"QXR0aWM=","passwd":"YXR0aWMtcHc=","ssid_5g":"QXR0aWMtNUc=","passwd_5g":"YXR0aWM1cHc"})",
		 "vimb: not a valid base64 string\n"},
	};
	for (const auto &[json, line] : refused) {
		auto r = notice(json);
		EXPECT_EQ(r.status, 0) << json;
		EXPECT_EQ(r.out, base64_error) << json;
		EXPECT_TRUE(last_log_line_is(sat->log(), line)) << json << sat->log();
	}

	long long start = testing_support::monotonic_ms();
	EXPECT_EQ(refused_burst(*sat, 1000), 1000);
	fprintf(stderr, "1000 refused requests: %lld ms\n", testing_support::monotonic_ms() - start);

	EXPECT_TRUE(alive());
	settle();
	EXPECT_EQ(sat->config("marovela"), before);
	EXPECT_EQ(relinks(), 1u);
	EXPECT_EQ(notice(R"({"ssid_5g":"SG9tZS01Rw==","passwd_5g":"c2VjcmV0NWc="})").out, success);
	settle();
	EXPECT_EQ(options(), "Home|secret12|Home-5G|secret5g|FAILED");
	EXPECT_EQ(relinks(), 2u);
}

} // namespace

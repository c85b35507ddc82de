// The real kestrad binary: options, logging sinks, signals, idle behaviour.
// Every run gets a private network namespace, so the daemon can never reach
// the host's gateway.
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using testing_support::bin_path;
using testing_support::read_file;
using testing_support::spawned;
using testing_support::temp_dir;

namespace {

std::vector<std::string> kestrad(std::initializer_list<std::string> args)
{
	std::vector<std::string> argv = {"unshare", "-n", bin_path("kestrad")};
	argv.insert(argv.end(), args);
	return argv;
}

const std::string usage_tail =
	" [ostions]\n"
	"   -S:\t\tUse stderr instead of syslog for log messages\n"
	"   -d:\t\tEnable deamon modleaaaa\n";

TEST(DaemonCore, UnknownOptionPrintsTheUsageAndExits1)
{
	REQUIRE_ROOT();
	spawned p(kestrad({"-S", "-x"}));
	auto status = p.wait(3000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 1);
	std::string err = p.err();
	EXPECT_NE(err.find("invalid option -- 'x'"), std::string::npos) << err;
	EXPECT_NE(err.find("Usage: " + bin_path("kestrad") + usage_tail), std::string::npos) << err;
	EXPECT_TRUE(std::regex_search(err, std::regex(R"(main\(\d+\):get ch:\? :63\n)"))) << err;

	spawned q(kestrad({"-g"}));
	status = q.wait(3000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 1);
	EXPECT_NE(q.err().find(usage_tail), std::string::npos);
}

TEST(DaemonCore, BadGatewayAddressGivesTwoErrorLinesAndExits1)
{
	REQUIRE_ROOT();
	spawned p(kestrad({"-S", "-g", "999.1.1.1"}));
	auto status = p.wait(3000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 1);
	EXPECT_TRUE(std::regex_search(p.err(), std::regex(
		R"(test_set_vimbd_ip\(\d+\):ip format error \n\nmain\(\d+\):set gw ip error\n\n$)")))
		<< p.err();

	// before -S the lines go to syslog and -S is never reached
	spawned q(kestrad({"-g", "999.1.1.1", "-S"}));
	status = q.wait(3000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 1);
	EXPECT_EQ(q.err(), "");

	// a valid address followed by an invalid one still fails
	spawned r(kestrad({"-S", "-g", "127.0.0.1", "-g", "1.2.3.4.5"}));
	status = r.wait(3000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 1);
}

TEST(DaemonCore, SigtermLogsAndExitsZero)
{
	REQUIRE_ROOT();
	for (int signo : {SIGTERM, SIGINT, SIGUSR1}) {
		spawned p(kestrad({"-S", "-d", "-g", "127.0.0.1"}));
		ASSERT_TRUE(p.wait_err("set to deamon mode", 3000)) << p.err();
		EXPECT_TRUE(std::regex_search(p.err(), std::regex(R"(deamon_mode\(\d+\):set to deamon mode\n)")));
		EXPECT_TRUE(testing_support::process_alive(p.pid())); // stays in the foreground
		usleep(100000);
		p.signal(signo);
		auto status = p.wait(2000);
		ASSERT_TRUE(status && WIFEXITED(*status)) << signo;
		EXPECT_EQ(WEXITSTATUS(*status), 0);
		EXPECT_TRUE(std::regex_search(p.err(), std::regex(
			R"(marovela_signal_handler\(\d+\):got signal\()" + std::to_string(signo) + R"(\)\n$)")))
			<< p.err();
	}
}

TEST(DaemonCore, SighupKeepsItsDefaultAction)
{
	REQUIRE_ROOT();
	spawned p(kestrad({"-S", "-g", "127.0.0.1"}));
	ASSERT_TRUE(p.wait_err("get ch:g", 3000));
	usleep(100000);
	p.signal(SIGHUP);
	auto status = p.wait(2000);
	ASSERT_TRUE(status && WIFSIGNALED(*status));
	EXPECT_EQ(WTERMSIG(*status), SIGHUP);
	EXPECT_EQ(p.err().find("got signal"), std::string::npos);
}

TEST(DaemonCore, ParsingStopsAtTheFirstPlainWord)
{
	REQUIRE_ROOT();
	spawned p(kestrad({"-g", "127.0.0.1", "word", "-S"}));
	usleep(300000);
	EXPECT_TRUE(testing_support::process_alive(p.pid()));
	EXPECT_EQ(p.err(), ""); // -S was never applied
	p.signal(SIGTERM);
	auto status = p.wait(2000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST(DaemonCore, StartupLogsTheWorkerSlots)
{
	REQUIRE_ROOT();
	spawned p(kestrad({"-S", "-g", "127.0.0.1"}));
	ASSERT_TRUE(p.wait_err("wk[19]: ", 3000)) << p.err();
	EXPECT_TRUE(std::regex_search(p.err(), std::regex(R"(worker_init\(\d+\):wk\[0\]: [0-9a-f]{8}\n)")));
}

// Without -S the lines go to syslog: facility daemon, ident marovela_sync,
// the process id, and the level as priority. The test's own socket stands
// in for /dev/log in a private mount namespace.
TEST(DaemonCore, DefaultSinkIsSyslog)
{
	REQUIRE_ROOT();
	temp_dir dir;
	int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	ASSERT_GE(sock, 0);
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	std::string path = dir.file("log");
	strncpy(sun.sun_path, path.c_str(), sizeof(sun.sun_path) - 1);
	ASSERT_EQ(bind(sock, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)), 0);
	struct timeval tv = {3, 0};
	setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

	spawned p({"unshare", "-n", "-m", "/bin/sh", "-c",
		   "mount --bind " + dir.path() + " /dev && exec " + bin_path("kestrad") + " -g 127.0.0.1"});

	auto next = [&] {
		char buf[1024];
		ssize_t n = recv(sock, buf, sizeof(buf) - 1, 0);
		return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
	};
	std::string first = next();
	std::string pid = std::to_string(p.pid());
	EXPECT_TRUE(std::regex_search(first, std::regex(
		R"(^<31>.*marovela_sync\[)" + pid + R"(\]: main\(\d+\):get ch:g :103)")))
		<< first;

	std::string line;
	do
		line = next();
	while (!line.empty() && line.find("wk[19]") == std::string::npos);
	usleep(100000);
	p.signal(SIGTERM);
	std::string last;
	do
		last = next();
	while (!last.empty() && last.find("got signal") == std::string::npos);
	EXPECT_TRUE(std::regex_search(last, std::regex(
		R"(^<27>.*marovela_sync\[)" + pid + R"(\]: marovela_signal_handler\(\d+\):got signal\(15\))")))
		<< last;
	auto status = p.wait(2000);
	ASSERT_TRUE(status && WIFEXITED(*status));
	EXPECT_EQ(WEXITSTATUS(*status), 0);
	close(sock);
}

} // namespace

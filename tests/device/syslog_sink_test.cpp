// The real kestrad binary logging to syslog. It runs in private network and
// mount namespaces, so it never reaches the host's gateway and its /dev/log
// is the test's socket. (Options, signals and start-up run on the simulated
// satellite.)
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

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

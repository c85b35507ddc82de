#include "etc_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

bool enter_private_etc_config(const std::string &confdir, const std::string &scratch)
{
	std::string upper = scratch + "/upper", work = scratch + "/work";
	mkdir(upper.c_str(), 0755);
	mkdir(work.c_str(), 0755);
	std::string opts = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
	if (unshare(CLONE_NEWNS) != 0 ||
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
	    mount("overlay", "/etc", "overlay", 0, opts.c_str()) != 0)
		return false;
	mkdir("/etc/config", 0755);
	// What uci stages (the save directory, /tmp/.uci) is this test's own.
	mkdir("/tmp/.uci", 0700);
	return mount(confdir.c_str(), "/etc/config", nullptr, MS_BIND, nullptr) == 0 &&
	       mount("tmpfs", "/tmp/.uci", "tmpfs", 0, "mode=700") == 0;
}

std::string etc_config_shell(const std::string &confdir, const std::string &scratch)
{
	return "mkdir -p " + scratch + "/upper " + scratch + "/work && mount -t overlay overlay -o lowerdir=/etc,upperdir=" +
	       scratch + "/upper,workdir=" + scratch + "/work /etc && mkdir -p /etc/config && mount --bind " +
	       confdir + " /etc/config && mkdir -p /tmp/.uci && mount -t tmpfs -o mode=700 tmpfs /tmp/.uci";
}

int run_forked_check(const std::string &confdir, const std::string &scratch, void (*fn)(void *),
		     void *arg)
{
	fflush(stdout);
	pid_t pid = fork();
	if (pid == 0) {
		if (!enter_private_etc_config(confdir, scratch)) {
			perror("private /etc/config");
			_exit(2);
		}
		fn(arg);
		fflush(stdout);
		_exit(::testing::Test::HasFailure() ? 1 : 0);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

} // namespace testing_support

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace testing_support {
bool enter_private_netns()
{
	if (unshare(CLONE_NEWNET) != 0)
		return false;
	int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	struct ifreq ifr = {};
	strcpy(ifr.ifr_name, "lo");
	bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
	ifr.ifr_flags |= IFF_UP;
	ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
	close(s);
	return ok;
}
} // namespace testing_support

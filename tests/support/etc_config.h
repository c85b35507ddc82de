// A private /etc/config: an overlay on /etc in a mount namespace of its own,
// with the test's directory bound at /etc/config. The host's /etc is never
// written.
#pragma once

#include "spawn.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

namespace testing_support {

// In the calling process (a forked child): false when it could not be made.
bool enter_private_etc_config(const std::string &confdir, const std::string &scratch);

// The same as a shell command line, for running real binaries under
// `unshare -m`.
std::string etc_config_shell(const std::string &confdir, const std::string &scratch);

// Runs fn in a forked child that sees confdir as /etc/config; true when the
// child's checks all passed.
template <typename F>
bool with_etc_config(const std::string &confdir, const std::string &scratch, F fn);

int run_forked_check(const std::string &confdir, const std::string &scratch, void (*fn)(void *),
		     void *arg);

template <typename F>
bool with_etc_config(const std::string &confdir, const std::string &scratch, F fn)
{
	auto trampoline = [](void *p) { (*static_cast<F *>(p))(); };
	return run_forked_check(confdir, scratch, trampoline, &fn) == 0;
}

// A fixture for code that reads or writes /etc/config: `conf` is the
// directory that run()'s child sees there.
class etc_config_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_ROOT();
		mkdir(conf.c_str(), 0755);
	}

	void write(const std::string &name, const std::string &text) { write_file(conf + "/" + name, text); }
	std::string file(const std::string &name) const { return read_file(conf + "/" + name); }

	// Runs fn in a forked child that sees conf at /etc/config.
	template <typename F>
	void run(F fn)
	{
		EXPECT_TRUE(with_etc_config(conf, scratch.path(), fn));
	}

	temp_dir scratch;
	std::string conf = scratch.file("conf");
};

} // namespace testing_support

namespace testing_support {
// Moves the calling process into a new network namespace with lo up.
bool enter_private_netns();
} // namespace testing_support

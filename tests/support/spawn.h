// Running the project's real binaries from tests.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

std::string bin_path(const std::string &name);

// How to start `argv`: as it is, or through $KESTRAD_EMULATOR (words split
// at spaces) when that is set and argv[0] is an ELF binary of the build,
// which a foreign build's cannot be started without. spawned does this.
std::vector<std::string> emulated(const std::vector<std::string> &argv);
// The same for a shell command line: `program` as the words that start it
// (paths without spaces).
std::string shell_program(const std::string &program);
std::string read_file(const std::string &path);
// Writes `text` to `path` whole (created or truncated) and sets its mode.
void write_file(const std::string &path, const std::string &text, mode_t mode = 0644);
// The NUL-terminated strings of `s` (a trailing part without a NUL is dropped):
// an argument vector as the stand-ins record it.
std::vector<std::string> nul_split(const std::string &s);

// A temporary directory that is removed with everything in it.
class temp_dir {
public:
	temp_dir();
	~temp_dir();
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;
	const std::string &path() const { return path_; }
	std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
	std::string path_;
};

// A child whose stdout and stderr go to files; killed and reaped on
// destruction if still running.
class spawned {
public:
	explicit spawned(const std::vector<std::string> &argv);
	~spawned();
	spawned(const spawned &) = delete;
	spawned &operator=(const spawned &) = delete;

	pid_t pid() const { return pid_; }
	std::string out() const;
	std::string err() const;
	// The wait status, or nothing if it is still running after `ms`.
	std::optional<int> wait(int ms);
	bool wait_err(const std::string &text, int ms) const;
	void signal(int signo) const;

private:
	temp_dir dir_;
	pid_t pid_ = -1;
	bool reaped_ = false;
	int status_ = 0;
};

// Daemon tests need their own network namespace, which needs root. Under
// scripts/test (KESTRAD_REQUIRE_ROOT=1) a missing root is a failure.
bool have_root();
#define REQUIRE_ROOT()                                                              \
	do {                                                                        \
		if (!testing_support::have_root()) {                                \
			if (getenv("KESTRAD_REQUIRE_ROOT"))                         \
				FAIL() << "this test needs root (unshare)";         \
			GTEST_SKIP() << "needs root for a private network namespace"; \
		}                                                                   \
	} while (0)

} // namespace testing_support

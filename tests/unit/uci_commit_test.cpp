// Commits under stress: overlapping writers, writers killed at any moment,
// and a full disk. Every loop is bounded in count and time.
#include <uci.h>

#include "support/proc.h"
#include "support/spawn.h"
#include "support/uci_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

std::vector<std::string> list_values(const std::string &dir, const char *section, const char *option)
{
	std::vector<std::string> out;
	struct uci_context *ctx = uci_context_on(dir);
	struct uci_package *p = nullptr;
	if (uci_load(ctx, "pkg", &p) == UCI_OK) {
		struct uci_option *o = uci_lookup_option(ctx, uci_lookup_section(ctx, p, section), option);
		if (o && o->type == UCI_TYPE_LIST) {
			struct uci_element *e;
			uci_foreach_element(&o->v.list, e)
				out.push_back(e->name);
		}
	}
	uci_free_context(ctx);
	return out;
}

std::vector<std::string> dot_files(const std::string &dir)
{
	std::vector<std::string> out;
	DIR *d = opendir(dir.c_str());
	while (struct dirent *e = readdir(d)) {
		std::string n = e->d_name;
		if (n[0] == '.' && n != "." && n != ".." && n != ".uci") // .uci: the save directory
			out.push_back(n);
	}
	closedir(d);
	return out;
}

// Runs writer(name) at once in a child of its own for each name; the
// children's exit statuses (0: every commit went through).
template <typename F>
std::vector<int> run_writers(std::initializer_list<const char *> names, F writer)
{
	std::vector<pid_t> pids;
	for (const char *name : names) {
		pid_t pid = fork();
		if (pid == 0)
			_exit(writer(name));
		pids.push_back(pid);
	}
	std::vector<int> statuses;
	for (pid_t pid : pids) {
		int status;
		waitpid(pid, &status, 0);
		statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
	}
	return statuses;
}

// Two writers in tight loops append to lists of their own: a lost update
// would show as a missing item.
TEST(UciCommit, OverlappingWritersKeepEveryChange)
{
	temp_dir dir;
	write_file(dir.file("pkg"), "config t 'a'\n\toption keep 'me'\nconfig t 'b'\n");
	constexpr int rounds = 150;
	auto statuses = run_writers({"a", "b"}, [&](const char *section) {
		for (int i = 0; i < rounds; i++) {
			if (uci_change_and_commit(dir.path(), std::string("pkg.") + section + ".items=" + std::to_string(i),
						  uci_change::add_list) != UCI_OK)
				return 1;
		}
		return 0;
	});
	ASSERT_EQ(statuses, (std::vector<int>{0, 0}));
	for (const char *section : {"a", "b"}) {
		auto items = list_values(dir.path(), section, "items");
		ASSERT_EQ(items.size(), static_cast<size_t>(rounds)) << section;
		for (int i = 0; i < rounds; i++)
			EXPECT_EQ(items[static_cast<size_t>(i)], std::to_string(i));
	}
	EXPECT_NE(read_file(dir.file("pkg")).find("option keep 'me'"), std::string::npos);
	EXPECT_TRUE(dot_files(dir.path()).empty());
}

// Two writers each add anonymous sections and set options on them: a
// section added by one must never take the other's options, though both
// compute the same next name from what they read.
TEST(UciCommit, WritersAddingSectionsKeepTheirOwnOptions)
{
	temp_dir dir;
	write_file(dir.file("pkg"), "config t\n\toption owner 'none'\n");
	constexpr int rounds = 60;
	auto statuses = run_writers({"x", "y"}, [&](const char *owner) {
		for (int i = 0; i < rounds; i++) {
			struct uci_context *ctx = uci_context_on(dir.path());
			struct uci_package *p = nullptr;
			struct uci_section *s = nullptr;
			if (uci_load(ctx, "pkg", &p) != UCI_OK || uci_add_section(ctx, p, "t", &s) != UCI_OK)
				return 1;
			std::string name = s->e.name, n = std::to_string(i);
			for (auto [opt, value] : {std::pair{"owner", owner}, std::pair{"n", n.c_str()}}) {
				struct uci_ptr ptr = {};
				ptr.package = "pkg";
				ptr.section = name.c_str();
				ptr.option = opt;
				ptr.value = value;
				if (uci_set(ctx, &ptr) != UCI_OK)
					return 2;
			}
			if (uci_commit(ctx, &p, false) != UCI_OK)
				return 3;
			uci_free_context(ctx);
		}
		return 0;
	});
	ASSERT_EQ(statuses, (std::vector<int>{0, 0}));
	struct uci_context *ctx = uci_context_on(dir.path());
	struct uci_package *p = nullptr;
	ASSERT_EQ(uci_load(ctx, "pkg", &p), UCI_OK);
	std::map<std::string, int> next;
	int sections = 0;
	struct uci_element *e;
	uci_foreach_element(&p->sections, e) {
		struct uci_section *s = uci_to_section(e);
		sections++;
		const char *owner = uci_lookup_option_string(ctx, s, "owner");
		ASSERT_TRUE(owner) << e->name;
		if (std::string(owner) == "none")
			continue;
		const char *n = uci_lookup_option_string(ctx, s, "n");
		ASSERT_TRUE(n) << e->name;
		EXPECT_EQ(atoi(n), next[owner]++) << owner;
	}
	EXPECT_EQ(sections, 1 + 2 * rounds);
	EXPECT_EQ(next["x"], rounds);
	EXPECT_EQ(next["y"], rounds);
	uci_free_context(ctx);
}

// A writer killed at a random moment leaves the old file or the new one:
// each commit sets two options to the same counter, so a torn or mixed
// file shows at once.
TEST(UciCommit, KilledWriterLeavesOldOrNewFile)
{
	temp_dir dir;
	std::string big(4000, 'x');
	write_file(dir.file("pkg"), "config t 'a'\n\toption first '0'\n\toption pad '" + big + "'\n\toption second '0'\n");
	std::mt19937 rng(42);
	int last = 0;
	for (int round = 0; round < 40; round++) {
		pid_t pid = fork();
		if (pid == 0) {
			for (int i = 1; i < 100000; i++) {
				struct uci_context *ctx = uci_context_on(dir.path());
				for (const char *opt : {"first", "second"}) {
					struct uci_ptr ptr = {};
					std::string v = std::to_string(round * 100000 + i);
					ptr.package = "pkg";
					ptr.section = "a";
					ptr.option = opt;
					ptr.value = v.c_str();
					uci_set(ctx, &ptr);
				}
				struct uci_ptr pp = {};
				pp.package = "pkg";
				uci_lookup_ptr(ctx, &pp, nullptr, true);
				uci_commit(ctx, &pp.p, false);
				uci_free_context(ctx);
			}
			_exit(0);
		}
		usleep(static_cast<useconds_t>(200 + rng() % 3000));
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);

		struct uci_context *ctx = uci_context_on(dir.path());
		struct uci_package *p = nullptr;
		ASSERT_EQ(uci_load(ctx, "pkg", &p), UCI_OK) << "round " << round;
		struct uci_section *s = uci_lookup_section(ctx, p, "a");
		const char *first = uci_lookup_option_string(ctx, s, "first");
		const char *second = uci_lookup_option_string(ctx, s, "second");
		ASSERT_TRUE(first && second);
		EXPECT_STREQ(first, second);
		EXPECT_STREQ(uci_lookup_option_string(ctx, s, "pad"), big.c_str());
		EXPECT_GE(atoi(first), last);
		last = atoi(first);
		uci_free_context(ctx);
	}
	// whatever the killed writers left behind goes with the next commit
	ASSERT_EQ(uci_change_and_commit(dir.path(), "pkg.a.done=1", uci_change::set), UCI_OK);
	EXPECT_TRUE(dot_files(dir.path()).empty());
}

// A commit removes the temporary files its package's dead writers left,
// wherever they lie in a directory longer than one read of it.
TEST(UciCommit, RemovesOnlyItsOwnPackagesLeftovers)
{
	temp_dir dir;
	write_file(dir.file("pkg"), "config t 'a'\n");
	for (int i = 0; i < 200; i++)
		write_file(dir.file(".pkg.uci-" + std::to_string(i) + std::string(40, 'x')), "");
	write_file(dir.file(".other.uci-1"), "");
	ASSERT_EQ(uci_change_and_commit(dir.path(), "pkg.a.x=1", uci_change::set), UCI_OK);
	EXPECT_EQ(dot_files(dir.path()), std::vector<std::string>{".other.uci-1"});
}

// What a writer killed in a rewrite of the save file leaves behind: the
// package file, the save file, its note, and (for a commit) the temporary
// file if it was not renamed into place. Each case gives the list a load
// sees, before and after the next change is staged, and the save file then
// (the note goes).
struct left_behind {
	std::string what, package, saved, note;
	bool temp_there;
	std::vector<std::string> seen;
	std::string saved_after;
};

std::string note(const std::string &temp, const std::string &old, const std::string &fresh)
{
	return "uci-pending " + std::to_string(temp.size()) + " " + std::to_string(old.size()) + " " +
	       std::to_string(fresh.size()) + "\n" + temp + old + fresh;
}

TEST(UciCommit, NotesOfCutRewritesAreFinishedAndNeverAppliedTwice)
{
	const std::string one = "config t 'a'\n\tlist l '1'\n", two = one + "\tlist l '2'\n";
	const std::string add = "|pkg.a.l='2'\n", keep = "|pkg.a.l='3'\n", set = "pkg.a.x='y'\n";
	const std::string commit_note = note(".pkg.uci-AbCdEf", add, ""), revert_note = note("", add + keep, keep);
	const std::string half = keep + (add + keep).substr(keep.size()); // rewritten in place, not yet cut
	const std::vector<left_behind> cases = {
		{"commit renamed", two, add, commit_note, false, {"1", "2"}, set},
		{"commit not renamed", one, add, commit_note, true, {"1", "2"}, add + set},
		{"commit's save file emptied", two, "", commit_note, false, {"1", "2"}, set},
		{"revert not begun", one, add + keep, revert_note, false, {"1", "3"}, keep + set},
		{"revert half done", one, half, revert_note, false, {"1", "3"}, keep + set},
		{"note cut short", one, add, "uci-pending 15 13 0\n.pkg.uci", false, {"1", "2"}, add + set},
		{"note of nonsense", one, add, "uci-pending 99999999999999999999 1 1\nab", false, {"1", "2"}, add + set},
	};
	for (const auto &c : cases) {
		temp_dir dir;
		write_file(dir.file("pkg"), c.package);
		mkdir(dir.file(".uci").c_str(), 0700);
		write_file(dir.file(".uci/pkg"), c.saved);
		write_file(dir.file(".uci/.pkg.pending"), c.note);
		if (c.temp_there)
			write_file(dir.file(".pkg.uci-AbCdEf"), two);
		EXPECT_EQ(list_values(dir.path(), "a", "l"), c.seen) << c.what;

		struct uci_context *ctx = uci_context_on(dir.path());
		std::string expr = "pkg.a.x=y";
		struct uci_ptr ptr;
		ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, expr.data(), true), UCI_OK);
		ASSERT_EQ(uci_set(ctx, &ptr), UCI_OK);
		ASSERT_EQ(uci_save(ctx, ptr.p), UCI_OK);
		uci_free_context(ctx);
		EXPECT_EQ(read_file(dir.file(".uci/pkg")), c.saved_after) << c.what;
		EXPECT_EQ(access(dir.file(".uci/.pkg.pending").c_str(), F_OK), -1) << c.what;
		EXPECT_EQ(list_values(dir.path(), "a", "l"), c.seen) << c.what;
	}
}

// A commit that runs out of space fails and leaves the old file whole.
TEST(UciCommit, FullDiskFailsAndKeepsTheOldFile)
{
	if (geteuid() != 0) {
		if (getenv("KESTRAD_REQUIRE_ROOT"))
			FAIL() << "needs root to mount a small tmpfs";
		GTEST_SKIP() << "needs root to mount a small tmpfs";
	}
	temp_dir dir;
	pid_t pid = fork();
	if (pid == 0) {
		if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
		    mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0)
			_exit(2);
		std::string old = "config t 'a'\n\toption x 'old'\n";
		write_file(dir.file("pkg"), old);
		int fill = open(dir.file("filler").c_str(), O_WRONLY | O_CREAT, 0644);
		std::string chunk(1024, 'f');
		while (write(fill, chunk.data(), chunk.size()) > 0) {
		}
		close(fill);
		unlink(dir.file("filler").c_str());
		fill = open(dir.file("filler").c_str(), O_WRONLY | O_CREAT, 0644);
		// leave less room than the new file needs
		for (int i = 0; i < 60; i++)
			if (write(fill, chunk.data(), chunk.size()) <= 0)
				break;
		close(fill);
		int r = uci_change_and_commit(dir.path(), "pkg.a.x=" + std::string(8000, 'n'), uci_change::set);
		if (r != UCI_ERR_IO)
			_exit(3);
		if (read_file(dir.file("pkg")) != old)
			_exit(4);
		if (!dot_files(dir.path()).empty())
			_exit(5);
		_exit(0);
	}
	int status;
	waitpid(pid, &status, 0);
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no tmpfs, 3: commit did not fail, 4: file changed, 5: temp left";
}

} // namespace

// The uci command-line tool, run as a real program.
#include "support/proc.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

class UciTool : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::ofstream(dir.file("wireless")) <<
			"config wifi-device 'radio0'\n"
			"\toption channel '6'\n"
			"config wifi-iface\n"
			"\toption ssid 'it'\\''s here'\n"
			"\tlist maclist 'aa'\n"
			"\tlist maclist 'bb'\n"
			"config wifi-iface\n"
			"\toption ssid 'second'\n";
	}

	// Output and exit status of one run.
	std::pair<std::string, int> uci(std::vector<std::string> args, std::string *err = nullptr)
	{
		// Changes stage in a save directory of the test's own.
		std::vector<std::string> argv = {bin_path("uci"), "-c", dir.path(), "-t", save.path()};
		argv.insert(argv.end(), args.begin(), args.end());
		return run(argv, err);
	}

	// `uci batch` with `input` on its standard input.
	std::pair<std::string, int> batch(const std::string &input, std::string *err = nullptr)
	{
		std::ofstream(dir.file(".input")) << input;
		return run({"/bin/sh", "-c", "exec " + testing_support::shell_program(bin_path("uci")) +
					     " -c \"$1\" -t \"$2\" batch < \"$1/.input\"",
			    "sh", dir.path(), save.path()}, err);
	}

	std::pair<std::string, int> run(const std::vector<std::string> &argv, std::string *err)
	{
		spawned p(argv);
		auto status = p.wait(5000);
		if (err)
			*err = p.err();
		return {p.out(), status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1};
	}

	temp_dir dir;
	temp_dir save;
};

TEST_F(UciTool, ShowPrintsSectionsOptionsListsAndAnonymousIndexes)
{
	auto [out, rc] = uci({"show", "wireless"});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(out,
		  "wireless.radio0=wifi-device\n"
		  "wireless.radio0.channel='6'\n"
		  "wireless.@wifi-iface[0]=wifi-iface\n"
		  "wireless.@wifi-iface[0].ssid='it'\\''s here'\n"
		  "wireless.@wifi-iface[0].maclist='aa' 'bb'\n"
		  "wireless.@wifi-iface[1]=wifi-iface\n"
		  "wireless.@wifi-iface[1].ssid='second'\n");
	// one option asked for as @type[index] shows under its generated name
	EXPECT_EQ(uci({"show", "wireless.@wifi-iface[-1].ssid"}).first, "wireless.cfg033579.ssid='second'\n");
}

TEST_F(UciTool, ChangesStageUntilCommit)
{
	std::string before = read_file(dir.file("wireless"));
	EXPECT_EQ(uci({"get", "wireless.radio0"}).first, "wifi-device\n");
	EXPECT_EQ(uci({"get", "wireless.@wifi-iface[0].maclist"}).first, "aa bb\n");
	EXPECT_EQ(uci({"set", "wireless.@wifi-iface[1].ssid=new name"}).second, 0);
	EXPECT_EQ(uci({"add_list", "wireless.@wifi-iface[1].maclist=cc"}).second, 0);
	EXPECT_EQ(uci({"del_list", "wireless.@wifi-iface[0].maclist=aa"}).second, 0);
	EXPECT_EQ(uci({"delete", "wireless.radio0.channel"}).second, 0);
	EXPECT_EQ(uci({"set", "wireless.extra=wifi-iface"}).second, 0);
	EXPECT_EQ(read_file(dir.file("wireless")), before);
	EXPECT_EQ(uci({"get", "wireless.@wifi-iface[1].ssid"}).first, "new name\n");
	EXPECT_EQ(uci({"changes", "wireless"}).first,
		  "wireless.cfg033579.ssid='new name'\nwireless.cfg033579.maclist+='cc'\n"
		  "wireless.cfg023579.maclist-='aa'\n-wireless.radio0.channel\nwireless.extra='wifi-iface'\n");
	EXPECT_EQ(uci({"commit", "wireless"}).second, 0);
	EXPECT_EQ(uci({"changes"}).first, "");
	EXPECT_EQ(read_file(dir.file("wireless")),
		  "\nconfig wifi-device 'radio0'\n"
		  "\nconfig wifi-iface\n\toption ssid 'it'\\''s here'\n\tlist maclist 'bb'\n"
		  "\nconfig wifi-iface\n\toption ssid 'new name'\n\tlist maclist 'cc'\n"
		  "\nconfig wifi-iface 'extra'\n\n");
	auto [out, rc] = uci({"export", "wireless"});
	EXPECT_EQ(out, "package wireless\n" + read_file(dir.file("wireless")));
}

TEST_F(UciTool, FailuresExitOneWithOneLineOnStderr)
{
	std::string before = read_file(dir.file("wireless"));
	const std::string me = bin_path("uci") + ": "; // errors carry argv[0]
	const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
		{{"get", "wireless.radio0.nothing"}, "Entry not found\n"},
		{{"get", "nopkg.a"}, "Entry not found\n"},
		{{"set", "wireless.nosuch.x=1"}, "Invalid argument\n"},
		{{"set", "wireless.radio0.x=bad\x01"}, "Parse error\n"},
		{{"add_list", "wireless.radio0.x=bad\x1f"}, "Parse error\n"},
		{{"delete", "wireless.nosuch"}, "Entry not found\n"},
		{{"get", "wireless.bad-name"}, "Invalid argument\n"},
		{{"rename", "wireless.radio0=bad-name"}, "Invalid argument\n"},
		{{"rename", "wireless.@wifi-iface[0]=radio0"}, "Duplicate entry\n"},
		{{"reorder", "wireless.radio0=first"}, "Entry not found\n"},
		{{"reorder", "wireless.nosuch=0"}, "Entry not found\n"},
	};
	for (const auto &[args, expected] : cases) {
		std::string err;
		EXPECT_EQ(uci(args, &err).second, 1) << args[1];
		EXPECT_EQ(err, me + expected) << args[1];
		// quiet: the same status, no message
		std::vector<std::string> quiet = {"-q"};
		quiet.insert(quiet.end(), args.begin(), args.end());
		EXPECT_EQ(uci(quiet, &err).second, 1) << args[1];
		EXPECT_EQ(err, "") << args[1];
	}
	EXPECT_EQ(read_file(dir.file("wireless")), before);
	// usage: 255 for a command that is not one, 0 when none is given
	std::string err;
	EXPECT_EQ(uci({"frobnicate"}, &err).second, 255);
	EXPECT_EQ(err.substr(0, 7), "Usage: ");
	EXPECT_EQ(run({bin_path("uci")}, &err).second, 0);
	// a package that is not there: add returns the library's code (3)
	EXPECT_EQ(uci({"add", "nopkg", "t"}).second, 3);
	EXPECT_EQ(uci({"get", "wireless.radio0.channel=1"}).second, 1);
	EXPECT_EQ(uci({"get", "wireless"}), std::make_pair(std::string(), 0));
}

// A file that does not parse: "Parse error (<reason>) at line <n>, byte <b>"
// with the device's reasons.
TEST_F(UciTool, FilesThatDoNotParseNameTheReasonAndLine)
{
	const std::vector<std::pair<std::string, std::string>> cases = {
		{"\toption a 'b'\n", "(option/list command found before the first section) at line 1"},
		{"config t 'a b'\n", "(invalid character in name field) at line 1"},
		{"config t\n\toption 'na-me' 'v'\n", "(invalid character in name field) at line 2"},
		{"config t\n\toption a 'b\n", "(EOF with unterminated ') at line 2"},
		{"config t\n\toption a \"b\n", "(EOF with unterminated \") at line 2"},
		{"config t 'n'\nconfig u 'n'\n",
		 "(section of different type overwrites prior section with same name) at line 2"},
	};
	const std::string head = bin_path("uci") + ": Parse error ";
	for (const auto &[text, reason] : cases) {
		std::ofstream(dir.file("broken")) << text;
		for (const char *cmd : {"show", "export"}) {
			std::string err;
			EXPECT_EQ(uci({cmd, "broken"}, &err).second, 1) << text;
			EXPECT_EQ(err.substr(0, head.size() + reason.size()), head + reason) << text;
			EXPECT_NE(err.find(", byte "), std::string::npos) << err;
		}
	}
}

// Only the tool refuses control characters, and byte 127 passes.
TEST_F(UciTool, ByteOneTwentySevenIsAcceptedAndTabsAndNewlinesToo)
{
	EXPECT_EQ(uci({"set", "wireless.radio0.x=a\x7f"}).second, 0);
	EXPECT_EQ(uci({"set", "wireless.radio0.y=a\tb\nc"}).second, 0);
	EXPECT_EQ(uci({"get", "wireless.radio0.x"}).first, "a\x7f\n");
	EXPECT_EQ(uci({"get", "wireless.radio0.y"}).first, "a\tb\nc\n");
}

class UciToolDeviceExamples : public UciTool {
protected:
	void SetUp() override
	{
		// two named radios, then two anonymous ifaces, the first with a='b'
		std::ofstream(dir.file("w")) <<
			"config wifi-device 'radio0'\n"
			"config wifi-device 'radio1'\n"
			"config wifi-iface\n"
			"\toption a 'b'\n"
			"config wifi-iface\n";
	}
};

TEST_F(UciToolDeviceExamples, ShowNamesAnonymousSectionsAsTheDeviceDoes)
{
	// the whole package: @type[index]; with -X: the generated names
	EXPECT_EQ(uci({"show", "w"}).first,
		  "w.radio0=wifi-device\nw.radio1=wifi-device\n"
		  "w.@wifi-iface[0]=wifi-iface\nw.@wifi-iface[0].a='b'\nw.@wifi-iface[1]=wifi-iface\n");
	EXPECT_EQ(uci({"-X", "show", "w"}).first,
		  "w.radio0=wifi-device\nw.radio1=wifi-device\n"
		  "w.cfg033579=wifi-iface\nw.cfg033579.a='b'\nw.cfg043579=wifi-iface\n");
	// an option asked for as @wifi-iface[0] shows as w.cfg033579.a='b'
	EXPECT_EQ(uci({"show", "w.@wifi-iface[0].a"}).first, "w.cfg033579.a='b'\n");
	EXPECT_EQ(uci({"show", "w.@wifi-iface[1]"}).first, "w.cfg043579=wifi-iface\n");
	// the generated name addresses the section
	EXPECT_EQ(uci({"get", "w.cfg033579.a"}), std::make_pair(std::string("b\n"), 0));
	EXPECT_EQ(uci({"get", "w.cfg043579"}).first, "wifi-iface\n");
	EXPECT_EQ(uci({"export", "w"}).first,
		  "package w\n\nconfig wifi-device 'radio0'\n\nconfig wifi-device 'radio1'\n"
		  "\nconfig wifi-iface\n\toption a 'b'\n\nconfig wifi-iface\n\n");
	EXPECT_EQ(uci({"-n", "export", "w"}).first,
		  "package w\n\nconfig wifi-device 'radio0'\n\nconfig wifi-device 'radio1'\n"
		  "\nconfig wifi-iface 'cfg033579'\n\toption a 'b'\n\nconfig wifi-iface 'cfg043579'\n\n");

	// three anonymous sections: wifi-iface, wifi-iface, other
	std::ofstream(dir.file("o")) << "config wifi-iface\nconfig wifi-iface\nconfig other\n";
	EXPECT_EQ(uci({"-X", "show", "o"}).first, "o.cfg013579=wifi-iface\no.cfg023579=wifi-iface\no.cfg0303e7=other\n");
}

// 300 anonymous `t` sections: the 257th is cfg101b619, and a change to it
// does not land on the first.
TEST_F(UciToolDeviceExamples, TheTwoHundredFiftySeventhSectionIsItsOwn)
{
	std::string text;
	for (int i = 0; i < 300; i++)
		text += "config t\n";
	std::ofstream(dir.file("t")) << text;
	EXPECT_EQ(uci({"show", "t.@t[256]"}).first, "t.cfg101b619=t\n");
	EXPECT_EQ(uci({"set", "t.cfg101b619.x=1"}).second, 0);
	EXPECT_EQ(uci({"show", "t.@t[0]"}).first, "t.cfg01b619=t\n");
	EXPECT_EQ(uci({"get", "t.@t[256].x"}).first, "1\n");
}

TEST_F(UciToolDeviceExamples, AddRenameAndReorder)
{
	// an added section is named as one read from the file: the fifth, an iface
	EXPECT_EQ(uci({"add", "w", "wifi-iface"}), std::make_pair(std::string("cfg053579\n"), 0));
	EXPECT_EQ(uci({"set", "w.cfg053579.ssid=new"}).second, 0);
	// section form, then option form
	EXPECT_EQ(uci({"rename", "w.@wifi-iface[0]=main"}).second, 0);
	EXPECT_EQ(uci({"rename", "w.main.a=mode"}).second, 0);
	// the last iface first
	EXPECT_EQ(uci({"reorder", "w.@wifi-iface[-1]=0"}).second, 0);
	EXPECT_EQ(uci({"commit", "w"}).second, 0);
	EXPECT_EQ(read_file(dir.file("w")),
		  "\nconfig wifi-iface\n\toption ssid 'new'\n"
		  "\nconfig wifi-device 'radio0'\n\nconfig wifi-device 'radio1'\n"
		  "\nconfig wifi-iface 'main'\n\toption mode 'b'\n\nconfig wifi-iface\n\n");
	EXPECT_EQ(uci({"-X", "show", "w"}).first,
		  "w.cfg013579=wifi-iface\nw.cfg013579.ssid='new'\n"
		  "w.radio0=wifi-device\nw.radio1=wifi-device\n"
		  "w.main=wifi-iface\nw.main.mode='b'\nw.cfg053579=wifi-iface\n");
	// a revert drops what is staged, and only that
	EXPECT_EQ(uci({"set", "w.main.mode=c"}).second, 0);
	EXPECT_EQ(uci({"set", "w.radio0.x=1"}).second, 0);
	EXPECT_EQ(uci({"revert", "w.main"}).second, 0);
	EXPECT_EQ(uci({"changes", "w"}), std::make_pair(std::string("w.radio0.x='1'\n"), 0));
	EXPECT_EQ(uci({"revert", "w"}).second, 0);
	EXPECT_EQ(uci({"changes"}), std::make_pair(std::string(), 0));
	EXPECT_EQ(uci({"get", "w.main.mode"}).first, "b\n");
}

// batch: commands as on the command line, one per line, until the end of
// input: set w.radio0.z='5', add_list, commit w. A failed line is reported
// and the batch goes on; its status stays 0.
TEST_F(UciToolDeviceExamples, BatchRunsEachLineAsACommand)
{
	std::string err;
	auto [out, rc] = batch("set w.radio0.z='5'\n"
			       "add_list w.radio0.l=\"two words\"\n"
			       "add_list w.radio0.l='it'\\''s' # a comment\n"
			       "\n"
			       "add w wifi-iface\n"
			       "commit w\n"
			       "get w.radio0.z\n"
			       "show w.@wifi-iface[0].a\n"
			       "set w.nosuch.x=1\n"
			       "set w.radio1.y=\"a\\\"b\\$\"",
			       &err);
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(out, "cfg053579\n5\nw.cfg033579.a='b'\n");
	EXPECT_EQ(err, bin_path("uci") + ": Invalid argument\n");
	EXPECT_EQ(read_file(dir.file("w")),
		  "\nconfig wifi-device 'radio0'\n\toption z '5'\n\tlist l 'two words'\n\tlist l 'it'\\''s'\n"
		  "\nconfig wifi-device 'radio1'\n"
		  "\nconfig wifi-iface\n\toption a 'b'\n\nconfig wifi-iface\n\nconfig wifi-iface\n\n");
	// the line after the commit is staged
	EXPECT_EQ(uci({"get", "w.radio1.y"}).first, "a\"b$\n");
	EXPECT_EQ(batch("set w.radio0.z='6'\nexit\nset w.radio0.z='7'\n").second, 0);
	EXPECT_EQ(uci({"get", "w.radio0.z"}).first, "6\n");
	// get quotes the items with a space
	EXPECT_EQ(uci({"-d", ",", "get", "w.radio0.l"}).first, "'two words',it's\n");
	EXPECT_EQ(uci({"-d", ",", "show", "w.radio0.l"}).first, "w.radio0.l='two words','it'\\''s'\n");
}

// A peer holding a file's lock (shared: as a reader does): it says "held"
// once it has it, and lets go only when it is killed.
std::unique_ptr<spawned> hold(const std::string &path, bool shared = false)
{
	auto p = std::make_unique<spawned>(std::vector<std::string>{
		"/bin/sh", "-c", "exec 9<>\"$1\" && flock $2 9 && echo held && exec sleep 600", "sh", path,
		shared ? "-s" : "-x"});
	if (!testing_support::wait_until([&] { return p->out() == "held\n"; }, 5000))
		ADD_FAILURE() << "no lock on " << path;
	return p;
}

// The process has `path` open.
bool has_open(pid_t pid, const std::string &path)
{
	char real[PATH_MAX];
	if (!realpath(path.c_str(), real))
		return false;
	std::string dir = "/proc/" + std::to_string(pid) + "/fd";
	DIR *d = opendir(dir.c_str());
	if (!d)
		return false;
	bool found = false;
	while (struct dirent *e = readdir(d)) {
		char link[PATH_MAX];
		ssize_t n = readlink((dir + "/" + e->d_name).c_str(), link, sizeof(link) - 1);
		if (n > 0 && std::string(link, static_cast<size_t>(n)) == real)
			found = true;
	}
	closedir(d);
	return found;
}

// libuci waits this long for a lock, then fails with the device's error
// for a lock it cannot have.
constexpr long long lock_wait_ms = 5000;

// A lock that a stuck peer never gives back ends every command that needs
// it in "I/O error" (exit 1) once the wait is over, and nothing changes.
// The rows run at once: each waits out the bound.
TEST(UciToolLocks, ALockNeverGivenBackEndsInIoErrorAfterTheWait)
{
	struct row {
		const char *held; // under the row's directory
		bool shared;
		std::vector<std::string> args;
	};
	const std::vector<row> rows = {
		{"c/delta", false, {"commit", "delta"}},
		{"s/delta", false, {"show", "delta"}},
		{"st/delta", false, {"-p", "st", "get", "delta.sec0.o0"}},
		{"st/delta", false, {"-p", "st", "commit", "delta"}},
		// a reader that never ends: loads pass, writes wait
		{"s/delta", true, {"set", "delta.sec0.o2=z"}},
		{"s/delta", true, {"commit", "delta"}},
		{"s/delta", true, {"revert", "delta"}},
	};
	const std::string config = "config sec 'sec0'\n\toption o0 'x'\n", staged = "delta.sec0.o1='y'\n";
	struct running {
		temp_dir dir;
		std::unique_ptr<spawned> holder, tool;
		long long start = 0;
	};
	std::vector<std::unique_ptr<running>> runs;
	for (const auto &r : rows) {
		auto &run = *runs.emplace_back(std::make_unique<running>());
		for (const char *d : {"c", "s", "st"})
			mkdir(run.dir.file(d).c_str(), 0755);
		std::ofstream(run.dir.file("c/delta")) << config;
		std::ofstream(run.dir.file("s/delta")) << staged;
		std::ofstream(run.dir.file("st/delta")) << staged;
		run.holder = hold(run.dir.file(r.held), r.shared);
		std::vector<std::string> argv = {bin_path("uci"), "-c", run.dir.file("c"), "-t", run.dir.file("s")};
		for (const auto &a : r.args)
			argv.push_back(a == "st" ? run.dir.file("st") : a);
		run.start = monotonic_ms();
		run.tool = std::make_unique<spawned>(argv);
	}
	for (size_t i = 0; i < rows.size(); i++) {
		auto &run = *runs[i];
		std::string what = std::string(rows[i].held) + ": uci " + rows[i].args[rows[i].args.size() - 2];
		auto status = run.tool->wait(static_cast<int>(lock_wait_ms + 10000));
		long long took = monotonic_ms() - run.start;
		ASSERT_TRUE(status) << what << ": still waiting";
		EXPECT_EQ(WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, 1) << what;
		EXPECT_EQ(run.tool->err(), bin_path("uci") + ": I/O error\n") << what;
		EXPECT_EQ(run.tool->out(), "") << what;
		EXPECT_GE(took, lock_wait_ms) << what;
		EXPECT_LT(took, lock_wait_ms + scaled_ms(3000)) << what;
		EXPECT_EQ(read_file(run.dir.file("c/delta")), config) << what;
		EXPECT_EQ(read_file(run.dir.file("s/delta")), staged) << what;
	}
}

// A script's uci holding the file for a moment only delays a commit.
TEST(UciToolLocks, ACommitWaitsOutALockHeldForAMoment)
{
	temp_dir dir, save;
	std::ofstream(dir.file("delta")) << "config sec 'sec0'\n";
	std::ofstream(save.file("delta")) << "delta.sec0.o1='y'\n";
	auto holder = hold(dir.file("delta"));
	spawned tool({bin_path("uci"), "-c", dir.path(), "-t", save.path(), "commit", "delta"});
	ASSERT_TRUE(testing_support::wait_until([&] { return has_open(tool.pid(), dir.file("delta")); }, 5000));
	holder->signal(SIGKILL);
	auto status = tool.wait(static_cast<int>(lock_wait_ms + 5000));
	ASSERT_TRUE(status);
	EXPECT_EQ(WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, 0) << tool.err();
	EXPECT_EQ(read_file(dir.file("delta")), "\nconfig sec 'sec0'\n\toption o1 'y'\n\n");
	EXPECT_EQ(read_file(save.file("delta")), "");
}

} // namespace

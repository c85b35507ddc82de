// The uci command-line tool, run as a real program.
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/wait.h>

using testing_support::bin_path;
using testing_support::read_file;
using testing_support::spawned;
using testing_support::temp_dir;

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
		std::vector<std::string> argv = {bin_path("uci"), "-c", dir.path()};
		argv.insert(argv.end(), args.begin(), args.end());
		spawned p(argv);
		auto status = p.wait(5000);
		if (err)
			*err = p.err();
		return {p.out(), status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1};
	}

	temp_dir dir;
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
	EXPECT_EQ(uci({"show", "wireless.@wifi-iface[-1].ssid"}).first, "wireless.@wifi-iface[1].ssid='second'\n");
}

TEST_F(UciTool, GetAndChangesThatCommitAtOnce)
{
	EXPECT_EQ(uci({"get", "wireless.radio0"}).first, "wifi-device\n");
	EXPECT_EQ(uci({"get", "wireless.@wifi-iface[0].maclist"}).first, "aa bb\n");
	EXPECT_EQ(uci({"set", "wireless.@wifi-iface[1].ssid=new name"}).second, 0);
	EXPECT_EQ(uci({"add_list", "wireless.@wifi-iface[1].maclist=cc"}).second, 0);
	EXPECT_EQ(uci({"del_list", "wireless.@wifi-iface[0].maclist=aa"}).second, 0);
	EXPECT_EQ(uci({"delete", "wireless.radio0.channel"}).second, 0);
	EXPECT_EQ(uci({"set", "wireless.extra=wifi-iface"}).second, 0);
	EXPECT_EQ(uci({"commit", "wireless"}).second, 0);
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
	const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
		{{"get", "wireless.radio0.nothing"}, "uci: Entry not found\n"},
		{{"get", "nopkg.a"}, "uci: Entry not found\n"},
		{{"set", "wireless.nosuch.x=1"}, "uci: Invalid argument\n"},
		{{"set", "wireless.radio0.x=bad\x01"}, "uci: Invalid argument\n"},
		{{"delete", "wireless.nosuch"}, "uci: Entry not found\n"},
		{{"get", "wireless.bad-name"}, "uci: Invalid argument\n"},
	};
	for (const auto &[args, expected] : cases) {
		std::string err;
		EXPECT_EQ(uci(args, &err).second, 1) << args[1];
		EXPECT_EQ(err, expected) << args[1];
	}
	EXPECT_EQ(read_file(dir.file("wireless")), before);

	std::ofstream(dir.file("broken")) << "config t\n\toption a 'b\n";
	std::string err;
	EXPECT_EQ(uci({"show", "broken"}, &err).second, 1);
	EXPECT_EQ(err, "uci: Parse error (unterminated ') at line 2, byte 11\n");
	EXPECT_EQ(uci({"frobnicate"}, &err).second, 1);
}

} // namespace

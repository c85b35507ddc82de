// The UCI store: file syntax, export format, changes through pointers.
#include <uci.h>

#include "support/spawn.h"
#include "support/uci_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sys/stat.h>

using testing_support::read_file;
using testing_support::temp_dir;
using testing_support::uci_apply;
using testing_support::uci_change;
using testing_support::uci_change_and_commit;
using testing_support::uci_context_on;
using testing_support::write_file;

namespace {

class UciStore : public ::testing::Test {
protected:
	void SetUp() override
	{
		ctx = uci_context_on(dir.path());
	}
	void TearDown() override { uci_free_context(ctx); }

	struct uci_package *load(const std::string &text, int *err = nullptr)
	{
		write_file(dir.file("pkg"), text);
		struct uci_package *p = nullptr;
		int r = uci_load(ctx, "pkg", &p);
		if (err)
			*err = r;
		return p;
	}

	std::string exported(struct uci_package *p)
	{
		char *buf = nullptr;
		size_t len = 0;
		FILE *f = open_memstream(&buf, &len);
		uci_export(ctx, f, p, false);
		fclose(f);
		std::string out(buf, len);
		free(buf);
		return out;
	}

	int set(const std::string &expr) { return uci_apply(ctx, expr, uci_change::set); }

	int add_list(const std::string &expr) { return uci_apply(ctx, expr, uci_change::add_list); }

	int commit(const char *name = "pkg")
	{
		struct uci_element *e;
		uci_foreach_element(&ctx->root, e) {
			if (std::string(e->name) == name) {
				struct uci_package *p = uci_to_package(e);
				return uci_commit(ctx, &p, false);
			}
		}
		return UCI_ERR_NOTFOUND;
	}

	int uci_delete_expr(const std::string &expr) { return uci_apply(ctx, expr, uci_change::remove); }

	// A change committed by another writer meanwhile.
	int other_commits(const std::string &expr, bool remove)
	{
		return uci_change_and_commit(dir.path(), expr, remove ? uci_change::remove : uci_change::set);
	}

	// Another writer appends a section of `type` with n='other'.
	int uci_add_section_other(const char *type)
	{
		struct uci_context *o = uci_context_on(dir.path());
		struct uci_package *p = nullptr;
		struct uci_section *s = nullptr;
		int r = uci_load(o, "pkg", &p);
		if (r == UCI_OK)
			r = uci_add_section(o, p, type, &s);
		if (r == UCI_OK) {
			struct uci_ptr ptr = {};
			ptr.package = "pkg";
			ptr.section = s->e.name;
			ptr.option = "n";
			ptr.value = "other";
			r = uci_set(o, &ptr);
		}
		if (r == UCI_OK)
			r = uci_commit(o, &p, false);
		uci_free_context(o);
		return r;
	}

	temp_dir dir;
	struct uci_context *ctx = nullptr;
};

TEST_F(UciStore, QuotingEscapesAndCommentsAsTheDeviceReadsThem)
{
	struct uci_package *p = load(
		"package pkg\n"
		"# a comment\n"
		"config main 'sec'   # trailing comment\n"
		"\toption bare word#comment\n"
		"\toption single 'a \\ \"b\" #c'\n"
		"\toption dbl \"x\\\"y\\$z\\\\ #w\"\n"
		"\toption glued 'it'\\''s'\n"
		"\toption esc a\\ b\n"
		"\toption multi 'line one\n"
		"line two'\n");
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(exported(p),
		  "\nconfig main 'sec'\n"
		  "\toption bare 'word'\n"
		  "\toption single 'a \\ \"b\" #c'\n"
		  "\toption dbl 'x\"y$z\\ #w'\n"
		  "\toption glued 'it'\\''s'\n"
		  "\toption esc 'a b'\n"
		  "\toption multi 'line one\nline two'\n"
		  "\n");
}

TEST_F(UciStore, SectionsMergeOptionsReplaceListsAndEmptyValuesAreIgnored)
{
	struct uci_package *p = load(
		"config t 'a'\n"
		"\toption x '1'\n"
		"\tlist l 'one'\n"
		"\toption y 'keep'\n"
		"config t\n"
		"\toption z ''\n"
		"\tlist e ''\n"
		"config t 'a'\n"
		"\toption x '2'\n"        // later option replaces earlier
		"\toption l 'single'\n"   // an option replaces a list
		"\tlist y 'more'\n"       // a list after an option keeps its value first
		"\toption y2 'v'\n"
		"\toption y2 ''\n"         // an empty value leaves the option, as on the device
		"\toption y3\n");          // so does none
	ASSERT_NE(p, nullptr);
	std::string out = exported(p);
	EXPECT_EQ(out,
		  "\nconfig t 'a'\n"
		  "\toption x '2'\n"
		  "\toption l 'single'\n"
		  "\tlist y 'keep'\n"
		  "\tlist y 'more'\n"
		  "\toption y2 'v'\n"
		  "\nconfig t\n"
		  "\tlist e ''\n"
		  "\n");
	struct uci_element *e;
	std::vector<std::string> names;
	uci_foreach_element(&p->sections, e)
		names.push_back(e->name);
	ASSERT_EQ(names.size(), 2u);
	EXPECT_TRUE(std::regex_match(names[1], std::regex("cfg[0-9a-f]{6}"))) << names[1];
	EXPECT_TRUE(uci_to_section(list_to_element(p->sections.prev))->anonymous);
}

struct bad_file {
	const char *what;
	const char *text;
	int line;
	const char *reason = nullptr; // the device's words, where they are known
};

void PrintTo(const bad_file &b, std::ostream *os)
{
	*os << b.what;
}

class UciBadFile : public UciStore, public ::testing::WithParamInterface<bad_file> {};

TEST_P(UciBadFile, FailsWithParseErrorAndLeavesNoPackage)
{
	int err = 0;
	EXPECT_EQ(load(GetParam().text, &err), nullptr);
	EXPECT_EQ(err, UCI_ERR_PARSE) << GetParam().what;
	EXPECT_EQ(ctx->err_line, GetParam().line) << GetParam().what;
	EXPECT_TRUE(uci_list_empty(&ctx->root));
	char *msg = nullptr;
	uci_get_errorstr(ctx, &msg, "uci");
	EXPECT_NE(std::string(msg).find("Parse error"), std::string::npos);
	EXPECT_NE(std::string(msg).find("at line " + std::to_string(GetParam().line)), std::string::npos) << msg;
	if (GetParam().reason) {
		std::string head = std::string("uci: Parse error (") + GetParam().reason + ") at line " +
				   std::to_string(GetParam().line) + ", byte ";
		EXPECT_EQ(std::string(msg).substr(0, head.size()), head);
	}
	free(msg);
}

INSTANTIATE_TEST_SUITE_P(Shapes, UciBadFile, ::testing::Values(
	bad_file{"option before config", "\n\toption a 'b'\n", 2, "option/list command found before the first section"},
	bad_file{"list before config", "list a 'b'\n", 1, "option/list command found before the first section"},
	bad_file{"unknown command", "config t\n\tset a b\n", 2},
	bad_file{"bad option name", "config t\n\toption 'na-me' 'v'\n", 2, "invalid character in name field"},
	bad_file{"bad section name", "config t 'a b'\n", 1, "invalid character in name field"},
	bad_file{"dotted section name", "config t 'a.b'\n", 1, "invalid character in name field"},
	bad_file{"type of two words", "config 'a b'\n", 1},
	bad_file{"too many words", "config t n extra\n", 1},
	bad_file{"option without name", "config t\n\toption\t\n", 2, "insufficient arguments"},
	bad_file{"unterminated single quote", "config t\n\toption a 'b\n\n", 3, "EOF with unterminated '"},
	bad_file{"unterminated double quote", "config t\n\toption a \"b\n", 2, "EOF with unterminated \""},
	bad_file{"same name other type", "config t 'n'\nconfig u 'n'\n", 2,
		 "section of different type overwrites prior section with same name"}));

TEST_F(UciStore, MissingPackageIsNotFound)
{
	struct uci_package *p = nullptr;
	EXPECT_EQ(uci_load(ctx, "nothing", &p), UCI_ERR_NOTFOUND);
	EXPECT_EQ(p, nullptr);
	EXPECT_EQ(uci_load(ctx, "../etc", &p), UCI_ERR_INVAL);
	EXPECT_EQ(uci_load(ctx, ".pkg.uci-x", &p), UCI_ERR_INVAL);
}

TEST_F(UciStore, LookupsSeeStringsListsAndExtendedSections)
{
	struct uci_package *p = load("config a 'one'\n\toption s 'v'\n\tlist l 'x'\nconfig b\nconfig a\n\toption s 'last'\n");
	ASSERT_NE(p, nullptr);
	struct uci_section *one = uci_lookup_section(ctx, p, "one");
	ASSERT_NE(one, nullptr);
	EXPECT_STREQ(uci_lookup_option_string(ctx, one, "s"), "v");
	EXPECT_EQ(uci_lookup_option_string(ctx, one, "l"), nullptr); // a list
	ASSERT_NE(uci_lookup_option(ctx, one, "l"), nullptr);
	EXPECT_EQ(uci_lookup_option(ctx, one, "l")->type, UCI_TYPE_LIST);

	char expr[] = "pkg.@a[-1].s";
	struct uci_ptr ptr;
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, expr, true), UCI_OK);
	ASSERT_TRUE(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE);
	EXPECT_STREQ(ptr.o->v.string, "last");
	char missing[] = "pkg.@a[5]";
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, missing, true), UCI_OK);
	EXPECT_FALSE(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE);
}

TEST_F(UciStore, SetChangesOnlyExistingSectionsAndCreatesSectionsByType)
{
	load("config t 'a'\n\toption x '1'\n");
	EXPECT_EQ(set("pkg.nosuch.x=1"), UCI_ERR_INVAL);
	EXPECT_EQ(set("nopkg.a.x=1"), UCI_ERR_NOTFOUND);
	EXPECT_EQ(set("pkg.a.x=2"), UCI_OK);
	EXPECT_EQ(set("pkg.b=newtype"), UCI_OK);
	EXPECT_EQ(set("pkg.b.y=3"), UCI_OK);
	EXPECT_EQ(set("pkg.a=other"), UCI_OK);
	EXPECT_EQ(add_list("pkg.a.x=more"), UCI_OK); // string becomes a list
	ASSERT_EQ(commit(), UCI_OK);
	EXPECT_EQ(read_file(dir.file("pkg")),
		  "\nconfig other 'a'\n\tlist x '2'\n\tlist x 'more'\n"
		  "\nconfig newtype 'b'\n\toption y '3'\n\n");
	EXPECT_FALSE(std::ifstream(dir.file("nopkg")).good()); // never created
}

// Values carry any byte but NUL: the library stores control characters,
// a commit writes them as they are and the parser reads them back; only a
// pointer given as text refuses them (byte 127 aside).
TEST_F(UciStore, ControlCharactersAreStoredWrittenAndReadBack)
{
	load("config t 'a'\n\toption x '1'\n");
	const std::string value = std::string("v\x01\x1b\x7f\t\r\n'end");
	struct uci_ptr ptr = {};
	ptr.package = "pkg";
	ptr.section = "a";
	ptr.option = "x";
	ptr.value = value.c_str();
	ASSERT_EQ(uci_set(ctx, &ptr), UCI_OK);
	ptr = {};
	ptr.package = "pkg";
	ptr.section = "a";
	ptr.option = "l";
	ptr.value = "\x02";
	ASSERT_EQ(uci_add_list(ctx, &ptr), UCI_OK);
	ASSERT_EQ(commit(), UCI_OK);
	EXPECT_EQ(read_file(dir.file("pkg")),
		  "\nconfig t 'a'\n\toption x 'v\x01\x1b\x7f\t\r\n'\\''end'\n\tlist l '\x02'\n\n");

	struct uci_context *r = uci_context_on(dir.path());
	struct uci_package *p = nullptr;
	ASSERT_EQ(uci_load(r, "pkg", &p), UCI_OK);
	EXPECT_EQ(uci_lookup_option_string(r, uci_lookup_section(r, p, "a"), "x"), value);
	uci_free_context(r);

	for (char c : {'\x01', '\x1f'})
		EXPECT_EQ(set(std::string("pkg.a.y=bad") + c), UCI_ERR_PARSE) << int(c);
	EXPECT_EQ(set("pkg.a.y=del\x7f"), UCI_OK);
}

// A NUL ends the device's line (and its newline is not counted): inside
// quotes the quote is never closed. Outside them the device keeps the cut
// value and its next commit writes it so; here the package does not load.
TEST_F(UciStore, NulInAFileFailsThePackage)
{
	struct {
		std::string text;
		int line;
	} cases[] = {{std::string("config t 'a'\n\toption x 'be\0fore'\n", 33), 1},
		     {std::string("config t 'a'\n\toption x \"be\0fore\"\n", 33), 1},
		     {std::string("config t 'a'\n\toption x be\0fore\n", 31), 2}};
	for (const auto &c : cases) {
		int err = 0;
		EXPECT_EQ(load(c.text, &err), nullptr);
		EXPECT_EQ(err, UCI_ERR_PARSE);
		EXPECT_EQ(ctx->err_line, c.line);
	}

	load("config t 'a'\n\toption x '1'\n");
	ASSERT_EQ(set("pkg.a.y=2"), UCI_OK);
	std::string nul("config t 'a'\n\toption x 'be\0fore'\n", 33);
	write_file(dir.file("pkg"), nul);
	EXPECT_EQ(commit(), UCI_ERR_PARSE);
	EXPECT_EQ(read_file(dir.file("pkg")), nul);
}

std::vector<std::string> section_names(struct uci_package *p)
{
	std::vector<std::string> names;
	struct uci_element *e;
	uci_foreach_element(&p->sections, e)
		names.push_back(e->name);
	return names;
}

TEST_F(UciStore, AnonymousSectionsGetTheDevicesNames)
{
	// two named radios, then two anonymous ifaces
	struct uci_package *p = load("config wifi-device 'radio0'\nconfig wifi-device 'radio1'\n"
				     "config wifi-iface\nconfig wifi-iface\n");
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(section_names(p), (std::vector<std::string>{"radio0", "radio1", "cfg033579", "cfg043579"}));
	// an added section is counted the same way
	struct uci_section *added = nullptr;
	ASSERT_EQ(uci_add_section(ctx, p, "t", &added), UCI_OK);
	ASSERT_NE(added, nullptr);
	EXPECT_STREQ(added->e.name, "cfg05b619");
	EXPECT_TRUE(added->anonymous);
	uci_unload(ctx, p);

	// three anonymous sections: wifi-iface, wifi-iface, other
	p = load("config wifi-iface\nconfig wifi-iface\nconfig other\n");
	ASSERT_NE(p, nullptr);
	EXPECT_EQ(section_names(p), (std::vector<std::string>{"cfg013579", "cfg023579", "cfg0303e7"}));
	uci_unload(ctx, p);
}

// 300 anonymous `t` sections: the 257th is cfg101b619, and a change through
// its name lands on it, not on the first.
TEST_F(UciStore, NamesNeverRepeatPastTheTwoHundredFiftySixth)
{
	std::string text;
	for (int i = 0; i < 300; i++)
		text += "config t\n\toption n '" + std::to_string(i) + "'\n";
	struct uci_package *p = load(text);
	ASSERT_NE(p, nullptr);
	auto names = section_names(p);
	ASSERT_EQ(names.size(), 300u);
	EXPECT_EQ(names[256], "cfg101b619");
	EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 300u);
	ASSERT_EQ(set("pkg.cfg101b619.n=changed"), UCI_OK);
	ASSERT_EQ(commit(), UCI_OK);
	std::string out = read_file(dir.file("pkg"));
	EXPECT_NE(out.find("\toption n '0'\n"), std::string::npos);
	EXPECT_EQ(out.find("\toption n '256'\n"), std::string::npos);
	EXPECT_NE(out.find("\toption n 'changed'\n"), std::string::npos);
	char expr[] = "pkg.@t[256].n";
	struct uci_ptr ptr;
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, expr, true), UCI_OK);
	ASSERT_TRUE(ptr.o);
	EXPECT_STREQ(ptr.o->v.string, "changed");
}

// Anonymous names are places in the file: after a commit the context names
// its sections as the written file does, and a change is never replayed on
// a section that another writer's edit has moved into that place.
TEST_F(UciStore, ChangesToAnonymousSectionsReplayOnTheRightSection)
{
	load("config t\n\toption n 'first'\nconfig t\n\toption n 'second'\nconfig t\n\toption n 'third'\n");
	ASSERT_EQ(uci_delete_expr("pkg.cfg01b619"), UCI_OK);
	ASSERT_EQ(commit(), UCI_OK);
	// the context now names the sections as a fresh read would
	ASSERT_EQ(set("pkg.cfg01b619.n=second!"), UCI_OK);
	ASSERT_EQ(commit(), UCI_OK);
	EXPECT_EQ(read_file(dir.file("pkg")),
		  "\nconfig t\n\toption n 'second!'\n\nconfig t\n\toption n 'third'\n\n");

	// Another writer deletes the first section: our change meant for the
	// second must not land on the third.
	ASSERT_EQ(set("pkg.cfg02b619.n=third!"), UCI_OK);
	ASSERT_EQ(other_commits("pkg.@t[0]", true), UCI_OK);
	EXPECT_EQ(commit(), UCI_ERR_NOTFOUND);
	EXPECT_EQ(read_file(dir.file("pkg")), "\nconfig t\n\toption n 'third'\n\n");
}

TEST_F(UciStore, OthersAppendsDoNotDisturbAndAddedSectionsKeepTheirOptions)
{
	struct uci_package *p = load("config t\n\toption n 'a'\nconfig u 'named'\n");
	ASSERT_EQ(set("pkg.cfg01b619.n=a!"), UCI_OK);
	struct uci_section *s = nullptr;
	ASSERT_EQ(uci_add_section(ctx, p, "t", &s), UCI_OK);
	std::string mine = std::string("pkg.") + s->e.name + ".n=mine";
	ASSERT_EQ(set(mine), UCI_OK);
	// meanwhile another writer appends a section of its own, which takes
	// the name ours had
	ASSERT_EQ(other_commits("pkg.named.x=1", false), UCI_OK);
	ASSERT_EQ(uci_add_section_other("t"), UCI_OK);
	ASSERT_EQ(commit(), UCI_OK);
	EXPECT_EQ(read_file(dir.file("pkg")),
		  "\nconfig t\n\toption n 'a!'\n\nconfig u 'named'\n\toption x '1'\n"
		  "\nconfig t\n\toption n 'other'\n\nconfig t\n\toption n 'mine'\n\n");
	EXPECT_EQ(section_names(p), (std::vector<std::string>{"cfg01b619", "named", "cfg03b619", "cfg04b619"}));
}

TEST_F(UciStore, RenameAndReorderReplayAtCommit)
{
	struct uci_package *p = load("config t 'a'\n\toption x '1'\nconfig t\n\toption y '2'\nconfig u 'c'\n");
	char sec[] = "pkg.cfg02b619=b";
	struct uci_ptr ptr;
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, sec, true), UCI_OK);
	ASSERT_EQ(uci_rename(ctx, &ptr), UCI_OK);
	EXPECT_FALSE(ptr.s->anonymous);
	char opt[] = "pkg.a.x=z";
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, opt, true), UCI_OK);
	ASSERT_EQ(uci_rename(ctx, &ptr), UCI_OK);
	char taken[] = "pkg.a=c";
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, taken, true), UCI_OK);
	EXPECT_EQ(uci_rename(ctx, &ptr), UCI_ERR_DUPLICATE);
	ASSERT_EQ(uci_reorder_section(ctx, uci_lookup_section(ctx, p, "c"), 0), UCI_OK);
	ASSERT_EQ(uci_reorder_section(ctx, uci_lookup_section(ctx, p, "a"), 99), UCI_OK);
	ASSERT_EQ(commit(), UCI_OK);
	EXPECT_EQ(read_file(dir.file("pkg")),
		  "\nconfig u 'c'\n\nconfig t 'b'\n\toption y '2'\n\nconfig t 'a'\n\toption z '1'\n\n");
}

TEST_F(UciStore, CommitWithoutChangesWritesNothing)
{
	load("config t 'a'\n\toption x '1'\n");
	struct stat before, after;
	stat(dir.file("pkg").c_str(), &before);
	EXPECT_EQ(set("pkg.a.x=1"), UCI_OK); // the value it already has
	EXPECT_EQ(commit(), UCI_OK);
	stat(dir.file("pkg").c_str(), &after);
	EXPECT_EQ(before.st_ino, after.st_ino);
	EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
	EXPECT_EQ(read_file(dir.file("pkg")), "config t 'a'\n\toption x '1'\n");
}

TEST_F(UciStore, CommitKeepsTheFileModeAndOtherContextsChanges)
{
	load("config t 'a'\n\toption x '1'\n\toption y '1'\n");
	chmod(dir.file("pkg").c_str(), 0600);
	struct uci_context *other = uci_context_on(dir.path());
	char expr[] = "pkg.a.y=other";
	struct uci_ptr ptr;
	ASSERT_EQ(uci_lookup_ptr(other, &ptr, expr, true), UCI_OK);
	ASSERT_EQ(uci_set(other, &ptr), UCI_OK);

	ASSERT_EQ(set("pkg.a.x=mine"), UCI_OK);
	ASSERT_EQ(commit(), UCI_OK);
	ASSERT_EQ(uci_commit(other, &ptr.p, false), UCI_OK);
	uci_free_context(other);

	EXPECT_EQ(read_file(dir.file("pkg")), "\nconfig t 'a'\n\toption x 'mine'\n\toption y 'other'\n\n");
	struct stat st;
	stat(dir.file("pkg").c_str(), &st);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(UciStore, CommitRefusesToRewriteABrokenFile)
{
	load("config t 'a'\n\toption x '1'\n");
	ASSERT_EQ(set("pkg.a.x=2"), UCI_OK);
	write_file(dir.file("pkg"), "config t 'a\n"); // broken meanwhile
	EXPECT_EQ(commit(), UCI_ERR_PARSE);
	EXPECT_EQ(read_file(dir.file("pkg")), "config t 'a\n");
}

// Values with every character the format must carry read back unchanged.
TEST_F(UciStore, AnyCommittedTreeReadsBackTheSame)
{
	const std::string alphabet = std::string("ab Z09'\"\\#\t\r\n$;=.-_{}") + "\xc3\xa9";
	std::mt19937 rng(1234);
	auto random_value = [&](bool allow_empty) {
		std::string v;
		size_t n = rng() % 12 + (allow_empty ? 0 : 1);
		for (size_t i = 0; i < n; i++)
			v += alphabet[rng() % alphabet.size()];
		return v;
	};
	for (int round = 0; round < 40; round++) {
		write_file(dir.file("rt"), "config t 'base'\n");
		struct uci_context *w = uci_context_on(dir.path());
		std::string expected;
		for (int s = 0; s < 3; s++) {
			std::string sec = "s" + std::to_string(s);
			std::string e = "rt." + sec + "=type-" + std::to_string(s);
			struct uci_ptr ptr;
			ASSERT_EQ(uci_lookup_ptr(w, &ptr, e.data(), true), UCI_OK);
			ASSERT_EQ(uci_set(w, &ptr), UCI_OK);
			expected += "\nconfig type-" + std::to_string(s) + " '" + sec + "'\n";
			for (int o = 0; o < 3; o++) {
				std::string value = random_value(false);
				struct uci_ptr op = {};
				std::string name = "o" + std::to_string(o);
				op.package = "rt";
				op.section = sec.c_str();
				op.option = name.c_str();
				op.value = value.c_str();
				bool list = o == 2;
				ASSERT_EQ(list ? uci_add_list(w, &op) : uci_set(w, &op), UCI_OK);
				std::string item = random_value(true);
				op.flags = {};
				op.value = item.c_str();
				if (list) {
					ASSERT_EQ(uci_add_list(w, &op), UCI_OK);
				}
				std::string q, qi;
				for (char c : value)
					q += c == '\'' ? std::string("'\\''") : std::string(1, c);
				for (char c : item)
					qi += c == '\'' ? std::string("'\\''") : std::string(1, c);
				if (list)
					expected += "\tlist " + name + " '" + q + "'\n\tlist " + name + " '" + qi + "'\n";
				else
					expected += "\toption " + name + " '" + q + "'\n";
			}
		}
		struct uci_ptr pp = {};
		pp.package = "rt";
		ASSERT_EQ(uci_lookup_ptr(w, &pp, nullptr, true), UCI_OK);
		ASSERT_EQ(uci_commit(w, &pp.p, false), UCI_OK);
		uci_free_context(w);

		std::string written = read_file(dir.file("rt"));
		EXPECT_EQ(written, "\nconfig t 'base'\n" + expected + "\n");

		struct uci_context *r = uci_context_on(dir.path());
		struct uci_package *p = nullptr;
		ASSERT_EQ(uci_load(r, "rt", &p), UCI_OK) << written;
		char *buf = nullptr;
		size_t len = 0;
		FILE *f = open_memstream(&buf, &len);
		uci_export(r, f, p, false);
		fclose(f);
		EXPECT_EQ(std::string(buf, len), written);
		free(buf);
		uci_free_context(r);
	}
}

} // namespace

namespace {

// What a script's `uci set/add_list/delete` leaves behind: its changes
// staged in the save directory, not yet in the file.
int script_stages(const std::string &confdir, const std::vector<std::string> &sets)
{
	struct uci_context *o = uci_context_on(confdir);
	int r = UCI_OK;
	struct uci_package *p = nullptr;
	for (const auto &expr : sets) {
		std::string copy = expr;
		struct uci_ptr ptr;
		bool remove = copy[0] == '-';
		r = uci_lookup_ptr(o, &ptr, copy.data() + (remove ? 1 : 0), true);
		if (r == UCI_OK)
			r = remove ? uci_delete(o, &ptr) : uci_set(o, &ptr);
		if (r != UCI_OK)
			break;
		p = ptr.p;
	}
	if (r == UCI_OK && p)
		r = uci_save(o, p);
	uci_free_context(o);
	return r;
}

} // namespace

// Staged changes are in the device's format, every load sees them, and
// the daemon's own commit writes them with its change and empties the file.
TEST_F(UciStore, StagedChangesLoadAndGoInWithTheNextCommit)
{
	write_file(dir.file("pkg"), "config t 'a'\n\toption x '1'\n\tlist l 'p'\n\tlist l 'q'\n\tlist l 'r'\n");
	ASSERT_EQ(script_stages(dir.path(), {"pkg.a.x=it's", "-pkg.a.l=1", "pkg.b=u"}), UCI_OK);
	EXPECT_EQ(read_file(dir.file(".uci/pkg")), "pkg.a.x='it'\\''s'\n-pkg.a.l='1'\npkg.b='u'\n");

	struct uci_package *p = nullptr;
	ASSERT_EQ(uci_load(ctx, "pkg", &p), UCI_OK);
	EXPECT_STREQ(uci_lookup_option_string(ctx, uci_lookup_section(ctx, p, "a"), "x"), "it's");
	int staged = 0;
	struct uci_element *e;
	uci_foreach_element(&p->saved_delta, e)
		staged++;
	EXPECT_EQ(staged, 3);

	ASSERT_EQ(set("pkg.a.y=2"), UCI_OK);
	ASSERT_EQ(commit(), UCI_OK);
	EXPECT_EQ(read_file(dir.file("pkg")),
		  "\nconfig t 'a'\n\toption x 'it'\\''s'\n\tlist l 'p'\n\tlist l 'r'\n\toption y '2'\n\nconfig u 'b'\n\n");
	EXPECT_EQ(read_file(dir.file(".uci/pkg")), "");
}

// A value given to a list's deletion is the index of the one item to go;
// anything else deletes nothing.
TEST_F(UciStore, DeletingAListItemByIndexKeepsTheOthers)
{
	load("config t 'a'\n\tlist l 'p'\n\tlist l 'q'\n\tlist l 'r'\n");
	EXPECT_EQ(uci_delete_expr("pkg.a.l=x"), 1); // the device's answer, with nothing changed
	EXPECT_EQ(uci_delete_expr("pkg.a.l=7"), UCI_OK);
	EXPECT_EQ(uci_delete_expr("pkg.a.l=-1"), UCI_OK);
	EXPECT_EQ(uci_delete_expr("pkg.a.l=1"), UCI_OK);
	ASSERT_EQ(commit(), UCI_OK);
	EXPECT_EQ(read_file(dir.file("pkg")), "\nconfig t 'a'\n\tlist l 'p'\n\tlist l 'r'\n\n");
}

// A revert drops the staged changes it covers; a delta directory's changes
// load (as `uci -P` gives them) but a revert of the save directory keeps them.
TEST_F(UciStore, RevertDropsWhatItCoversAndDeltaDirectoriesLoad)
{
	write_file(dir.file("pkg"), "config t 'a'\nconfig t 'b'\n");
	ASSERT_EQ(script_stages(dir.path(), {"pkg.a.x=1", "pkg.b.x=2", "pkg.b.y=3"}), UCI_OK);
	mkdir(dir.file("state").c_str(), 0755);
	write_file(dir.file("state/pkg"), "pkg.a.up='1'\n");
	uci_add_delta_path(ctx, dir.file("state").c_str());

	std::string expr = "pkg.b.x";
	struct uci_ptr ptr;
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, expr.data(), true), UCI_OK);
	ASSERT_EQ(uci_revert(ctx, &ptr), UCI_OK);
	EXPECT_EQ(read_file(dir.file(".uci/pkg")), "pkg.a.x='1'\npkg.b.y='3'\n");
	ASSERT_NE(ptr.p, nullptr);
	struct uci_section *a = uci_lookup_section(ctx, ptr.p, "a");
	EXPECT_STREQ(uci_lookup_option_string(ctx, a, "up"), "1");
	EXPECT_EQ(uci_lookup_option(ctx, uci_lookup_section(ctx, ptr.p, "b"), "x"), nullptr);
	EXPECT_EQ(read_file(dir.file("state/pkg")), "pkg.a.up='1'\n");
}

// docs/METHODS.md against the daemon's tables and sources, and the checker
// that holds it there: a changed policy entry, reply text or argument vector
// must fail it.
#include "methods_doc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>

namespace {

using methods_doc::check;
using methods_doc::problems;

std::string joined(const problems &p)
{
	return std::accumulate(p.begin(), p.end(), std::string(),
			       [](std::string all, const std::string &line) { return all + line + "\n"; });
}

std::string committed_reference()
{
	auto text = methods_doc::file_reader(KESTRAD_SOURCE_DIR)("docs/METHODS.md");
	EXPECT_TRUE(text) << "docs/METHODS.md is missing";
	return text.value_or("");
}

problems check_committed(std::string_view doc)
{
	return check(doc, methods_doc::file_reader(KESTRAD_SOURCE_DIR), methods_doc::daemon_sources(KESTRAD_SOURCE_DIR));
}

std::string replaced(std::string text, std::string_view from, std::string_view to)
{
	size_t at = text.find(from);
	EXPECT_NE(at, std::string::npos) << from;
	if (at != std::string::npos)
		text.replace(at, from.size(), to);
	return text;
}

TEST(MethodsReference, FollowsTheDaemonsTablesAndSources)
{
	std::string doc = committed_reference();
	problems found = check_committed(doc);
	EXPECT_TRUE(found.empty()) << joined(found) << "(scripts/methods-doc regenerates the tables)";

	// Every method of every object has its table, each name once.
	for (const char *method : {"test", "access", "notice", "whc_sync", "whc_quire", "bind", "smart_sync",
				   "common_set"})
		EXPECT_NE(doc.find(std::string("<!-- generated: arguments ") + method + " -->"), std::string::npos)
			<< method;
}

TEST(MethodsReference, RegeneratingKeepsTheProse)
{
	std::string doc = committed_reference();
	// Empty every block: regenerating gives the committed document back.
	std::string emptied;
	bool inside = false;
	for (size_t start = 0; start < doc.size();) {
		size_t end = doc.find('\n', start);
		end = end == std::string::npos ? doc.size() : end + 1;
		std::string_view line(doc.data() + start, end - start);
		if (line.starts_with("<!-- end of generated -->"))
			inside = false;
		if (!inside)
			emptied += line;
		if (line.starts_with("<!-- generated: "))
			inside = true;
		start = end;
	}
	ASSERT_NE(emptied, doc);
	problems found;
	EXPECT_TRUE(methods_doc::regenerate(emptied, found) == doc) << "regenerating changed the document";
	EXPECT_TRUE(found.empty()) << joined(found);
}

TEST(MethodsReference, AStaleTableFails)
{
	std::string doc = committed_reference();
	// As if a policy entry had changed type, been renamed or been added.
	for (auto [from, to] : {std::pair{"| 0 | `\"policy\"` | `BLOBMSG_TYPE_INT32`", "| 0 | `\"policy\"` | `BLOBMSG_TYPE_STRING`"},
				std::pair{"| 2 | `\"sign\"`", "| 2 | `\"signature\"`"},
				std::pair{"| 20 | `\"led_blue\"` | `BLOBMSG_TYPE_STRING` (string) | no |\n", ""},
				std::pair{"|  |  | 6 | [common_set]", "|  |  | 7 | [common_set]"}}) {
		problems found = check_committed(replaced(doc, from, to));
		EXPECT_TRUE(std::any_of(found.begin(), found.end(),
					[](const std::string &p) { return p.find("differs from the tables") != std::string::npos; }))
			<< from << "\n" << joined(found);
	}

	// A block lost or doubled, a block for no method, a block left open.
	EXPECT_FALSE(check_committed(replaced(doc, "<!-- generated: arguments bind -->", "<!-- bind -->")).empty());
	EXPECT_FALSE(check_committed(doc + "<!-- generated: arguments bind -->\n<!-- end of generated -->\n").empty());
	EXPECT_FALSE(check_committed(doc + "<!-- generated: arguments reboot -->\n<!-- end of generated -->\n").empty());
	EXPECT_FALSE(check_committed(doc + "<!-- generated: objects -->\n").empty());
}

// The text checks on a source tree of the test's own.
struct fake_tree {
	std::map<std::string, std::string> files;

	problems run(std::string_view doc) const
	{
		std::vector<std::string> all;
		for (const auto &f : files)
			all.push_back(f.first);
		return check_texts_only(doc, all);
	}

	problems check_texts_only(std::string_view doc, const std::vector<std::string> &all) const
	{
		auto read = [this](const std::string &path) -> std::optional<std::string> {
			auto f = files.find(path);
			if (f == files.end())
				return std::nullopt;
			return f->second;
		};
		return methods_doc::check_texts(doc, read, all);
	}
};

TEST(MethodsReferenceTexts, ATextMustBeAStringOfItsSources)
{
	fake_tree tree{{{"src/methods/a.cpp", R"(
		// "commented" is no string
		/* nor "blocked" */
		#include "a.h"
		char c = '"';
		reply("worker_get() error\n");
		reply(" fail, sync work active!");
		log("  key \"%s\" parse failed ! \n");
		const char *joined = "one, " "two";
		const char *octal = "\101\x42";
	)"},
			{"src/methods/b.cpp", R"(reply("only in b");)"}}};

	EXPECT_TRUE(tree.run("`\"worker_get() error\\n\"` `\" fail, sync work active!\"`\n"
			     "`\"  key \\\"%s\\\" parse failed ! \\n\"` `\"one, two\"` `\"one, \"` `\"AB\"`\n")
			    .empty());

	// A newline dropped, a leading space dropped, a comment, an include name.
	for (std::string_view text : {"`\"worker_get() error\"`", "`\"fail, sync work active!\"`", "`\"commented\"`",
				      "`\"blocked\"`", "`\"a.h\"`", "`\"worker_get() error\\\\n\"`"}) {
		problems found = tree.run(text);
		EXPECT_EQ(found.size(), 1u) << text << "\n" << joined(found);
	}

	// A sources marker narrows the files a text may come from.
	EXPECT_TRUE(tree.run("`\"only in b\"`\n").empty());
	problems found = tree.run("<!-- sources: src/methods/a.cpp -->\n`\"only in b\"`\n");
	ASSERT_EQ(found.size(), 1u) << joined(found);
	EXPECT_NE(found[0].find("METHODS.md:2: \"only in b\" is no string of src/methods/a.cpp"), std::string::npos)
		<< found[0];

	// Fenced code and code spans that do not begin with a quote are prose.
	EXPECT_TRUE(tree.run("```\n`\"nowhere\"`\n```\n`vimb call OBJ test '{\"hello\":\"abc\"}'`\n").empty());
}

TEST(MethodsReferenceTexts, AnArgumentVectorMustBeOneOfTheSources)
{
	fake_tree tree{{{"src/methods/a.cpp", R"(
		const char *argv[] = {"/sbin/bind_owner.sh", "bind_me", device_id, sign, record, nullptr};
		const char *reload[] = {"/bin/sh", pick(model, "K7X"),
					NULL};
		const char *policy[] = {"policy", "list"};
	)"}}};

	EXPECT_TRUE(tree.run("`\"/sbin/bind_owner.sh\" \"bind_me\" DEVICE_ID SIGN RECORD`\n"
			     "`\"/bin/sh\" SCRIPT`\n")
			    .empty());
	for (std::string_view argv : {
		     "`\"/sbin/bind_owner.sh\" \"bind_me\" SIGN DEVICE_ID RECORD`", // swapped values
		     "`\"/sbin/bind_owner.sh\" \"bind_me\" DEVICE_ID SIGN`",        // one short
		     "`\"/sbin/bind_owner.sh\" DEVICE_ID SIGN RECORD`",              // a literal lost
		     "`\"/sbin/bind_owner.sh\" \"bind-me\" DEVICE_ID SIGN RECORD`",  // a literal changed
		     "`\"policy\" \"list\"`",                                        // no nullptr: no argv
	     }) {
		EXPECT_FALSE(tree.run(argv).empty()) << argv;
	}

	// Neither a literal nor an argument vector: refused, never skipped.
	for (std::string_view span : {"`\"return\": \"success\"`", "`\"bind_me\" device_id`", "`\"open`"})
		EXPECT_FALSE(tree.run(span).empty()) << span;
}

TEST(MethodsReferenceTexts, SourcesMarkersNameDaemonFiles)
{
	fake_tree tree{{{"src/methods/a.cpp", R"(reply("x");)"}, {"src/core/log.cpp", R"(log("x");)"}}};
	EXPECT_FALSE(tree.run("<!-- sources: src/core/log.cpp -->\n`\"x\"`\n").empty());
	EXPECT_FALSE(tree.run("<!-- sources: src/methods/gone.cpp -->\n`\"x\"`\n").empty());
	EXPECT_FALSE(tree.run("<!-- sources:  -->\n").empty());
}

TEST(MethodsReferenceTexts, Unescape)
{
	EXPECT_EQ(methods_doc::unescape(R"(a\n\t\\\"\'\?\0\101\x7e)"), std::string("a\n\t\\\"'?\0A~", 10));
	EXPECT_FALSE(methods_doc::unescape(R"(ends in \)"));
	EXPECT_FALSE(methods_doc::unescape(R"(\q)"));
	EXPECT_FALSE(methods_doc::unescape(R"(\x)"));
	EXPECT_FALSE(methods_doc::unescape(R"(\x100)"));
}

} // namespace

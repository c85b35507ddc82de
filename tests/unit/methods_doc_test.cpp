// docs/METHODS.md against the method facts the daemon links, and the checker
// that holds it there: a changed policy entry, need, reply text or command
// must fail it.
#include "methods_doc.h"

#include "support/spawn.h"

#include <gtest/gtest.h>

#include <algorithm>
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
	std::string text = testing_support::read_file(std::string(KESTRAD_SOURCE_DIR) + "/docs/METHODS.md");
	EXPECT_FALSE(text.empty()) << "docs/METHODS.md is missing";
	return text;
}

bool names(const problems &found, std::string_view what)
{
	return std::any_of(found.begin(), found.end(),
			   [&](const std::string &p) { return p.find(what) != std::string::npos; });
}

std::string replaced(std::string text, std::string_view from, std::string_view to)
{
	size_t at = text.find(from);
	EXPECT_NE(at, std::string::npos) << from;
	if (at != std::string::npos)
		text.replace(at, from.size(), to);
	return text;
}

TEST(MethodsReference, IsWhatTheLinkedFactsGenerate)
{
	std::string doc = committed_reference();
	problems found = check(doc);
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
	// As if a policy entry had changed type, been renamed or been added, a
	// need or a command had changed, or a slot had moved.
	for (auto [from, to] : {std::pair{"| 0 | `\"policy\"` | `BLOBMSG_TYPE_INT32`", "| 0 | `\"policy\"` | `BLOBMSG_TYPE_STRING`"},
				std::pair{"| 2 | `\"sign\"`", "| 2 | `\"signature\"`"},
				std::pair{"| 20 | `\"led_blue\"` | `BLOBMSG_TYPE_STRING` (string) | no |\n", ""},
				std::pair{"(string) | with `passwd_5g` |", "(string) | with `ssid` |"},
				std::pair{"\"bind_me\" DEVICE_ID SIGN", "\"bind_me\" SIGN DEVICE_ID"},
				std::pair{"re_common_action.sh\" ACTION` | 30 s |", "re_common_action.sh\" ACTION` | 20 s |"},
				std::pair{"|  |  | 6 | [common_set]", "|  |  | 7 | [common_set]"}}) {
		problems found = check(replaced(doc, from, to));
		EXPECT_TRUE(names(found, "differs from the tables")) << from << "\n" << joined(found);
	}

	// A block lost or doubled, a block for no method, a block left open.
	EXPECT_FALSE(check(replaced(doc, "<!-- generated: arguments bind -->", "<!-- bind -->")).empty());
	EXPECT_FALSE(check(replaced(doc, "<!-- generated: commands bind -->", "<!-- bind -->")).empty());
	EXPECT_FALSE(check(doc + "<!-- generated: arguments bind -->\n<!-- end of generated -->\n").empty());
	EXPECT_FALSE(check(doc + "<!-- generated: arguments reboot -->\n<!-- end of generated -->\n").empty());
	EXPECT_FALSE(check(doc + "<!-- generated: objects -->\n").empty());
}

TEST(MethodsReference, ReplyTablesHoldTheMethodsReplies)
{
	std::string doc = committed_reference();
	// A leading space or a newline lost, a text of another method.
	for (auto [from, to] : {std::pair{"| `\" fail, sync work active!\"` (leading space) |\n| the wireless",
					  "| `\"fail, sync work active!\"` |\n| the wireless"},
				std::pair{"| all 20 worker slots busy | `\"worker_get() error\\n\"`",
					  "| all 20 worker slots busy | `\"worker_get() error\"`"},
				std::pair{"| malformed message | `\"blobmsg_parse error\"` |\n| none of",
					  "| malformed message | `\"fail, parse error\"` |\n| none of"}}) {
		problems found = check(replaced(doc, from, to));
		EXPECT_TRUE(names(found, "is no reply of")) << from << "\n" << joined(found);
	}

	// A reply quoted nowhere in its method's section; a section for no method.
	std::string unquoted = doc;
	for (size_t at; (at = unquoted.find("`\"fail, base64 error\"`")) != std::string::npos;)
		unquoted.replace(at, 22, "a base64 error");
	EXPECT_TRUE(names(check(unquoted), "the reply \"fail, base64 error\" of notice is not in its section"));
	EXPECT_TRUE(names(check(doc + "### reboot\n"), "a section for no method"));
}


} // namespace

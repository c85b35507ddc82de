// The method reference docs/METHODS.md against the daemon: its generated
// blocks come from the object and policy tables linked into this program,
// and every quoted text written in it must be a string of the sources.
//
// Markers in the document, each on a line of its own:
//   <!-- generated: objects -->            the objects and their method tables
//   <!-- generated: arguments METHOD -->   one method's policy (once per name)
//   <!-- end of generated -->              closes either block
//   <!-- sources: PATH... -->              the files that the quoted texts
//                                          from here on must come from
// Outside generated blocks and fenced code, a code span that begins with a
// double quote holds C string literals: one literal is a text ("success",
// "worker_get() error\n"); several, with UPPER_CASE placeholders for values
// between them, are a whole argument vector. A placeholder must name the
// variable the source passes there (DEVICE_ID for device_id), unless the
// source passes a longer expression.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace methods_doc {

// One line each, beginning with the document's line number where there is one.
using problems = std::vector<std::string>;

// The block's lines as the tables give them now, or nullopt for an id that
// names no block or a policy field without its "required" entry (problems
// say why).
std::optional<std::string> generate(std::string_view id, problems &out);

// The document with the contents of every generated block replaced, the prose
// around them kept byte for byte. Reports blocks it cannot fill, methods
// without a block, malformed markers, and tables that cannot be described
// once per method name (a shared method whose entries differ, a "required"
// entry without its field).
std::string regenerate(std::string_view doc, problems &out);

// Reads a file of the sources by its path relative to the source root;
// nullopt when there is none.
using source_reader = std::function<std::optional<std::string>(const std::string &path)>;

// Everything the test asks: generated blocks as the tables give them, and
// every quoted text and argument vector present in the sources named for it
// (all of src/methods, src/access, src/bus and src/config before the first sources marker).
problems check(std::string_view doc, const source_reader &read, const std::vector<std::string> &all_sources);

// The two halves of check: the generated blocks, and the quoted texts.
problems check_blocks(std::string_view doc);
problems check_texts(std::string_view doc, const source_reader &read, const std::vector<std::string> &all_sources);

// The .cpp and .h files of src/methods, src/access, src/bus and src/config under root,
// as paths relative to it; and a reader of files under root.
std::vector<std::string> daemon_sources(const std::string &root);
source_reader file_reader(const std::string &root);

// Building blocks, exposed for their own tests.

// The value of a C string literal's body (what lies between the quotes), or
// nullopt when an escape is malformed.
std::optional<std::string> unescape(std::string_view body);

// One element of an argument vector: a literal (adjacent ones joined) with
// its value, or an expression with its name when it is a single name (in the
// document: a placeholder and its name).
struct element {
	bool literal;
	std::string value; // the literal's value, the single name, or empty
	bool operator==(const element &) const = default;
};

struct source_strings {
	std::vector<std::string> literals;           // every literal, and every run of adjacent ones joined
	std::vector<std::vector<element>> argvs;     // brace lists that begin with a literal and end in nullptr/NULL
};

// Comments, character literals and the preprocessor's include names are not strings.
source_strings scan_source(std::string_view source);

} // namespace methods_doc

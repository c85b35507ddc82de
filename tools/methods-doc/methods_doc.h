// The method reference docs/METHODS.md from the tables linked into this
// program: the objects, each method's policy and needs, its reply texts and
// its commands (src/bus/objects.h, src/bus/method.h). The prose around the
// generated blocks is the document's own.
//
// Markers in the document, each on a line of its own:
//   <!-- generated: objects -->            the objects and their method tables
//   <!-- generated: arguments METHOD -->   one method's fields (once per name)
//   <!-- generated: commands METHOD -->    the commands it starts under a worker
//   <!-- end of generated -->              closes a block
// Each method has a section "### METHOD" (the first one of that name is its
// description); the code spans of a table whose header names `"return"`
// must be reply texts of that method, and every reply text of the method
// must be quoted in its section (or in the section of the method it shares
// them with).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace methods_doc {

// One line each, beginning with the document's line number where there is one.
using problems = std::vector<std::string>;

// A block's lines as the tables give them, or nullopt for an id that names
// no block (problems say why).
std::optional<std::string> generate(std::string_view id, problems &out);

// The document with the contents of every generated block replaced, the
// prose around them kept byte for byte. Reports blocks it cannot fill,
// methods without a block, malformed markers, and a method name that two
// tables give different facts.
std::string regenerate(std::string_view doc, problems &out);

// Everything the test asks: the generated blocks as the tables give them,
// and the reply texts of the prose as the methods' facts have them.
problems check(std::string_view doc);

} // namespace methods_doc

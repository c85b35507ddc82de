// methods_doc [--write] DOC
//
// Checks the method reference DOC against the tables linked into this
// program; with --write, first rewrites its generated blocks in place.
// Exits 1 with one line per problem.
#include "methods_doc.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

bool write_whole(const std::string &path, const std::string &text)
{
	std::string temp = path + ".tmp";
	{
		std::ofstream out(temp, std::ios::binary | std::ios::trunc);
		out << text;
		out.flush();
		if (!out) {
			remove(temp.c_str());
			return false;
		}
	}
	if (rename(temp.c_str(), path.c_str()) != 0) {
		remove(temp.c_str());
		return false;
	}
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	bool write = argc > 1 && strcmp(argv[1], "--write") == 0;
	if (argc != (write ? 3 : 2)) {
		fprintf(stderr, "usage: methods_doc [--write] DOC\n");
		return 2;
	}
	std::string doc_path = argv[write ? 2 : 1];

	std::ifstream in(doc_path, std::ios::binary);
	if (!in) {
		fprintf(stderr, "methods_doc: cannot read %s\n", doc_path.c_str());
		return 1;
	}
	std::ostringstream read;
	read << in.rdbuf();
	std::string doc = read.str();

	methods_doc::problems problems;
	if (write) {
		std::string fresh = methods_doc::regenerate(doc, problems);
		if (problems.empty() && fresh != doc) {
			if (!write_whole(doc_path, fresh)) {
				fprintf(stderr, "methods_doc: cannot write %s\n", doc_path.c_str());
				return 1;
			}
			printf("%s: generated blocks rewritten\n", doc_path.c_str());
		}
		doc = fresh;
	}
	if (problems.empty())
		problems = methods_doc::check(doc);
	for (const auto &p : problems)
		fprintf(stderr, "%s\n", p.c_str());
	return problems.empty() ? 0 : 1;
}

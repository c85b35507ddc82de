// uci: the host's configuration tool over the project's libuci.
// Changes are committed at once; there is no staging directory here.
#include <uci.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

struct ctx_deleter {
	void operator()(struct uci_context *c) const { uci_free_context(c); }
};
using ctx_ptr = std::unique_ptr<struct uci_context, ctx_deleter>;

struct settings {
	const char *argv0 = "uci";
	bool quiet = false;
	bool generated_names = false; // -X
	std::string delimiter = " ";
	const char *input = nullptr; // -f: batch reads this instead of stdin
};
settings opts;

void usage()
{
	fputs("Usage: uci [<options>] <command> [<arguments>]\n\n"
	      "Commands:\n"
	      "\tbatch\n"
	      "\texport     [<config>]\n"
	      "\tchanges    [<config>]\n"
	      "\tcommit     [<config>]\n"
	      "\tadd        <config> <section-type>\n"
	      "\tadd_list   <config>.<section>.<option>=<string>\n"
	      "\tdel_list   <config>.<section>.<option>=<string>\n"
	      "\tshow       [<config>[.<section>[.<option>]]]\n"
	      "\tget        <config>.<section>[.<option>]\n"
	      "\tset        <config>.<section>[.<option>]=<value>\n"
	      "\tdelete     <config>.<section>[.<option>]\n"
	      "\trename     <config>.<section>[.<option>]=<name>\n"
	      "\trevert     <config>[.<section>[.<option>]]\n"
	      "\treorder    <config>.<section>=<position>\n\n"
	      "Options:\n"
	      "\t-c <path>  set the search path for config files (default: /etc/config)\n"
	      "\t-d <str>   set the delimiter for list values in uci show and get\n"
	      "\t-f <file>  use <file> as input instead of stdin (batch)\n"
	      "\t-n, -N     name or do not name unnamed sections on export (no names either way)\n"
	      "\t-q         quiet mode (don't print error messages)\n"
	      "\t-s, -S     strict parsing on or off (parsing is always strict here)\n"
	      "\t-X         show generated names of unnamed sections\n"
	      "\t-C, -p, -P <path>, -t <path>, -m: accepted, no effect (nothing is staged)\n",
	      stderr);
}

int fail(struct uci_context *ctx)
{
	if (!opts.quiet)
		uci_perror(ctx, opts.argv0);
	return 1;
}

int fail_with(struct uci_context *ctx, int err)
{
	ctx->err = err;
	return fail(ctx);
}

std::string quoted(std::string_view v)
{
	std::string out = "'";
	for (char c : v) {
		if (c == '\'')
			out += "'\\''";
		else
			out += c;
	}
	return out + "'";
}

// Anonymous sections show as @type[index], the index among their type,
// unless their generated name is asked for.
std::string section_label(struct uci_section *s, bool generated)
{
	if (!s->anonymous || generated)
		return s->e.name;
	int idx = 0;
	struct uci_element *e;
	uci_foreach_element(&s->package->sections, e) {
		if (uci_to_section(e) == s)
			break;
		if (strcmp(uci_to_section(e)->type, s->type) == 0)
			idx++;
	}
	return std::string("@") + s->type + "[" + std::to_string(idx) + "]";
}

std::string joined_list(struct uci_option *o, bool quote)
{
	std::string out;
	struct uci_element *e;
	bool first = true;
	uci_foreach_element(&o->v.list, e) {
		if (!first)
			out += opts.delimiter;
		out += quote ? quoted(e->name) : std::string(e->name);
		first = false;
	}
	return out;
}

void show_option(const std::string &prefix, struct uci_option *o)
{
	std::string line = prefix + "." + o->e.name + "=";
	line += o->type == UCI_TYPE_STRING ? quoted(o->v.string) : joined_list(o, true);
	puts(line.c_str());
}

void show_section(struct uci_section *s, bool generated)
{
	std::string prefix = std::string(s->package->e.name) + "." + section_label(s, generated);
	printf("%s=%s\n", prefix.c_str(), s->type);
	struct uci_element *e;
	uci_foreach_element(&s->options, e)
		show_option(prefix, uci_to_option(e));
}

std::vector<std::string> packages_in(const char *dir)
{
	std::vector<std::string> names;
	if (DIR *d = opendir(dir)) {
		while (struct dirent *e = readdir(d)) {
			if (e->d_name[0] != '.' && (e->d_type == DT_REG || e->d_type == DT_UNKNOWN))
				names.push_back(e->d_name);
		}
		closedir(d);
	}
	std::sort(names.begin(), names.end());
	return names;
}

int lookup(struct uci_context *ctx, struct uci_ptr &ptr, std::string &arg)
{
	if (uci_lookup_ptr(ctx, &ptr, arg.data(), true) != UCI_OK)
		return fail(ctx);
	return 0;
}

int commit(struct uci_context *ctx, struct uci_package *p)
{
	return uci_commit(ctx, &p, false) == UCI_OK ? 0 : fail(ctx);
}

int cmd_show(struct uci_context *ctx, std::vector<std::string> args)
{
	if (args.empty())
		args = packages_in(ctx->confdir);
	int status = 0;
	for (auto &arg : args) {
		struct uci_ptr ptr;
		if (lookup(ctx, ptr, arg) != 0) {
			status = 1;
			continue;
		}
		if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE)) {
			status = fail_with(ctx, UCI_ERR_NOTFOUND);
			continue;
		}
		// One section asked for as @type[index] shows under its real name.
		bool generated = opts.generated_names || (ptr.flags & uci_ptr::UCI_LOOKUP_EXTENDED);
		if (ptr.o) {
			show_option(std::string(ptr.p->e.name) + "." + section_label(ptr.s, generated), ptr.o);
		} else if (ptr.s) {
			show_section(ptr.s, generated);
		} else {
			struct uci_element *e;
			uci_foreach_element(&ptr.p->sections, e)
				show_section(uci_to_section(e), opts.generated_names);
		}
	}
	return status;
}

int cmd_get(struct uci_context *ctx, std::string arg)
{
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, arg) != 0)
		return 1;
	if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE) || !ptr.s)
		return fail_with(ctx, UCI_ERR_NOTFOUND);
	if (!ptr.o)
		puts(ptr.s->type);
	else if (ptr.o->type == UCI_TYPE_STRING)
		puts(ptr.o->v.string);
	else
		puts(joined_list(ptr.o, false).c_str());
	return 0;
}

int cmd_export(struct uci_context *ctx, std::vector<std::string> args)
{
	if (args.empty())
		args = packages_in(ctx->confdir);
	int status = 0;
	for (const auto &name : args) {
		struct uci_package *p = nullptr;
		struct uci_element *e;
		uci_foreach_element(&ctx->root, e) {
			if (name == e->name)
				p = uci_to_package(e);
		}
		if (!p && uci_load(ctx, name.c_str(), &p) != UCI_OK) {
			status = fail(ctx);
			continue;
		}
		uci_export(ctx, stdout, p, true);
	}
	return status;
}

int cmd_add(struct uci_context *ctx, std::string pkg, const std::string &type)
{
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, pkg) != 0)
		return 1;
	if (ptr.section)
		return fail_with(ctx, UCI_ERR_INVAL);
	if (uci_add_section(ctx, ptr.p, type.c_str(), nullptr) != UCI_OK || commit(ctx, ptr.p) != 0)
		return fail(ctx);
	// The commit appended it last, under the name the file gives it.
	puts(list_to_element(ptr.p->sections.prev)->name);
	return 0;
}

int cmd_rename(struct uci_context *ctx, std::string arg)
{
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, arg) != 0)
		return 1;
	if (!ptr.value || !ptr.section)
		return fail_with(ctx, UCI_ERR_INVAL);
	if (uci_rename(ctx, &ptr) != UCI_OK)
		return fail(ctx);
	return commit(ctx, ptr.p);
}

int cmd_reorder(struct uci_context *ctx, std::string arg)
{
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, arg) != 0)
		return 1;
	if (!ptr.value || !ptr.section || ptr.option)
		return fail_with(ctx, UCI_ERR_INVAL);
	if (!ptr.s)
		return fail_with(ctx, UCI_ERR_NOTFOUND);
	char *end;
	errno = 0;
	long pos = strtol(ptr.value, &end, 10);
	if (!*ptr.value || *end || errno || pos < 0 || pos > 1000000)
		return fail_with(ctx, UCI_ERR_INVAL);
	if (uci_reorder_section(ctx, ptr.s, static_cast<int>(pos)) != UCI_OK)
		return fail(ctx);
	return commit(ctx, ptr.p);
}

enum class change { set, add_list, del_list, remove };

int cmd_change(struct uci_context *ctx, change what, std::string arg)
{
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, arg) != 0)
		return 1;
	if (what != change::remove && !ptr.value)
		return fail_with(ctx, UCI_ERR_INVAL);
	int r = UCI_OK;
	switch (what) {
	case change::set:
		r = uci_set(ctx, &ptr);
		break;
	case change::add_list:
		r = uci_add_list(ctx, &ptr);
		break;
	case change::del_list:
		r = uci_del_list(ctx, &ptr);
		break;
	case change::remove:
		r = uci_delete(ctx, &ptr);
		break;
	}
	if (r != UCI_OK)
		return fail(ctx);
	return commit(ctx, ptr.p);
}

int run(struct uci_context *ctx, std::string_view cmd, std::vector<std::string> args, bool in_batch);

// Splits a line into words as a shell would: 'single' quotes keep every
// character, a backslash takes the next one literally outside quotes and
// before $ ` " \ inside "double" ones; quoted parts glue to their
// neighbours, and a word starting with # comments out the rest.
bool split_words(std::string_view line, std::vector<std::string> &words)
{
	words.clear();
	size_t i = 0;
	auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
	while (i < line.size()) {
		while (i < line.size() && blank(line[i]))
			i++;
		if (i == line.size() || line[i] == '#')
			break;
		std::string word;
		while (i < line.size() && !blank(line[i])) {
			char c = line[i++];
			if (c == '\'') {
				size_t close = line.find('\'', i);
				if (close == std::string_view::npos)
					return false;
				word.append(line.substr(i, close - i));
				i = close + 1;
			} else if (c == '"') {
				for (;;) {
					if (i == line.size())
						return false;
					c = line[i++];
					if (c == '"')
						break;
					if (c == '\\' && i < line.size() && strchr("$`\"\\", line[i]))
						c = line[i++];
					word += c;
				}
			} else if (c == '\\' && i < line.size()) {
				word += line[i++];
			} else {
				word += c;
			}
		}
		words.push_back(std::move(word));
	}
	return true;
}

int cmd_batch(struct uci_context *ctx)
{
	FILE *in = stdin;
	if (opts.input && !(in = fopen(opts.input, "re")))
		return fail_with(ctx, UCI_ERR_IO);
	int status = 0;
	char *line = nullptr;
	size_t cap = 0;
	ssize_t n;
	std::vector<std::string> words;
	while ((n = getline(&line, &cap, in)) >= 0) {
		if (!split_words(std::string_view(line, static_cast<size_t>(n)), words)) {
			status = fail_with(ctx, UCI_ERR_PARSE);
			continue;
		}
		if (words.empty())
			continue;
		std::string cmd = words[0];
		words.erase(words.begin());
		if (run(ctx, cmd, std::move(words), true) != 0)
			status = 1;
		fflush(stdout);
	}
	free(line);
	if (in != stdin)
		fclose(in);
	return status;
}

int run(struct uci_context *ctx, std::string_view cmd, std::vector<std::string> args, bool in_batch)
{
	static const std::map<std::string_view, change> changes = {
		{"set", change::set}, {"add_list", change::add_list},
		{"del_list", change::del_list}, {"delete", change::remove},
	};
	// Nothing is ever staged: there are no changes to list or drop.
	if (cmd == "commit" || cmd == "changes" || cmd == "revert")
		return 0;
	if (cmd == "show")
		return cmd_show(ctx, std::move(args));
	if (cmd == "export")
		return cmd_export(ctx, std::move(args));
	if (cmd == "batch" && !in_batch && args.empty())
		return cmd_batch(ctx);
	if (cmd == "add" && args.size() == 2)
		return cmd_add(ctx, args[0], args[1]);
	auto it = changes.find(cmd);
	bool known = cmd == "get" || cmd == "rename" || cmd == "reorder" || it != changes.end();
	if (!known || args.size() != 1) {
		if (in_batch)
			return fail_with(ctx, UCI_ERR_INVAL);
		usage();
		return 1;
	}
	if (cmd == "get")
		return cmd_get(ctx, args[0]);
	if (cmd == "rename")
		return cmd_rename(ctx, args[0]);
	if (cmd == "reorder")
		return cmd_reorder(ctx, args[0]);
	return cmd_change(ctx, it->second, args[0]);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc > 0 && argv[0])
		opts.argv0 = argv[0];
	ctx_ptr ctx(uci_alloc_context());
	if (!ctx) {
		fprintf(stderr, "%s: Out of memory\n", opts.argv0);
		return 1;
	}
	int opt;
	while ((opt = getopt(argc, argv, "+c:C:d:f:mnNp:P:qsSt:X")) != -1) {
		switch (opt) {
		case 'c':
			uci_set_confdir(ctx.get(), optarg);
			break;
		case 'd':
			opts.delimiter = optarg;
			break;
		case 'f':
			opts.input = optarg;
			break;
		case 'q':
			opts.quiet = true;
			break;
		case 'X':
			opts.generated_names = true;
			break;
		case 'C': case 'p': case 'P': case 't': // staging paths: nothing is staged
		case 'm': case 'n': case 'N': case 's': case 'S':
			break;
		default:
			usage();
			return 1;
		}
	}
	if (optind >= argc) {
		usage();
		return 1;
	}
	std::vector<std::string> args(argv + optind + 1, argv + argc);
	return run(ctx.get(), argv[optind], std::move(args), false);
}

// uci: the host's configuration tool over the project's libuci, as the
// device's behaves: changes stage in the save directory, `commit` writes
// them, and texts and exit statuses are the device's.
#include <uci.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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

// What a command returns when its arguments do not fit: the caller prints
// the usage (or "Unknown command" inside batch).
constexpr int bad_usage = 255;

struct settings {
	const char *argv0 = "uci";
	bool quiet = false;
	bool generated_names = false; // -X
	bool merge = false;           // -m
	bool no_commit = false;       // -P: state values never reach the files
	std::string delimiter = " ";
	FILE *input = stdin; // -f
};
settings opts;

void usage()
{
	fprintf(stderr,
		"Usage: %s [<options>] <command> [<arguments>]\n\n"
		"Commands:\n"
		"\tbatch\n"
		"\texport     [<config>]\n"
		"\timport     [<config>]\n"
		"\tchanges    [<config>]\n"
		"\tcommit     [<config>]\n"
		"\tadd        <config> <section-type>\n"
		"\tadd_list   <config>.<section>.<option>=<string>\n"
		"\tdel_list   <config>.<section>.<option>=<string>\n"
		"\tshow       [<config>[.<section>[.<option>]]]\n"
		"\tget        <config>.<section>[.<option>]\n"
		"\tset        <config>.<section>[.<option>]=<value>\n"
		"\tdelete     <config>[.<section>[[.<option>][=<id>]]]\n"
		"\trename     <config>.<section>[.<option>]=<name>\n"
		"\trevert     <config>[.<section>[.<option>]]\n"
		"\treorder    <config>.<section>=<position>\n"
		"\nOptions:\n"
		"\t-c <path>  set the search path for config files (default: /etc/config)\n"
		"\t-C <path>  set the search path for config override files (default: /var/run/uci)\n"
		"\t-d <str>   set the delimiter for list values in uci show\n"
		"\t-f <file>  use <file> as input instead of stdin\n"
		"\t-m         when importing, merge data into an existing package\n"
		"\t-n         name unnamed sections on export (default)\n"
		"\t-N         don't name unnamed sections\n"
		"\t-p <path>  add a search path for config change files\n"
		"\t-P <path>  add a search path for config change files and use as default\n"
		"\t-t <path>  set save path for config change files\n"
		"\t-q         quiet mode (don't print error messages)\n"
		"\t-s         force strict mode (stop on parser errors, default)\n"
		"\t-S         disable strict mode\n"
		"\t-X         do not use extended syntax on 'show'\n"
		"\n",
		opts.argv0);
}

void set_flag(struct uci_context *ctx, int flag, bool on)
{
	int f = on ? (ctx->flags | flag) : (ctx->flags & ~flag);
	ctx->flags = static_cast<decltype(ctx->flags)>(f);
}

// The error of the last library call, as a status: messages go to stderr
// unless -q.
int fail(struct uci_context *ctx)
{
	if (opts.quiet || ctx->err == UCI_OK)
		return 1;
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

// Anonymous sections show as @type[index], the index among their type.
std::string section_label(struct uci_section *s)
{
	if (!s->anonymous || opts.generated_names)
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

void show_option(const std::string &prefix, struct uci_option *o)
{
	std::string line = prefix + "." + o->e.name + "=";
	if (o->type == UCI_TYPE_STRING) {
		line += quoted(o->v.string);
	} else {
		struct uci_element *e;
		bool first = true;
		uci_foreach_element(&o->v.list, e) {
			if (!first)
				line += opts.delimiter;
			line += quoted(e->name);
			first = false;
		}
	}
	line += "\n";
	fwrite(line.data(), 1, line.size(), stdout);
}

void show_section(struct uci_section *s, const std::string &label)
{
	std::string prefix = std::string(s->package->e.name) + "." + label;
	printf("%s=%s\n", prefix.c_str(), s->type);
	struct uci_element *e;
	uci_foreach_element(&s->options, e)
		show_option(prefix, uci_to_option(e));
}

void show_package(struct uci_package *p)
{
	struct uci_element *e;
	uci_foreach_element(&p->sections, e) {
		struct uci_section *s = uci_to_section(e);
		show_section(s, section_label(s));
	}
}

// The packages of the configuration directory, in name order; false when
// it cannot be read.
bool list_packages(struct uci_context *ctx, std::vector<std::string> &names)
{
	DIR *d = opendir(ctx->confdir);
	if (!d)
		return false;
	while (struct dirent *e = readdir(d)) {
		if (e->d_name[0] != '.' && (e->d_type == DT_REG || e->d_type == DT_UNKNOWN))
			names.push_back(e->d_name);
	}
	closedir(d);
	std::sort(names.begin(), names.end());
	return true;
}

struct uci_package *find_loaded(struct uci_context *ctx, const char *name)
{
	struct uci_element *e;
	uci_foreach_element(&ctx->root, e) {
		if (strcmp(e->name, name) == 0)
			return uci_to_package(e);
	}
	return nullptr;
}

// A package loaded into the context (once), or nullptr with ctx->err set.
struct uci_package *package(struct uci_context *ctx, const char *name)
{
	if (struct uci_package *p = find_loaded(ctx, name))
		return p;
	struct uci_package *p = nullptr;
	if (uci_load(ctx, name, &p) != UCI_OK)
		return nullptr;
	return p;
}

int lookup(struct uci_context *ctx, struct uci_ptr &ptr, std::string &arg)
{
	memset(&ptr, 0, sizeof ptr);
	return uci_lookup_ptr(ctx, &ptr, arg.data(), true);
}

// show [<config>[.<section>[.<option>]]]
int cmd_show(struct uci_context *ctx, std::vector<std::string> &args)
{
	if (args.size() > 1)
		return bad_usage;
	if (args.empty()) {
		std::vector<std::string> names;
		if (!list_packages(ctx, names))
			return fail_with(ctx, UCI_ERR_NOTFOUND);
		// A package that does not load is reported; the others still show.
		for (const auto &n : names) {
			if (struct uci_package *p = package(ctx, n.c_str()))
				show_package(p);
			else
				fail(ctx);
		}
		return 0;
	}
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, args[0]) != UCI_OK)
		return fail(ctx);
	if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE))
		return fail_with(ctx, UCI_ERR_NOTFOUND);
	// One section or option shows under the section's own name.
	if (ptr.o)
		show_option(std::string(ptr.p->e.name) + "." + ptr.s->e.name, ptr.o);
	else if (ptr.s)
		show_section(ptr.s, ptr.s->e.name);
	else
		show_package(ptr.p);
	return 0;
}

// get <config>.<section>[.<option>]
int cmd_get(struct uci_context *ctx, std::vector<std::string> &args)
{
	if (args.size() != 1)
		return bad_usage;
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, args[0]) != UCI_OK)
		return fail(ctx);
	if (ptr.value)
		return 1; // a get with a value asks nothing: quietly refused
	if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE))
		return fail_with(ctx, UCI_ERR_NOTFOUND);
	std::string out;
	if (ptr.o && ptr.o->type == UCI_TYPE_STRING) {
		out = ptr.o->v.string;
	} else if (ptr.o) {
		// List items with a blank (space, tab, CR, LF) are quoted so that
		// the words can be told apart.
		struct uci_element *e;
		bool first = true;
		uci_foreach_element(&ptr.o->v.list, e) {
			if (!first)
				out += opts.delimiter;
			out += strpbrk(e->name, " \t\r\n") ? quoted(e->name) : std::string(e->name);
			first = false;
		}
	} else if (ptr.s) {
		out = ptr.s->type;
	} else {
		return 0; // a package alone has nothing to print
	}
	out += "\n";
	fwrite(out.data(), 1, out.size(), stdout);
	return 0;
}

enum class change { set, add_list, del_list, remove, rename, reorder };

// set, add_list, del_list, delete, rename, reorder: staged with uci_save.
int cmd_change(struct uci_context *ctx, change what, std::vector<std::string> &args)
{
	if (args.size() != 1)
		return bad_usage;
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, args[0]) != UCI_OK)
		return fail(ctx);
	int r = UCI_OK;
	switch (what) {
	case change::set:
		if (!ptr.value)
			return fail_with(ctx, UCI_ERR_INVAL);
		r = uci_set(ctx, &ptr);
		break;
	case change::add_list:
		if (!ptr.value)
			return fail_with(ctx, UCI_ERR_INVAL);
		r = uci_add_list(ctx, &ptr);
		break;
	case change::del_list:
		if (!ptr.value)
			return fail_with(ctx, UCI_ERR_INVAL);
		// Nothing to take an item from: nothing to do, as on the device.
		if (ptr.s && (!ptr.o || ptr.o->type != UCI_TYPE_LIST))
			return 0;
		r = uci_del_list(ctx, &ptr);
		break;
	case change::remove:
		if (!ptr.section)
			return fail_with(ctx, UCI_ERR_INVAL);
		if (!ptr.s || (ptr.option && !ptr.o))
			return fail_with(ctx, UCI_ERR_NOTFOUND);
		r = uci_delete(ctx, &ptr);
		break;
	case change::rename:
		if (!ptr.value || !ptr.section)
			return fail_with(ctx, UCI_ERR_INVAL);
		if (!ptr.s || (ptr.option && !ptr.o))
			return fail_with(ctx, UCI_ERR_NOTFOUND);
		r = uci_rename(ctx, &ptr);
		break;
	case change::reorder: {
		if (!ptr.s || !ptr.value)
			return fail_with(ctx, UCI_ERR_NOTFOUND);
		char *end;
		errno = 0;
		long pos = strtol(ptr.value, &end, 10);
		if (!*ptr.value || *end || errno || pos < 0)
			return fail_with(ctx, UCI_ERR_NOTFOUND);
		r = uci_reorder_section(ctx, ptr.s, static_cast<int>(std::min(pos, 1000000L)));
		break;
	}
	}
	if (r != UCI_OK)
		return fail(ctx);
	return uci_save(ctx, ptr.p) == UCI_OK ? 0 : fail(ctx);
}

// add <config> <section-type>: prints the new section's name. A missing
// package returns the library's error code as the status, as the device's.
int cmd_add(struct uci_context *ctx, std::vector<std::string> &args)
{
	if (args.size() != 2)
		return bad_usage;
	struct uci_package *p = package(ctx, args[0].c_str());
	if (!p) {
		int err = ctx->err;
		fail(ctx);
		return err;
	}
	struct uci_section *s = nullptr;
	if (uci_add_section(ctx, p, args[1].c_str(), &s) != UCI_OK || uci_save(ctx, p) != UCI_OK)
		return fail(ctx);
	printf("%s\n", s->e.name);
	return 0;
}

std::string delta_value(const struct uci_delta *d)
{
	return d->value ? quoted(d->value) : std::string("''");
}

void print_changes(struct uci_package *p)
{
	struct uci_element *e;
	uci_foreach_element(&p->saved_delta, e) {
		const struct uci_delta *d = uci_to_delta(e);
		std::string line = d->cmd == UCI_CMD_REMOVE ? "-" : "";
		line += std::string(p->e.name) + "." + d->section;
		if (e->name)
			line += std::string(".") + e->name;
		switch (d->cmd) {
		case UCI_CMD_REMOVE:
			break;
		case UCI_CMD_LIST_ADD:
			line += "+=" + delta_value(d);
			break;
		case UCI_CMD_LIST_DEL:
			line += "-=" + delta_value(d);
			break;
		default:
			line += "=" + delta_value(d);
			break;
		}
		line += "\n";
		fwrite(line.data(), 1, line.size(), stdout);
	}
}

// changes [<config>]: a package that does not load is reported, and the
// status stays 0 when all were asked for.
int cmd_changes(struct uci_context *ctx, std::vector<std::string> &args)
{
	if (args.size() > 1)
		return bad_usage;
	std::vector<std::string> names = args;
	if (names.empty() && !list_packages(ctx, names))
		return fail_with(ctx, UCI_ERR_NOTFOUND);
	bool all = args.empty();
	int status = 0;
	for (const auto &n : names) {
		// A fresh load lists what this context has saved too.
		if (struct uci_package *loaded = find_loaded(ctx, n.c_str()))
			uci_unload(ctx, loaded);
		struct uci_package *p = package(ctx, n.c_str());
		if (!p) {
			status = fail(ctx) && !all;
			continue;
		}
		print_changes(p);
	}
	return status;
}

// commit [<config>]
int cmd_commit(struct uci_context *ctx, std::vector<std::string> &args)
{
	if (args.size() > 1)
		return bad_usage;
	std::vector<std::string> names = args;
	if (names.empty() && !list_packages(ctx, names))
		return fail_with(ctx, UCI_ERR_NOTFOUND);
	// As with changes, a package that does not load fails only a commit
	// that named it.
	int status = 0;
	for (const auto &n : names) {
		// Under -P the package is loaded, and its errors count, but
		// nothing is written.
		struct uci_package *p = package(ctx, n.c_str());
		if (!p || (!opts.no_commit && uci_commit(ctx, &p, false) != UCI_OK))
			status = fail(ctx) && args.size() == 1;
	}
	return status;
}

// revert <config>[.<section>[.<option>]]
int cmd_revert(struct uci_context *ctx, std::vector<std::string> &args)
{
	if (args.size() != 1)
		return bad_usage;
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, args[0]) != UCI_OK || uci_revert(ctx, &ptr) != UCI_OK)
		return fail(ctx);
	return 0;
}

// export [<config>]
int cmd_export(struct uci_context *ctx, std::vector<std::string> &args)
{
	if (args.size() > 1)
		return bad_usage;
	std::vector<std::string> names = args;
	if (names.empty() && !list_packages(ctx, names))
		return fail_with(ctx, UCI_ERR_NOTFOUND);
	int status = 0;
	for (const auto &n : names) {
		struct uci_package *p = package(ctx, n.c_str());
		if (!p) {
			status = fail(ctx) && args.size() == 1;
			continue;
		}
		uci_export(ctx, stdout, p, true);
	}
	return status;
}

// Copies every section and value of `from` into `to`, as a second file
// with the same package would: named sections merge, anonymous ones append.
int merge_into(struct uci_context *ctx, struct uci_package *to, struct uci_package *from)
{
	struct uci_element *se;
	uci_foreach_element(&from->sections, se) {
		struct uci_section *s = uci_to_section(se);
		std::string name;
		if (s->anonymous) {
			struct uci_section *added = nullptr;
			if (uci_add_section(ctx, to, s->type, &added) != UCI_OK)
				return ctx->err;
			name = added->e.name;
		} else {
			name = s->e.name;
			struct uci_ptr ptr = {};
			ptr.p = to;
			ptr.package = to->e.name;
			ptr.section = name.c_str();
			ptr.value = s->type;
			if (uci_set(ctx, &ptr) != UCI_OK)
				return ctx->err;
		}
		struct uci_element *oe;
		uci_foreach_element(&s->options, oe) {
			struct uci_option *o = uci_to_option(oe);
			struct uci_ptr ptr = {};
			ptr.p = to;
			ptr.package = to->e.name;
			ptr.section = name.c_str();
			ptr.option = o->e.name;
			if (o->type == UCI_TYPE_STRING) {
				ptr.value = o->v.string;
				if (uci_set(ctx, &ptr) != UCI_OK)
					return ctx->err;
				continue;
			}
			struct uci_element *ie;
			uci_foreach_element(&o->v.list, ie) {
				struct uci_ptr item = ptr;
				item.value = ie->name;
				if (uci_add_list(ctx, &item) != UCI_OK)
					return ctx->err;
			}
		}
	}
	return UCI_OK;
}

// import [<config>]: the input replaces the package, written at once; with
// -m it merges into the package as staged changes.
int cmd_import(struct uci_context *ctx, std::vector<std::string> &args)
{
	if (args.size() > 1)
		return bad_usage;
	const char *name = args.empty() ? nullptr : args[0].c_str();
	if (name && opts.merge) {
		ctx_ptr scratch(uci_alloc_context());
		if (!scratch)
			return fail_with(ctx, UCI_ERR_MEM);
		scratch->flags = ctx->flags;
		uci_set_confdir(scratch.get(), ctx->confdir);
		uci_set_savedir(scratch.get(), ctx->savedir);
		struct uci_package *in = nullptr;
		if (uci_import(scratch.get(), opts.input, name, &in, true) != UCI_OK) {
			if (!opts.quiet)
				uci_perror(scratch.get(), opts.argv0);
			return 1;
		}
		struct uci_package *p = package(ctx, name);
		if (!p) {
			// Nothing to merge with: the input becomes the package.
			return uci_commit(scratch.get(), &in, true) == UCI_OK ? 0 : fail(scratch.get());
		}
		// Merged changes stage like any other.
		if (merge_into(ctx, p, in) != UCI_OK || uci_save(ctx, p) != UCI_OK)
			return fail(ctx);
		return 0;
	}
	// Only what the input made is written, not the packages loaded before.
	std::vector<struct uci_element *> before;
	struct uci_element *e;
	uci_foreach_element(&ctx->root, e)
		before.push_back(e);
	struct uci_package *p = nullptr;
	if (uci_import(ctx, opts.input, name, &p, name != nullptr) != UCI_OK)
		return fail(ctx);
	struct uci_element *tmp;
	uci_foreach_element_safe(&ctx->root, tmp, e) {
		if (std::find(before.begin(), before.end(), e) != before.end())
			continue;
		struct uci_package *each = uci_to_package(e);
		if (uci_commit(ctx, &each, true) != UCI_OK)
			return fail(ctx);
	}
	return 0;
}

int run(struct uci_context *ctx, const std::string &cmd, std::vector<std::string> &args, bool in_batch);

// One batch line split into words as the device's tool does: blanks
// separate, 'single' quotes keep every byte, "double" quotes and bare words
// take a backslash's next byte literally, # outside quotes comments out the
// rest of the line. An unterminated quote reads on into the next lines.
// Returns false (and sets ctx's parse error) when the input ends inside a
// quote.
struct batch_reader {
	FILE *in;
	int line = 0;
	long byte = 0; // bytes read so far
	int c = EOF;
	int prev = EOF;

	int next()
	{
		prev = c;
		c = getc(in);
		if (c != EOF)
			byte++;
		if (c == '\n')
			line++;
		return c;
	}
};

bool read_batch_line(struct uci_context *ctx, batch_reader &r, std::vector<std::string> &words, bool &eof)
{
	words.clear();
	eof = false;
	// Positions in errors count from the start of this command.
	r.line = 0;
	r.byte = 0;
	r.next();
	if (r.c == EOF) {
		eof = true;
		return true;
	}
	for (;;) {
		while (r.c == ' ' || r.c == '\t' || r.c == '\r')
			r.next();
		if (r.c == '\n' || r.c == EOF)
			return true;
		if (r.c == '#') {
			while (r.c != '\n' && r.c != EOF)
				r.next();
			return true;
		}
		std::string word;
		while (r.c != EOF && r.c != ' ' && r.c != '\t' && r.c != '\r' && r.c != '\n') {
			if (r.c == '\'' || r.c == '"') {
				int q = r.c;
				for (;;) {
					r.next();
					if (r.c == EOF) {
						ctx->err = UCI_ERR_PARSE;
						ctx->err_reason = q == '\'' ? "EOF with unterminated '" : "EOF with unterminated \"";
						ctx->err_line = r.line + (r.prev == '\n' ? 0 : 1);
						ctx->err_byte = static_cast<int>(r.byte);
						return false;
					}
					if (r.c == q)
						break;
					if (q == '"' && r.c == '\\') {
						r.next();
						if (r.c == EOF)
							continue;
					}
					word += static_cast<char>(r.c);
				}
				r.next();
			} else if (r.c == '\\') {
				r.next();
				if (r.c == EOF)
					break;
				if (r.c != '\n')
					word += static_cast<char>(r.c);
				r.next();
			} else if (r.c == '#') {
				// A comment starts anywhere outside quotes, mid-word too.
				while (r.c != '\n' && r.c != EOF)
					r.next();
			} else {
				word += static_cast<char>(r.c);
				r.next();
			}
		}
		words.push_back(std::move(word));
		if (r.c == '\n' || r.c == EOF)
			return true;
	}
}

// batch: one command per line until `exit` or the end of the input. A
// failed line is reported and the batch goes on; the status stays 0.
int cmd_batch(struct uci_context *ctx, std::vector<std::string> &args)
{
	if (!args.empty())
		return bad_usage;
	batch_reader r{opts.input};
	std::vector<std::string> words;
	for (;;) {
		bool eof = false;
		if (!read_batch_line(ctx, r, words, eof)) {
			fail(ctx);
			break;
		}
		if (eof)
			break;
		if (words.empty())
			continue;
		std::string cmd = words[0];
		if (cmd == "exit")
			break;
		words.erase(words.begin());
		if (run(ctx, cmd, words, true) == bad_usage && !opts.quiet)
			fputs("Unknown command\n", stderr);
		fflush(stdout);
		// Every command reads its packages afresh, as the device's does
		// (its parse warnings under -S come once per command); what a
		// command changed is saved by then.
		while (!uci_list_empty(&ctx->root))
			uci_unload(ctx, uci_to_package(ctx->root.next));
	}
	return 0;
}

int run(struct uci_context *ctx, const std::string &cmd, std::vector<std::string> &args, bool in_batch)
{
	if (cmd == "batch")
		return in_batch ? bad_usage : cmd_batch(ctx, args);
	if (cmd == "import")
		return cmd_import(ctx, args);
	if (cmd == "show")
		return cmd_show(ctx, args);
	if (cmd == "get")
		return cmd_get(ctx, args);
	if (cmd == "export")
		return cmd_export(ctx, args);
	if (cmd == "changes")
		return cmd_changes(ctx, args);
	if (cmd == "commit")
		return cmd_commit(ctx, args);
	if (cmd == "revert")
		return cmd_revert(ctx, args);
	if (cmd == "add")
		return cmd_add(ctx, args);
	if (cmd == "set")
		return cmd_change(ctx, change::set, args);
	if (cmd == "add_list")
		return cmd_change(ctx, change::add_list, args);
	if (cmd == "del_list")
		return cmd_change(ctx, change::del_list, args);
	if (cmd == "delete")
		return cmd_change(ctx, change::remove, args);
	if (cmd == "rename")
		return cmd_change(ctx, change::rename, args);
	if (cmd == "reorder")
		return cmd_change(ctx, change::reorder, args);
	return bad_usage;
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
	while ((opt = getopt(argc, argv, "c:C:d:f:mnNp:P:qsSt:X")) != -1) {
		switch (opt) {
		case 'c':
			uci_set_confdir(ctx.get(), optarg);
			break;
		case 'C':
			uci_set_conf2dir(ctx.get(), optarg);
			break;
		case 'd':
			opts.delimiter = optarg;
			break;
		case 'f':
			if (opts.input != stdin)
				fclose(opts.input);
			opts.input = fopen(optarg, "r");
			if (!opts.input) {
				// The device's text, without a newline.
				fprintf(stderr, "%s: %s", opts.argv0, strerror(errno));
				return 1;
			}
			break;
		case 'm':
			opts.merge = true;
			break;
		case 'n':
			set_flag(ctx.get(), UCI_FLAG_EXPORT_NAME, true);
			break;
		case 'N':
			set_flag(ctx.get(), UCI_FLAG_EXPORT_NAME, false);
			break;
		case 'p':
			uci_add_delta_path(ctx.get(), optarg);
			break;
		case 'P': {
			// The old save directory is merged from; the library takes
			// no delta directory that is the save directory.
			opts.no_commit = true;
			std::string old = ctx->savedir;
			uci_set_savedir(ctx.get(), optarg);
			uci_add_delta_path(ctx.get(), old.c_str());
			break;
		}
		case 'q':
			opts.quiet = true;
			set_flag(ctx.get(), UCI_FLAG_PERROR, false);
			break;
		case 's':
			set_flag(ctx.get(), UCI_FLAG_STRICT, true);
			break;
		case 'S':
			set_flag(ctx.get(), UCI_FLAG_STRICT, false);
			set_flag(ctx.get(), UCI_FLAG_PERROR, true);
			break;
		case 't':
			uci_set_savedir(ctx.get(), optarg);
			break;
		case 'X':
			opts.generated_names = true;
			break;
		default:
			// getopt has said what is wrong; the device's tool exits 0 here.
			usage();
			return 0;
		}
	}
	if (optind >= argc) {
		usage();
		return 0;
	}
	std::string cmd = argv[optind];
	std::vector<std::string> args(argv + optind + 1, argv + argc);
	int status = run(ctx.get(), cmd, args, false);
	if (status == bad_usage) {
		usage();
		// `help` asks for the usage: it is no failure.
		return cmd == "help" ? 0 : bad_usage;
	}
	return status;
}

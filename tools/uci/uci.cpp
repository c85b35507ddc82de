// uci: the host's configuration tool over the project's libuci.
// Changes are committed at once; there is no staging directory here.
#include <uci.h>

#include <algorithm>
#include <cstdio>
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

void usage()
{
	fputs("Usage: uci [-c confdir] <command> [<arguments>]\n\n"
	      "Commands:\n"
	      "\tget     <config>.<section>[.<option>]\n"
	      "\tset     <config>.<section>[.<option>]=<value>\n"
	      "\tadd_list <config>.<section>.<option>=<value>\n"
	      "\tdel_list <config>.<section>.<option>=<value>\n"
	      "\tdelete  <config>.<section>[.<option>]\n"
	      "\tshow    [<config>[.<section>[.<option>]]]\n"
	      "\texport  [<config>]\n"
	      "\tcommit  [<config>]\n",
	      stderr);
}

int fail(struct uci_context *ctx)
{
	uci_perror(ctx, "uci");
	return 1;
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
	if (!s->anonymous)
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
				line += ' ';
			line += quoted(e->name);
			first = false;
		}
	}
	puts(line.c_str());
}

void show_section(struct uci_section *s)
{
	std::string prefix = std::string(s->package->e.name) + "." + section_label(s);
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
			ctx->err = UCI_ERR_NOTFOUND;
			status = fail(ctx);
			continue;
		}
		if (ptr.o) {
			show_option(std::string(ptr.p->e.name) + "." + section_label(ptr.s), ptr.o);
		} else if (ptr.s) {
			show_section(ptr.s);
		} else {
			struct uci_element *e;
			uci_foreach_element(&ptr.p->sections, e)
				show_section(uci_to_section(e));
		}
	}
	return status;
}

int cmd_get(struct uci_context *ctx, std::string arg)
{
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, arg) != 0)
		return 1;
	if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE) || !ptr.s) {
		ctx->err = UCI_ERR_NOTFOUND;
		return fail(ctx);
	}
	if (!ptr.o) {
		puts(ptr.s->type);
		return 0;
	}
	if (ptr.o->type == UCI_TYPE_STRING) {
		puts(ptr.o->v.string);
		return 0;
	}
	std::string line;
	struct uci_element *e;
	uci_foreach_element(&ptr.o->v.list, e) {
		if (!line.empty())
			line += ' ';
		line += e->name;
	}
	puts(line.c_str());
	return 0;
}

int cmd_export(struct uci_context *ctx, std::vector<std::string> args)
{
	if (args.empty())
		args = packages_in(ctx->confdir);
	int status = 0;
	for (const auto &name : args) {
		struct uci_package *p = nullptr;
		if (uci_load(ctx, name.c_str(), &p) != UCI_OK) {
			status = fail(ctx);
			continue;
		}
		uci_export(ctx, stdout, p, true);
	}
	return status;
}

enum class change { set, add_list, del_list, remove };

int cmd_change(struct uci_context *ctx, change what, std::string arg)
{
	struct uci_ptr ptr;
	if (lookup(ctx, ptr, arg) != 0)
		return 1;
	if (what != change::remove && !ptr.value) {
		ctx->err = UCI_ERR_INVAL;
		return fail(ctx);
	}
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
	if (r != UCI_OK || uci_commit(ctx, &ptr.p, false) != UCI_OK)
		return fail(ctx);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	ctx_ptr ctx(uci_alloc_context());
	if (!ctx) {
		fputs("uci: Out of memory\n", stderr);
		return 1;
	}
	int opt;
	while ((opt = getopt(argc, argv, "+c:")) != -1) {
		if (opt != 'c') {
			usage();
			return 1;
		}
		uci_set_confdir(ctx.get(), optarg);
	}
	if (optind >= argc) {
		usage();
		return 1;
	}
	std::string_view cmd = argv[optind];
	std::vector<std::string> args(argv + optind + 1, argv + argc);

	static const std::map<std::string_view, change> changes = {
		{"set", change::set}, {"add_list", change::add_list},
		{"del_list", change::del_list}, {"delete", change::remove},
	};
	if (cmd == "show")
		return cmd_show(ctx.get(), args);
	if (cmd == "export")
		return cmd_export(ctx.get(), args);
	if (cmd == "commit")
		return 0;
	if (args.size() != 1) {
		usage();
		return 1;
	}
	if (cmd == "get")
		return cmd_get(ctx.get(), args[0]);
	if (auto it = changes.find(cmd); it != changes.end())
		return cmd_change(ctx.get(), it->second, args[0]);
	usage();
	return 1;
}

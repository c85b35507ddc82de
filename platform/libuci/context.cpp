// Contexts, loading and unloading, lookups, and error reporting.
#include "internal.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *error_texts[] = {
	"Success", "Out of memory", "Invalid argument", "Entry not found",
	"I/O error", "Parse error", "Duplicate entry", "Unknown error",
};
static_assert(sizeof(error_texts) / sizeof(error_texts[0]) == UCI_ERR_LAST);

void error_text(struct uci_context *ctx, const char *prefix, uci_impl::text &out)
{
	int err = ctx->err < 0 || ctx->err >= UCI_ERR_LAST ? UCI_ERR_UNKNOWN : ctx->err;
	if (prefix) {
		out.append(prefix);
		out.append(": ");
	}
	out.append(error_texts[err]);
	// As on the device, where a file failed to parse is told until the
	// next load, whatever the error.
	if (ctx->err_reason) {
		char where[96];
		snprintf(where, sizeof(where), ") at line %d, byte %d", ctx->err_line, ctx->err_byte);
		out.append(" (");
		out.append(ctx->err_reason);
		out.append(where);
	}
}

} // namespace

namespace uci_impl {
int set_error(struct uci_context *ctx, int err, const char *func)
{
	ctx->err = err;
	ctx->func = func;
	return err;
}

const char *package_dir(struct uci_context *ctx, const char *name)
{
	if (!ctx->conf2dir)
		return ctx->confdir;
	text path;
	path.append(ctx->conf2dir);
	path.push_back('/');
	path.append(name);
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? ctx->conf2dir : ctx->confdir;
}

int read_path(const char *path, text &out)
{
	out.clear();
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return errno == ENOENT ? UCI_ERR_NOTFOUND : UCI_ERR_IO;
	int r = read_fd(fd, out);
	close(fd);
	return r;
}
} // namespace uci_impl

using namespace uci_impl;

namespace {

uci_package *find_loaded(struct uci_context *ctx, const char *name)
{
	struct uci_element *e;
	uci_foreach_element(&ctx->root, e) {
		if (strcmp(e->name, name) == 0)
			return uci_to_package(e);
	}
	return nullptr;
}

// A package read from `data` into the context, with what is staged for it.
int add_package(struct uci_context *ctx, const char *name, std::string_view data, const char *path,
		struct uci_package **package)
{
	uci_package *p = package_new(ctx, name);
	int r = parse_package(ctx, p, data);
	if (r != UCI_OK) {
		package_free(p);
		return r;
	}
	if (path) {
		p->path = strdup(path);
		r = load_staged(ctx, p, ctx->flags & UCI_FLAG_SAVED_DELTA);
		if (r != UCI_OK) {
			package_free(p);
			return r;
		}
	}
	package_take_shape(p);
	list_append(&ctx->root, &p->e.list);
	if (package)
		*package = p;
	return UCI_OK;
}

} // namespace

extern "C" {

struct uci_context *uci_alloc_context(void)
{
	auto *ctx = static_cast<struct uci_context *>(calloc(1, sizeof(struct uci_context)));
	if (!ctx)
		return nullptr;
	list_init(&ctx->root);
	list_init(&ctx->delta_path);
	ctx->flags = static_cast<enum uci_flags>(UCI_FLAG_STRICT | UCI_FLAG_SAVED_DELTA);
	ctx->confdir = strdup(UCI_CONFDIR);
	ctx->savedir = strdup(UCI_SAVEDIR);
	ctx->conf2dir = strdup(UCI_CONF2DIR);
	if (!ctx->confdir || !ctx->savedir || !ctx->conf2dir) {
		uci_free_context(ctx);
		return nullptr;
	}
	return ctx;
}

void uci_free_context(struct uci_context *ctx)
{
	if (!ctx)
		return;
	while (ctx->root.next != &ctx->root)
		package_free(uci_to_package(list_to_element(ctx->root.next)));
	while (ctx->delta_path.next != &ctx->delta_path) {
		struct uci_element *e = list_to_element(ctx->delta_path.next);
		list_unlink(&e->list);
		free(e);
	}
	free(ctx->confdir);
	free(ctx->savedir);
	free(ctx->conf2dir);
	free(ctx);
}

static int replace_dir(struct uci_context *ctx, char **field, const char *dir, const char *func)
{
	if (!dir || !*dir)
		return set_error(ctx, UCI_ERR_INVAL, func);
	char *copy = strdup(dir);
	if (!copy)
		return set_error(ctx, UCI_ERR_MEM, func);
	free(*field);
	*field = copy;
	return set_error(ctx, UCI_OK, func);
}

int uci_set_confdir(struct uci_context *ctx, const char *dir)
{
	return replace_dir(ctx, &ctx->confdir, dir, __func__);
}

int uci_set_savedir(struct uci_context *ctx, const char *dir)
{
	return replace_dir(ctx, &ctx->savedir, dir, __func__);
}

int uci_set_conf2dir(struct uci_context *ctx, const char *dir)
{
	if (!dir) {
		free(ctx->conf2dir);
		ctx->conf2dir = nullptr;
		return set_error(ctx, UCI_OK, __func__);
	}
	return replace_dir(ctx, &ctx->conf2dir, dir, __func__);
}

int uci_add_delta_path(struct uci_context *ctx, const char *dir)
{
	if (!dir || !*dir)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	// As the device's, by the name; a load also leaves out a file that
	// another spelling names twice.
	if (strcmp(dir, ctx->savedir) == 0)
		return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
	struct uci_element *e;
	uci_foreach_element(&ctx->delta_path, e) {
		if (strcmp(e->name, dir) == 0)
			return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
	}
	size_t n = strlen(dir);
	e = static_cast<struct uci_element *>(calloc(1, sizeof(*e) + n + 1));
	if (!e)
		return set_error(ctx, UCI_ERR_MEM, __func__);
	e->type = UCI_TYPE_PATH;
	e->name = reinterpret_cast<char *>(e + 1);
	memcpy(e->name, dir, n + 1);
	list_append(&ctx->delta_path, &e->list);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_load(struct uci_context *ctx, const char *name, struct uci_package **package)
{
	if (package)
		*package = nullptr;
	if (!name || !valid_package_name(name))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	if (find_loaded(ctx, name))
		return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
	ctx->err_reason = nullptr;

	text path;
	path.append(package_dir(ctx, name));
	path.push_back('/');
	path.append(name);
	text data;
	int r = read_path(path.c_str(), data);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	return set_error(ctx, add_package(ctx, name, data.view(), path.c_str(), package), __func__);
}

int uci_import(struct uci_context *ctx, FILE *stream, const char *name, struct uci_package **package,
	       bool single)
{
	if (package)
		*package = nullptr;
	if (!stream || (name && !valid_package_name(name)) || (!name && single))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	ctx->err_reason = nullptr;
	text data;
	char buf[16384];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), stream)) > 0)
		data.append(buf, n);
	if (ferror(stream))
		return set_error(ctx, UCI_ERR_IO, __func__);
	if (single) {
		if (uci_package *old = find_loaded(ctx, name))
			package_free(old);
		return set_error(ctx, add_package(ctx, name, data.view(), nullptr, package), __func__);
	}
	// Each `package` line starts a package; what comes before one belongs
	// to `name`.
	struct uci_list made;
	list_init(&made);
	uci_package *first = nullptr;
	if (name) {
		first = package_new(ctx, name);
		list_append(&made, &first->e.list);
	}
	int r = parse_package(ctx, first, data.view(), &made);
	if (r != UCI_OK) {
		while (!uci_list_empty(&made))
			package_free(uci_to_package(list_to_element(made.next)));
		return set_error(ctx, r, __func__);
	}
	while (!uci_list_empty(&made)) {
		uci_package *p = uci_to_package(list_to_element(made.next));
		list_unlink(&p->e.list);
		if (uci_package *old = find_loaded(ctx, p->e.name))
			package_free(old);
		package_take_shape(p);
		list_append(&ctx->root, &p->e.list);
		if (package && !*package)
			*package = p;
	}
	return set_error(ctx, UCI_OK, __func__);
}

int uci_unload(struct uci_context *ctx, struct uci_package *p)
{
	if (!p)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	package_free(p);
	return set_error(ctx, UCI_OK, __func__);
}

// Drops the staged changes the pointer covers, then reads the package again.
int uci_revert(struct uci_context *ctx, struct uci_ptr *ptr)
{
	if (!ptr || !ptr->package)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	const char *section = ptr->section;
	const char *option = ptr->option;
	if (ptr->s)
		section = ptr->s->e.name;
	text name;
	name.append(ptr->package);
	text keep_section, keep_option;
	if (section)
		keep_section.append(section);
	if (option)
		keep_option.append(option);
	// The context's unsaved changes are staged first, then reverted with
	// the rest that the pointer covers.
	if (uci_package *p = find_loaded(ctx, name.c_str())) {
		int r = save_staged(ctx, p);
		if (r != UCI_OK)
			return set_error(ctx, r, __func__);
	}

	// A save directory that is the config directory stages nothing: the
	// package's own file is never emptied here.
	text own;
	own.append(package_dir(ctx, name.c_str()));
	own.push_back('/');
	own.append(name.view());
	text data;
	struct uci_list changes;
	list_init(&changes);
	int fd = -1;
	int r = staged_open(ctx, name.c_str(), data, &changes, id_of_path(own.c_str()), fd);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	if (fd >= 0) {
		struct uci_element *e, *tmp;
		uci_foreach_element_safe(&changes, tmp, e) {
			auto *d = uci_to_delta(e);
			bool covered = !section ||
				(strcmp(d->section, keep_section.c_str()) == 0 &&
				 (!option || (d->e.name && strcmp(d->e.name, keep_option.c_str()) == 0)));
			if (covered)
				delta_free(d);
		}
		text out;
		format_changes(out, name.c_str(), &changes);
		// A kill between cutting and writing the file would lose the
		// changes that stay: the rewrite goes under a note.
		if (staged_rewrite(ctx, name.c_str(), fd, data.view(), out.view()) != UCI_OK) {
			delta_list_free(&changes);
			close(fd);
			return set_error(ctx, UCI_ERR_IO, __func__);
		}
		close(fd);
	}
	delta_list_free(&changes);

	if (uci_package *p = find_loaded(ctx, name.c_str()))
		package_free(p);
	ptr->p = nullptr;
	ptr->s = nullptr;
	ptr->o = nullptr;
	ptr->last = nullptr;
	r = uci_load(ctx, name.c_str(), &ptr->p);
	if (r == UCI_OK)
		ptr->last = &ptr->p->e;
	return set_error(ctx, r, __func__);
}

struct uci_section *uci_lookup_section(struct uci_context *, struct uci_package *p,
				       const char *name)
{
	return p && name ? find_section(p, name) : nullptr;
}

struct uci_option *uci_lookup_option(struct uci_context *, struct uci_section *s,
				     const char *name)
{
	return s && name ? find_option(s, name) : nullptr;
}

const char *uci_lookup_option_string(struct uci_context *, struct uci_section *s,
				     const char *name)
{
	struct uci_option *o = s && name ? find_option(s, name) : nullptr;
	return o && o->type == UCI_TYPE_STRING ? o->v.string : nullptr;
}

int uci_export(struct uci_context *ctx, FILE *stream, struct uci_package *package, bool header)
{
	if (!package || !stream)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	text out;
	export_package(package, out, header, ctx->flags & UCI_FLAG_EXPORT_NAME);
	if (fwrite(out.c_str(), 1, out.size(), stream) != out.size())
		return set_error(ctx, UCI_ERR_IO, __func__);
	return set_error(ctx, UCI_OK, __func__);
}

void uci_perror(struct uci_context *ctx, const char *str)
{
	text t;
	error_text(ctx, str, t);
	fprintf(stderr, "%s\n", t.c_str());
}

void uci_get_errorstr(struct uci_context *ctx, char **dest, const char *str)
{
	text t;
	error_text(ctx, str, t);
	if (dest)
		*dest = strdup(t.c_str());
	else
		fprintf(stderr, "%s\n", t.c_str());
}

} // extern "C"

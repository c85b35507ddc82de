// Contexts, loading and unloading, lookups, and error reporting.
#include "internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char *error_texts[] = {
	"Success", "Out of memory", "Invalid argument", "Entry not found",
	"I/O error", "Parse error", "Duplicate entry", "Unknown error",
};
static_assert(sizeof(error_texts) / sizeof(error_texts[0]) == UCI_ERR_LAST);

void root_init(struct uci_list *l)
{
	l->next = l->prev = l;
}

std::string error_text(struct uci_context *ctx, const char *prefix)
{
	int err = ctx->err < 0 || ctx->err >= UCI_ERR_LAST ? UCI_ERR_UNKNOWN : ctx->err;
	std::string out;
	if (prefix && *prefix) {
		out += prefix;
		out += ": ";
	}
	out += error_texts[err];
	if (err == UCI_ERR_PARSE && ctx->err_reason) {
		out += " (";
		out += ctx->err_reason;
		out += ") at line " + std::to_string(ctx->err_line) + ", byte " +
		       std::to_string(ctx->err_byte);
	}
	return out;
}

} // namespace

namespace uci_impl {
int set_error(struct uci_context *ctx, int err, const char *func)
{
	ctx->err = err;
	ctx->func = func;
	return err;
}
} // namespace uci_impl

using namespace uci_impl;

extern "C" {

struct uci_context *uci_alloc_context(void)
{
	auto *ctx = static_cast<struct uci_context *>(calloc(1, sizeof(struct uci_context)));
	if (!ctx)
		return nullptr;
	root_init(&ctx->root);
	ctx->confdir = strdup(UCI_CONFDIR);
	ctx->savedir = strdup(UCI_SAVEDIR);
	if (!ctx->confdir || !ctx->savedir) {
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
	free(ctx->confdir);
	free(ctx->savedir);
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

// Kept for the caller's sake; nothing is staged here.
int uci_set_savedir(struct uci_context *ctx, const char *dir)
{
	return replace_dir(ctx, &ctx->savedir, dir, __func__);
}

int uci_load(struct uci_context *ctx, const char *name, struct uci_package **package)
{
	if (package)
		*package = nullptr;
	if (!name || !valid_package_name(name))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	struct uci_element *e;
	uci_foreach_element(&ctx->root, e) {
		if (strcmp(e->name, name) == 0)
			return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
	}

	std::string path = std::string(ctx->confdir) + "/" + name;
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return set_error(ctx, errno == ENOENT ? UCI_ERR_NOTFOUND : UCI_ERR_IO, __func__);
	std::string text;
	int r = read_fd(fd, text);
	close(fd);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);

	uci_package *p = package_new(ctx, name);
	r = parse_package(ctx, p, text);
	if (r != UCI_OK) {
		package_free(p);
		return set_error(ctx, r, __func__);
	}
	p->path = strdup(path.c_str());
	p->deltas->shape = package_shape(p);
	p->e.list.prev = ctx->root.prev;
	p->e.list.next = &ctx->root;
	ctx->root.prev->next = &p->e.list;
	ctx->root.prev = &p->e.list;
	if (package)
		*package = p;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_unload(struct uci_context *ctx, struct uci_package *p)
{
	if (!p)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	package_free(p);
	return set_error(ctx, UCI_OK, __func__);
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
	std::string out;
	export_package(package, out, header);
	if (fwrite(out.data(), 1, out.size(), stream) != out.size())
		return set_error(ctx, UCI_ERR_IO, __func__);
	return set_error(ctx, UCI_OK, __func__);
}

void uci_perror(struct uci_context *ctx, const char *str)
{
	fprintf(stderr, "%s\n", error_text(ctx, str).c_str());
}

void uci_get_errorstr(struct uci_context *ctx, char **dest, const char *str)
{
	std::string text = error_text(ctx, str);
	if (dest)
		*dest = strdup(text.c_str());
	else
		fprintf(stderr, "%s\n", text.c_str());
}

} // extern "C"

// Pointers into the tree, and the changes made through them.
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace uci_impl;

namespace {

// "pkg[.section[.option]][=value]", split in place. The text itself is
// refused (UCI_ERR_PARSE) for a package name with a blank or a byte outside
// ASCII, a bad option name, a control character in the value, or a fourth
// part; the section name is checked only once the package is loaded, as the
// device's does, which answers "Invalid argument" for it.
int split_ptr(struct uci_ptr *ptr, char *str)
{
	if (char *eq = strchr(str, '=')) {
		*eq = 0;
		ptr->value = eq + 1;
		if (!valid_argument(ptr->value))
			return UCI_ERR_PARSE;
	}
	ptr->package = str;
	if (char *dot = strchr(str, '.')) {
		*dot = 0;
		ptr->section = dot + 1;
		if (char *dot2 = strchr(dot + 1, '.')) {
			*dot2 = 0;
			ptr->option = dot2 + 1;
			if (strchr(dot2 + 1, '.'))
				return UCI_ERR_PARSE;
		}
	}
	if (!valid_type(ptr->package) || (ptr->option && !valid_name(ptr->option)))
		return UCI_ERR_PARSE;
	return UCI_OK;
}

// "@type[index]": the index-th section of that type (of any type for
// "@[index]"); a negative index counts back, an empty one is 0.
int find_extended(uci_package *p, const char *expr, uci_section **out)
{
	*out = nullptr;
	const char *open = strchr(expr, '[');
	size_t len = strlen(expr);
	if (!open || expr[len - 1] != ']')
		return UCI_ERR_INVAL;
	std::string_view type(expr + 1, static_cast<size_t>(open - expr - 1));
	if (!type.empty() && !valid_type(type))
		return UCI_ERR_INVAL;
	char *end;
	long idx = strtol(open + 1, &end, 10);
	if (end != expr + len - 1)
		return UCI_ERR_INVAL;

	long n = 0;
	struct uci_element *e;
	uci_foreach_element(&p->sections, e) {
		if (type.empty() || type == uci_to_section(e)->type)
			n++;
	}
	if (idx < 0)
		idx += n;
	if (idx < 0 || idx >= n)
		return UCI_OK;
	uci_foreach_element(&p->sections, e) {
		if ((type.empty() || type == uci_to_section(e)->type) && idx-- == 0) {
			*out = uci_to_section(e);
			break;
		}
	}
	return UCI_OK;
}

uci_package *find_loaded(struct uci_context *ctx, const char *name)
{
	struct uci_element *e;
	uci_foreach_element(&ctx->root, e) {
		if (strcmp(e->name, name) == 0)
			return uci_to_package(e);
	}
	return nullptr;
}

int resolve(struct uci_context *ctx, struct uci_ptr *ptr)
{
	if (ptr->flags & uci_ptr::UCI_LOOKUP_DONE)
		return UCI_OK;
	return uci_lookup_ptr(ctx, ptr, nullptr, true);
}

// Applies and records a change, then points `ptr` at what is there now:
// ptr->section may have named a section that the change freed.
void record(struct uci_ptr *ptr, enum uci_command cmd, const char *section, const char *option,
	    const char *value, const char *name_after = nullptr)
{
	uci_package *p = ptr->p;
	uci_delta *d = delta_new(cmd, section, option, value);
	uci_section *target = find_section(p, d->section);
	d->positional = target && target->anonymous;
	apply_delta(p, d, d->section);
	ptr->s = find_section(p, name_after ? name_after : d->section);
	ptr->section = ptr->s ? ptr->s->e.name : nullptr;
	ptr->o = ptr->s && ptr->option ? find_option(ptr->s, ptr->option) : nullptr;
	ptr->last = ptr->o ? &ptr->o->e : ptr->s ? &ptr->s->e : &p->e;
	list_append(&p->delta, &d->e.list);
	p->has_delta = true;
}

// Names and values common to every change through an option.
int check_option_change(struct uci_ptr *ptr)
{
	if (!ptr->p || !ptr->section || !ptr->option || !ptr->value)
		return UCI_ERR_INVAL;
	if (!ptr->s)
		return UCI_ERR_INVAL;
	if (!valid_name(ptr->option))
		return UCI_ERR_INVAL;
	return UCI_OK;
}

// The pointer resolved, and fit for a change of a list item.
int resolve_option_change(struct uci_context *ctx, struct uci_ptr *ptr)
{
	int r = resolve(ctx, ptr);
	if (r != UCI_OK)
		return r;
	return check_option_change(ptr) == UCI_OK ? UCI_OK : UCI_ERR_INVAL;
}

} // namespace

extern "C" {

int uci_lookup_ptr(struct uci_context *ctx, struct uci_ptr *ptr, char *str, bool extended)
{
	if (str) {
		memset(ptr, 0, sizeof(*ptr));
		if (split_ptr(ptr, str) != UCI_OK) {
			ctx->err_reason = nullptr; // not a file's error
			return set_error(ctx, UCI_ERR_PARSE, __func__);
		}
		// Only names a file of the config directory may have are read;
		// the device's reads any path ("sub/x", "/etc/x").
		if (!valid_package_name(ptr->package))
			return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	}
	ptr->p = nullptr;
	ptr->s = nullptr;
	ptr->o = nullptr;
	ptr->last = nullptr;
	ptr->flags = static_cast<decltype(ptr->flags)>(0);
	if (!ptr->package || !valid_package_name(ptr->package))
		return set_error(ctx, UCI_ERR_INVAL, __func__);

	ptr->p = find_loaded(ctx, ptr->package);
	if (!ptr->p) {
		int r = uci_load(ctx, ptr->package, &ptr->p);
		if (r != UCI_OK)
			return set_error(ctx, r, __func__);
	}
	ptr->last = &ptr->p->e;
	ptr->target = UCI_TYPE_PACKAGE;
	int flags = uci_ptr::UCI_LOOKUP_DONE;

	if (ptr->section) {
		ptr->target = UCI_TYPE_SECTION;
		if (ptr->section[0] == '@') {
			if (!extended || find_extended(ptr->p, ptr->section, &ptr->s) != UCI_OK)
				return set_error(ctx, UCI_ERR_INVAL, __func__);
			flags |= uci_ptr::UCI_LOOKUP_EXTENDED;
		} else {
			if (!valid_name(ptr->section))
				return set_error(ctx, UCI_ERR_INVAL, __func__);
			ptr->s = find_section(ptr->p, ptr->section);
		}
		if (ptr->s) {
			ptr->section = ptr->s->e.name;
			ptr->last = &ptr->s->e;
		}
	}
	if (ptr->option) {
		ptr->target = UCI_TYPE_OPTION;
		if (!valid_name(ptr->option))
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		ptr->o = ptr->s ? find_option(ptr->s, ptr->option) : nullptr;
		if (ptr->o)
			ptr->last = &ptr->o->e;
	}
	bool complete = ptr->option ? ptr->o != nullptr : ptr->section ? ptr->s != nullptr : true;
	if (complete)
		flags |= uci_ptr::UCI_LOOKUP_COMPLETE;
	ptr->flags = static_cast<decltype(ptr->flags)>(flags);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_set(struct uci_context *ctx, struct uci_ptr *ptr)
{
	int r = resolve(ctx, ptr);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	if (!ptr->p || !ptr->section || !ptr->value)
		return set_error(ctx, UCI_ERR_INVAL, __func__);

	if (ptr->option) {
		if (check_option_change(ptr) != UCI_OK)
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		uci_option *o = find_option(ptr->s, ptr->option);
		// An empty value deletes the option, and is staged as a deletion.
		if (!*ptr->value) {
			if (o)
				record(ptr, UCI_CMD_REMOVE, ptr->s->e.name, ptr->option, nullptr);
			return set_error(ctx, UCI_OK, __func__);
		}
		bool unchanged = o && o->type == UCI_TYPE_STRING && strcmp(o->v.string, ptr->value) == 0;
		if (!unchanged)
			record(ptr, UCI_CMD_CHANGE, ptr->s->e.name, ptr->option, ptr->value);
	} else {
		if (!valid_type(ptr->value))
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		if (!ptr->s && !valid_name(ptr->section))
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		if (!ptr->s || strcmp(ptr->s->type, ptr->value) != 0)
			record(ptr, UCI_CMD_CHANGE, ptr->s ? ptr->s->e.name : ptr->section, nullptr, ptr->value);
	}
	return set_error(ctx, UCI_OK, __func__);
}

int uci_add_list(struct uci_context *ctx, struct uci_ptr *ptr)
{
	if (int r = resolve_option_change(ctx, ptr); r != UCI_OK)
		return set_error(ctx, r, __func__);
	record(ptr, UCI_CMD_LIST_ADD, ptr->s->e.name, ptr->option, ptr->value);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_del_list(struct uci_context *ctx, struct uci_ptr *ptr)
{
	if (int r = resolve_option_change(ctx, ptr); r != UCI_OK)
		return set_error(ctx, r, __func__);
	// Nothing to remove from an option that is not a list.
	uci_option *o = find_option(ptr->s, ptr->option);
	if (!o || o->type != UCI_TYPE_LIST)
		return set_error(ctx, UCI_OK, __func__);
	record(ptr, UCI_CMD_LIST_DEL, ptr->s->e.name, ptr->option, ptr->value);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_delete(struct uci_context *ctx, struct uci_ptr *ptr)
{
	int r = resolve(ctx, ptr);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	if (!ptr->p || !ptr->section)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	uci_option *o = ptr->s && ptr->option ? find_option(ptr->s, ptr->option) : nullptr;
	if (!ptr->s || (ptr->option && !o))
		return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	if (o && o->type == UCI_TYPE_LIST && ptr->value && *ptr->value) {
		// A value names the index of the one list item to delete. The
		// device answers 1 with no error set for a value that is no
		// number, and 0 for an index out of range; neither changes anything.
		char *end;
		long at = strtol(ptr->value, &end, 10);
		if (*end)
			return 1;
		long n = 0;
		struct uci_element *e;
		if (o->type == UCI_TYPE_STRING) {
			record(ptr, UCI_CMD_REMOVE, ptr->s->e.name, ptr->option, nullptr);
			return set_error(ctx, UCI_OK, __func__);
		}
		uci_foreach_element(&o->v.list, e)
			n++;
		if (at < 0 || at >= n)
			return set_error(ctx, UCI_OK, __func__);
		record(ptr, UCI_CMD_REMOVE, ptr->s->e.name, ptr->option, ptr->value);
		return set_error(ctx, UCI_OK, __func__);
	}
	record(ptr, UCI_CMD_REMOVE, ptr->s->e.name, ptr->option, nullptr);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_add_section(struct uci_context *ctx, struct uci_package *p, const char *type,
		    struct uci_section **res)
{
	if (res)
		*res = nullptr;
	// Any type the file parser reads back; the device also takes one it
	// then refuses to read (with a blank, or empty).
	if (!p || !type || !valid_type(type))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	uci_delta *d = delta_new(UCI_CMD_ADD, nullptr, nullptr, type);
	char name[32];
	apply_delta(p, d, nullptr, name);
	d->section = dup_text(name);
	if (res)
		*res = find_section(p, name);
	list_append(&p->delta, &d->e.list);
	p->has_delta = true;
	return set_error(ctx, UCI_OK, __func__);
}

int uci_rename(struct uci_context *ctx, struct uci_ptr *ptr)
{
	int r = resolve(ctx, ptr);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	if (!ptr->p || !ptr->section || !ptr->value || !valid_name(ptr->value))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	if (!ptr->s || (ptr->option && !find_option(ptr->s, ptr->option)))
		return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	if (ptr->option) {
		uci_option *other = find_option(ptr->s, ptr->value);
		if (other && strcmp(ptr->option, ptr->value) != 0)
			return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
		const char *to = ptr->value;
		const char *from = ptr->option;
		ptr->option = nullptr;
		record(ptr, UCI_CMD_RENAME, ptr->s->e.name, from, to);
		ptr->o = find_option(ptr->s, to);
		ptr->option = ptr->o ? ptr->o->e.name : nullptr;
		ptr->last = ptr->o ? &ptr->o->e : ptr->last;
		return set_error(ctx, UCI_OK, __func__);
	}
	uci_section *other = find_section(ptr->p, ptr->value);
	if (other && other != ptr->s)
		return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
	const char *to = ptr->value;
	record(ptr, UCI_CMD_RENAME, ptr->s->e.name, nullptr, to, to);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_reorder_section(struct uci_context *ctx, struct uci_section *s, int pos)
{
	if (!s || pos < 0)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	// A section already at that place is not moved, nor the move staged.
	int at = -1, n = 0;
	struct uci_element *e;
	uci_foreach_element(&s->package->sections, e) {
		if (e == &s->e)
			at = n;
		n++;
	}
	if (at == (pos < n ? pos : n - 1))
		return set_error(ctx, UCI_OK, __func__);
	struct uci_ptr ptr = {};
	ptr.p = s->package;
	char where[16];
	snprintf(where, sizeof(where), "%d", pos);
	record(&ptr, UCI_CMD_REORDER, s->e.name, nullptr, where);
	return set_error(ctx, UCI_OK, __func__);
}

int uci_save(struct uci_context *ctx, struct uci_package *p)
{
	if (!p)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	return set_error(ctx, save_staged(ctx, p), __func__);
}

} // extern "C"

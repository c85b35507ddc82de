// Pointers into the tree, and the changes made through them.
#include "internal.h"

#include <cstdlib>
#include <cstring>

using namespace uci_impl;

namespace {

// "pkg[.section[.option]][=value]", split in place.
int split_ptr(struct uci_ptr *ptr, char *str)
{
	if (char *eq = strchr(str, '=')) {
		*eq = 0;
		ptr->value = eq + 1;
	}
	ptr->package = str;
	if (char *dot = strchr(str, '.')) {
		*dot = 0;
		ptr->section = dot + 1;
		if (char *dot2 = strchr(dot + 1, '.')) {
			*dot2 = 0;
			ptr->option = dot2 + 1;
			if (strchr(dot2 + 1, '.'))
				return UCI_ERR_INVAL;
		}
	}
	if (!*ptr->package || (ptr->section && !*ptr->section) || (ptr->option && !*ptr->option))
		return UCI_ERR_INVAL;
	return UCI_OK;
}

// "@type[index]": the index-th section of that type; negative counts back.
int find_extended(uci_package *p, const char *expr, uci_section **out)
{
	*out = nullptr;
	const char *open = strchr(expr, '[');
	size_t len = strlen(expr);
	if (!open || len < 4 || expr[len - 1] != ']')
		return UCI_ERR_INVAL;
	std::string_view type(expr + 1, static_cast<size_t>(open - expr - 1));
	std::string index(open + 1, expr + len - 1);
	char *end;
	long idx = strtol(index.c_str(), &end, 10);
	if (index.empty() || *end || !valid_type(type))
		return UCI_ERR_INVAL;

	std::vector<uci_section *> matches;
	struct uci_element *e;
	uci_foreach_element(&p->sections, e) {
		if (type == uci_to_section(e)->type)
			matches.push_back(uci_to_section(e));
	}
	long n = static_cast<long>(matches.size());
	if (idx < 0)
		idx += n;
	if (idx >= 0 && idx < n)
		*out = matches[static_cast<size_t>(idx)];
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
void record(struct uci_ptr *ptr, delta d, const char *name_after = nullptr)
{
	uci_package *p = ptr->p;
	uci_section *target = find_section(p, d.section);
	d.positional = target && target->anonymous;
	apply_delta(p, d, d.section);
	ptr->s = find_section(p, name_after ? name_after : d.section.c_str());
	ptr->section = ptr->s ? ptr->s->e.name : nullptr;
	ptr->o = ptr->s && ptr->option ? find_option(ptr->s, ptr->option) : nullptr;
	ptr->last = ptr->o ? &ptr->o->e : ptr->s ? &ptr->s->e : &p->e;
	p->deltas->items.push_back(std::move(d));
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
		if (!valid_argument(str)) {
			ctx->err_reason = nullptr; // not a file's error
			return set_error(ctx, UCI_ERR_PARSE, __func__);
		}
		if (split_ptr(ptr, str) != UCI_OK)
			return set_error(ctx, UCI_ERR_INVAL, __func__);
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
		bool unchanged = o ? o->type == UCI_TYPE_STRING && strcmp(o->v.string, ptr->value) == 0
				   : !*ptr->value;
		if (!unchanged)
			record(ptr, {delta_op::set, ptr->s->e.name, ptr->option, ptr->value});
	} else {
		if (!valid_type(ptr->value))
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		if (!ptr->s && !valid_name(ptr->section))
			return set_error(ctx, UCI_ERR_INVAL, __func__);
		if (!ptr->s || strcmp(ptr->s->type, ptr->value) != 0)
			record(ptr, {delta_op::set, ptr->s ? ptr->s->e.name : ptr->section, "", ptr->value});
	}
	return set_error(ctx, UCI_OK, __func__);
}

int uci_add_list(struct uci_context *ctx, struct uci_ptr *ptr)
{
	if (int r = resolve_option_change(ctx, ptr); r != UCI_OK)
		return set_error(ctx, r, __func__);
	record(ptr, {delta_op::add_list, ptr->s->e.name, ptr->option, ptr->value});
	return set_error(ctx, UCI_OK, __func__);
}

int uci_del_list(struct uci_context *ctx, struct uci_ptr *ptr)
{
	if (int r = resolve_option_change(ctx, ptr); r != UCI_OK)
		return set_error(ctx, r, __func__);
	uci_option *o = find_option(ptr->s, ptr->option);
	if (!o || o->type != UCI_TYPE_LIST)
		return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	record(ptr, {delta_op::del_list, ptr->s->e.name, ptr->option, ptr->value});
	return set_error(ctx, UCI_OK, __func__);
}

int uci_delete(struct uci_context *ctx, struct uci_ptr *ptr)
{
	int r = resolve(ctx, ptr);
	if (r != UCI_OK)
		return set_error(ctx, r, __func__);
	if (!ptr->p || !ptr->section)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	if (!ptr->s || (ptr->option && !find_option(ptr->s, ptr->option)))
		return set_error(ctx, UCI_ERR_NOTFOUND, __func__);
	record(ptr, {delta_op::remove, ptr->s->e.name, ptr->option ? ptr->option : "", ""});
	return set_error(ctx, UCI_OK, __func__);
}

int uci_add_section(struct uci_context *ctx, struct uci_package *p, const char *type,
		    struct uci_section **res)
{
	if (res)
		*res = nullptr;
	if (!p || !type || !valid_type(type))
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	delta d{delta_op::add, "", "", type};
	apply_delta(p, d, "", &d.section);
	if (res)
		*res = find_section(p, d.section);
	p->deltas->items.push_back(std::move(d));
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
		std::string from = ptr->option, to = ptr->value;
		ptr->option = nullptr;
		record(ptr, {delta_op::rename, ptr->s->e.name, from, to});
		ptr->o = find_option(ptr->s, to);
		ptr->option = ptr->o ? ptr->o->e.name : nullptr;
		ptr->last = ptr->o ? &ptr->o->e : ptr->last;
		return set_error(ctx, UCI_OK, __func__);
	}
	uci_section *other = find_section(ptr->p, ptr->value);
	if (other && other != ptr->s)
		return set_error(ctx, UCI_ERR_DUPLICATE, __func__);
	std::string to = ptr->value;
	record(ptr, {delta_op::rename, ptr->s->e.name, "", to}, to.c_str());
	return set_error(ctx, UCI_OK, __func__);
}

int uci_reorder_section(struct uci_context *ctx, struct uci_section *s, int pos)
{
	if (!s || pos < 0)
		return set_error(ctx, UCI_ERR_INVAL, __func__);
	struct uci_ptr ptr = {};
	ptr.p = s->package;
	record(&ptr, {delta_op::reorder, s->e.name, "", std::to_string(pos)});
	return set_error(ctx, UCI_OK, __func__);
}

// Nothing is staged: changes wait in the context until uci_commit.
int uci_save(struct uci_context *ctx, struct uci_package *p)
{
	return set_error(ctx, p ? UCI_OK : UCI_ERR_INVAL, __func__);
}

} // extern "C"

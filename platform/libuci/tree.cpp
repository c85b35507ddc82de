// Packages, sections, options and list items, and the changes applied to them.
#include "internal.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace uci_impl {

void list_init(struct uci_list *l)
{
	l->next = l->prev = l;
}

void list_append(struct uci_list *head, struct uci_list *e)
{
	e->prev = head->prev;
	e->next = head;
	head->prev->next = e;
	head->prev = e;
}

void list_unlink(struct uci_list *e)
{
	e->prev->next = e->next;
	e->next->prev = e->prev;
	list_init(e);
}

char *dup_text(std::string_view s)
{
	char *p = static_cast<char *>(malloc(s.size() + 1));
	if (!p)
		abort(); // the tree has no way to report a lost allocation
	memcpy(p, s.data(), s.size());
	p[s.size()] = 0;
	return p;
}

namespace {

// An element and its name share one allocation; a rename gives the
// element a name of its own (see free_element).
template <typename T>
T *alloc_with_name(std::string_view name)
{
	T *t = static_cast<T *>(malloc(sizeof(T) + name.size() + 1));
	if (!t)
		abort();
	memset(t, 0, sizeof(T));
	char *text = reinterpret_cast<char *>(t + 1);
	if (name.size()) // an empty view may carry no pointer at all
		memcpy(text, name.data(), name.size());
	text[name.size()] = 0;
	return t;
}

template <typename T>
T *alloc_element(enum uci_type type, std::string_view name)
{
	T *t = alloc_with_name<T>(name);
	list_init(&t->e.list);
	t->e.type = type;
	t->e.name = reinterpret_cast<char *>(t + 1);
	return t;
}

struct uci_element *new_item(std::string_view value)
{
	auto *e = alloc_with_name<struct uci_element>(value);
	list_init(&e->list);
	e->type = UCI_TYPE_ITEM;
	e->name = reinterpret_cast<char *>(e + 1);
	return e;
}

template <typename T>
void free_element(T *t)
{
	if (t->e.name != reinterpret_cast<char *>(t + 1))
		free(t->e.name);
	free(t);
}

void free_items(struct uci_list *l)
{
	while (l->next != l) {
		struct uci_element *e = list_to_element(l->next);
		list_unlink(&e->list);
		free(e);
	}
}

constexpr auto name_chars = [] {
	std::array<bool, 256> t{};
	for (int c = 0; c < 256; c++)
		t[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
	return t;
}();

bool is_name_char(char c)
{
	return name_chars[static_cast<unsigned char>(c)];
}

// djb2 over the type, kept to 31 bits as the device does; only the low
// 16 bits make it into a name.
uint16_t type_hash(std::string_view type)
{
	uint32_t h = 5381;
	for (char c : type)
		h = (h * 33 + static_cast<unsigned char>(c)) & 0x7fffffff;
	return static_cast<uint16_t>(h);
}

// "cfg", the section's count in the package (never cut: names must not
// repeat), and the type's hash.
void generated_name(char (&buf)[32], int count, std::string_view type)
{
	snprintf(buf, sizeof(buf), "cfg%02x%04x", static_cast<unsigned>(count), type_hash(type));
}

uint64_t fnv1a(uint64_t h, std::string_view s)
{
	for (char c : s)
		h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
	return h;
}

bool same_name(const char *stored, std::string_view name)
{
	return strncmp(stored, name.data(), name.size()) == 0 && stored[name.size()] == 0;
}

} // namespace

bool valid_name(std::string_view s)
{
	if (s.empty())
		return false;
	for (char c : s) {
		if (!is_name_char(c))
			return false;
	}
	return true;
}

bool valid_argument(std::string_view s)
{
	for (char c : s) {
		auto u = static_cast<unsigned char>(c);
		if (u < 0x20 && c != '\t' && c != '\r' && c != '\n')
			return false;
	}
	return true;
}

// The file parser takes any printable byte but a blank in a type.
bool valid_type(std::string_view s)
{
	if (s.empty())
		return false;
	for (char c : s) {
		auto u = static_cast<unsigned char>(c);
		if (u <= 0x20 || u >= 0x7f)
			return false;
	}
	return true;
}

bool valid_package_name(std::string_view s)
{
	if (s.empty() || s[0] == '.')
		return false;
	for (char c : s) {
		if (!(is_name_char(c) || c == '-' || c == '.'))
			return false;
	}
	return true;
}

bool valid_package_word(std::string_view s)
{
	for (char c : s) {
		if (!(is_name_char(c) || c == '-'))
			return false;
	}
	return !s.empty();
}

uci_package *package_new(struct uci_context *ctx, std::string_view name)
{
	auto *p = alloc_element<uci_package>(UCI_TYPE_PACKAGE, name);
	list_init(&p->sections);
	p->ctx = ctx;
	list_init(&p->delta);
	list_init(&p->saved_delta);
	return p;
}

void package_clear(uci_package *p)
{
	while (p->sections.next != &p->sections)
		section_free(uci_to_section(list_to_element(p->sections.next)));
	p->n_section = 0;
}

void package_free(uci_package *p)
{
	if (!p)
		return;
	package_clear(p);
	list_unlink(&p->e.list);
	delta_list_free(&p->delta);
	delta_list_free(&p->saved_delta);
	free(p->shape);
	free(p->path);
	free(p);
}

uci_section *section_add(uci_package *p, std::string_view type, const char *name)
{
	char generated[32];
	if (!name) {
		generated_name(generated, p->n_section + 1, type);
		name = generated;
	}
	auto *s = alloc_element<uci_section>(UCI_TYPE_SECTION, name);
	list_init(&s->options);
	s->package = p;
	s->anonymous = name == generated;
	s->type = dup_text(type);
	list_append(&p->sections, &s->e.list);
	p->n_section++;
	return s;
}

void element_rename(struct uci_element *e, std::string_view name)
{
	char *inline_name = e->type == UCI_TYPE_SECTION
		? reinterpret_cast<char *>(uci_to_section(e) + 1)
		: reinterpret_cast<char *>(uci_to_option(e) + 1);
	char *copy = dup_text(name);
	if (e->name != inline_name)
		free(e->name);
	e->name = copy;
}

// Position 0 is first; a position past the end appends.
void section_move(uci_section *s, long pos)
{
	uci_package *p = s->package;
	list_unlink(&s->e.list);
	struct uci_list *next = p->sections.next;
	for (; pos > 0 && next != &p->sections; pos--)
		next = next->next;
	s->e.list.next = next;
	s->e.list.prev = next->prev;
	next->prev->next = &s->e.list;
	next->prev = &s->e.list;
}

void section_names_refresh(uci_package *p)
{
	int count = 0;
	struct uci_element *e;
	uci_foreach_element(&p->sections, e) {
		count++;
		auto *s = uci_to_section(e);
		if (!s->anonymous)
			continue;
		char name[32];
		generated_name(name, count, s->type);
		if (strcmp(name, e->name) != 0)
			element_rename(e, name);
	}
	p->n_section = count;
}

void package_take_shape(uci_package *p)
{
	int n = 0;
	struct uci_element *e;
	uci_foreach_element(&p->sections, e)
		n++;
	free(p->shape);
	p->shape = static_cast<unsigned long long *>(malloc(sizeof(*p->shape) * (n ? n : 1)));
	if (!p->shape)
		abort();
	p->n_shape = 0;
	uci_foreach_element(&p->sections, e) {
		uint64_t h = fnv1a(0xcbf29ce484222325ull, e->name);
		p->shape[p->n_shape++] = fnv1a(h * 31 + 1, uci_to_section(e)->type);
	}
}

uci_delta *delta_new(enum uci_command cmd, const char *section, const char *option, const char *value)
{
	auto *d = static_cast<uci_delta *>(calloc(1, sizeof(uci_delta)));
	if (!d)
		abort();
	list_init(&d->e.list);
	d->e.type = UCI_TYPE_DELTA;
	d->e.name = option ? dup_text(option) : nullptr;
	d->cmd = cmd;
	d->section = section ? dup_text(section) : nullptr;
	d->value = value ? dup_text(value) : nullptr;
	return d;
}

void delta_free(uci_delta *d)
{
	list_unlink(&d->e.list);
	free(d->e.name);
	free(d->section);
	free(d->value);
	free(d);
}

void delta_list_free(struct uci_list *l)
{
	while (l->next != l)
		delta_free(uci_to_delta(list_to_element(l->next)));
}

void option_free(uci_option *o)
{
	list_unlink(&o->e.list);
	if (o->type == UCI_TYPE_LIST)
		free_items(&o->v.list);
	else
		free(o->v.string);
	free_element(o);
}

void section_free(uci_section *s)
{
	while (s->options.next != &s->options)
		option_free(uci_to_option(list_to_element(s->options.next)));
	list_unlink(&s->e.list);
	free(s->type);
	free_element(s);
}

uci_section *find_section(uci_package *p, std::string_view name)
{
	struct uci_element *e;
	uci_foreach_element(&p->sections, e) {
		if (same_name(e->name, name))
			return uci_to_section(e);
	}
	return nullptr;
}

uci_option *find_option(uci_section *s, std::string_view name)
{
	struct uci_element *e;
	uci_foreach_element(&s->options, e) {
		if (same_name(e->name, name))
			return uci_to_option(e);
	}
	return nullptr;
}

// An empty value deletes the option; a list of that name is replaced.
bool option_set(uci_section *s, std::string_view name, std::string_view value)
{
	uci_option *o = find_option(s, name);
	if (value.empty()) {
		if (o)
			option_free(o);
		return true;
	}
	if (o && o->type == UCI_TYPE_STRING) {
		free(o->v.string);
		o->v.string = dup_text(value);
		return true;
	}
	if (o) {
		free_items(&o->v.list);
		o->type = UCI_TYPE_STRING;
		o->v.string = dup_text(value);
		return true;
	}
	o = alloc_element<uci_option>(UCI_TYPE_OPTION, name);
	o->section = s;
	o->type = UCI_TYPE_STRING;
	o->v.string = dup_text(value);
	list_append(&s->options, &o->e.list);
	return true;
}

void option_append_item(uci_option *list, std::string_view value)
{
	list_append(&list->v.list, &new_item(value)->list);
}

// A string option of that name becomes a list with its value first.
uci_option *option_add_item(uci_section *s, std::string_view name, std::string_view value)
{
	uci_option *o = find_option(s, name);
	if (!o) {
		o = alloc_element<uci_option>(UCI_TYPE_OPTION, name);
		o->section = s;
		o->type = UCI_TYPE_LIST;
		list_init(&o->v.list);
		list_append(&s->options, &o->e.list);
	} else if (o->type == UCI_TYPE_STRING) {
		char *old = o->v.string;
		o->type = UCI_TYPE_LIST;
		list_init(&o->v.list);
		list_append(&o->v.list, &new_item(old)->list);
		free(old);
	}
	option_append_item(o, value);
	return o;
}

namespace {

bool remove_items(uci_section *s, std::string_view name, std::string_view value)
{
	uci_option *o = find_option(s, name);
	if (!o || o->type != UCI_TYPE_LIST)
		return false;
	struct uci_element *e, *tmp;
	uci_foreach_element_safe(&o->v.list, tmp, e) {
		if (value == e->name) {
			list_unlink(&e->list);
			free(e);
		}
	}
	if (uci_list_empty(&o->v.list))
		option_free(o);
	return true;
}

// A value given to the removal of a list: the index of the one item to go.
// Anything but a plain index in range changes nothing.
bool remove_item_at(uci_option *o, const char *index)
{
	if (o->type != UCI_TYPE_LIST)
		return false;
	char *end;
	long at = strtol(index, &end, 10);
	if (!*index || *end || at < 0)
		return false;
	struct uci_element *e;
	uci_foreach_element(&o->v.list, e) {
		if (at-- == 0) {
			// the device keeps a list it emptied so, until the next load
			list_unlink(&e->list);
			free(e);
			return true;
		}
	}
	return false;
}

} // namespace

bool apply_delta(uci_package *p, const uci_delta *d, const char *section, char *added)
{
	const char *option = d->e.name;
	const char *value = d->value ? d->value : "";
	uci_section *s = d->cmd == UCI_CMD_ADD ? nullptr : find_section(p, section);
	switch (d->cmd) {
	case UCI_CMD_CHANGE:
		if (option)
			return s && option_set(s, option, value);
		if (s) {
			free(s->type);
			s->type = dup_text(value);
		} else {
			section_add(p, value, section);
		}
		return true;
	case UCI_CMD_LIST_ADD:
		return s && option && option_add_item(s, option, value) != nullptr;
	case UCI_CMD_LIST_DEL:
		return s && option && remove_items(s, option, value);
	case UCI_CMD_REMOVE:
		if (!s)
			return false;
		if (!option) {
			section_free(s);
			return true;
		}
		if (uci_option *o = find_option(s, option)) {
			if (d->value)
				return remove_item_at(o, d->value);
			option_free(o);
			return true;
		}
		return false;
	case UCI_CMD_ADD:
		if (added) {
			s = section_add(p, value, nullptr);
			snprintf(added, 32, "%s", s->e.name);
		} else {
			// a staged add carries the name its section was given
			s = section_add(p, value, section);
			s->anonymous = true;
		}
		return true;
	case UCI_CMD_RENAME:
		if (!s)
			return false;
		if (!option) {
			uci_section *other = find_section(p, value);
			if (other && other != s)
				return false; // never two sections of one name
			element_rename(&s->e, value);
			s->anonymous = false;
			return true;
		}
		if (uci_option *o = find_option(s, option)) {
			uci_option *other = find_option(s, value);
			if (other && other != o)
				return false;
			element_rename(&o->e, value);
			return true;
		}
		return false;
	case UCI_CMD_REORDER:
		if (!s)
			return false;
		section_move(s, strtol(value, nullptr, 10));
		return true;
	default:
		return false;
	}
}

} // namespace uci_impl

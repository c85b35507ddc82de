// The UCI parser on any file text; what it accepts is exported as a commit
// writes it, and reading that export back must give the same tree, whose
// export is then the same text.
#include "internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct uci_context *ctx;

bool same_option(const uci_option *a, const uci_option *b)
{
	if (strcmp(a->e.name, b->e.name) != 0 || a->type != b->type)
		return false;
	if (a->type == UCI_TYPE_STRING)
		return strcmp(a->v.string, b->v.string) == 0;
	const struct uci_list *la = a->v.list.next, *lb = b->v.list.next;
	for (; la != &a->v.list && lb != &b->v.list; la = la->next, lb = lb->next) {
		if (strcmp(list_to_element(la)->name, list_to_element(lb)->name) != 0)
			return false;
	}
	return la == &a->v.list && lb == &b->v.list;
}

bool same_section(const uci_section *a, const uci_section *b)
{
	if (strcmp(a->e.name, b->e.name) != 0 || strcmp(a->type, b->type) != 0 || a->anonymous != b->anonymous)
		return false;
	const struct uci_list *la = a->options.next, *lb = b->options.next;
	for (; la != &a->options && lb != &b->options; la = la->next, lb = lb->next) {
		if (!same_option(uci_to_option(list_to_element(la)), uci_to_option(list_to_element(lb))))
			return false;
	}
	return la == &a->options && lb == &b->options;
}

bool same_tree(const uci_package *a, const uci_package *b)
{
	const struct uci_list *la = a->sections.next, *lb = b->sections.next;
	for (; la != &a->sections && lb != &b->sections; la = la->next, lb = lb->next) {
		if (!same_section(uci_to_section(list_to_element(la)), uci_to_section(list_to_element(lb))))
			return false;
	}
	return la == &a->sections && lb == &b->sections;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	ctx = uci_alloc_context();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string_view text(reinterpret_cast<const char *>(data), size);
	uci_package *first = uci_impl::package_new(ctx, "fuzz");
	if (uci_impl::parse_package(ctx, first, text) != UCI_OK) {
		uci_impl::package_free(first);
		return 0;
	}
	uci_impl::text written;
	uci_impl::export_package(first, written, false);

	uci_package *again = uci_impl::package_new(ctx, "fuzz");
	if (uci_impl::parse_package(ctx, again, written.view()) != UCI_OK)
		abort(); // what we wrote we cannot read
	if (!same_tree(first, again))
		abort(); // read back as another tree
	uci_impl::text rewritten;
	uci_impl::export_package(again, rewritten, false);
	if (rewritten.view() != written.view())
		abort();
	uci_impl::package_free(again);
	uci_impl::package_free(first);
	return 0;
}

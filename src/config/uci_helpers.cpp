#include "uci_helpers.h"

#include "../core/log.h"

#include <cstring>
#include <memory>

struct uci_context *uci_ctx;
struct uci_package *uci_package;

namespace {

constexpr size_t section_name_compare_max = 256;

struct uci_section *section_named(struct uci_package *p, const char *name)
{
	struct uci_element *e;
	uci_foreach_element(&p->sections, e) {
		if (strncmp(e->name, name, section_name_compare_max) == 0)
			return uci_to_section(e);
	}
	return nullptr;
}

} // namespace

struct uci_package *config_init_package(const char *name)
{
	if (uci_ctx)
		config_free();
	uci_ctx = uci_alloc_context();
	if (!uci_ctx)
		return nullptr;
	struct uci_package *p = nullptr;
	if (uci_load(uci_ctx, name, &p) != UCI_OK) {
		config_free();
		return nullptr;
	}
	return p;
}

void config_free()
{
	if (uci_ctx)
		uci_free_context(uci_ctx);
	uci_ctx = nullptr;
	uci_package = nullptr;
}

char *uci_get_option(const char *package, const char *section, const char *option, char *buf,
		     int len)
{
	if (len <= 0)
		return nullptr; // no room even for the terminator
	private_context ctx(uci_alloc_context());
	if (!ctx)
		return nullptr;
	struct uci_package *p = nullptr;
	if (uci_load(ctx.get(), package, &p) != UCI_OK) {
		KLOG_ERR("uci_load %s failed!\n", package);
		return nullptr;
	}
	struct uci_section *s = section_named(p, section);
	if (!s)
		return buf;

	const char *value = uci_lookup_option_string(ctx.get(), s, option);
	if (!value) {
		KLOG_DEBUG(" uci no find opt %s %s.%s\n", option, package, s->e.name);
		return nullptr;
	}
	strncpy(buf, value, static_cast<size_t>(len) - 1);
	buf[len - 1] = 0;
	KLOG_DEBUG(" get uci option %s.%s.%s = %s\n", package, section, option, buf);
	return buf;
}

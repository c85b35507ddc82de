#include "uci_helpers.h"

#include "../core/log.h"

#include <cerrno>
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

constexpr const char *uci_error_texts[] = {
	"Success", "Out of memory", "Invalid argument", "Entry not found",
	"I/O error", "Parse error", "Duplicate entry", "Unknown error",
};
static_assert(sizeof(uci_error_texts) / sizeof(uci_error_texts[0]) == UCI_ERR_LAST);

} // namespace

const char *uci_error_text(int err)
{
	return err >= 0 && err < UCI_ERR_LAST ? uci_error_texts[err] : "Unknown error";
}

struct uci_package *config_init_package(const char *name, uci_failure *fail)
{
	if (uci_ctx)
		config_free();
	uci_ctx = uci_alloc_context();
	if (!uci_ctx) {
		if (fail)
			*fail = {"load", UCI_ERR_MEM, 0};
		return nullptr;
	}
	struct uci_package *p = nullptr;
	errno = 0;
	int r = uci_load(uci_ctx, name, &p);
	if (r != UCI_OK) {
		if (fail)
			*fail = {"load", r, r == UCI_ERR_IO ? errno : 0};
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

int uci_option_compare_secret(const char *package, const char *section, const char *option,
			      const char *value)
{
	private_context ctx(uci_alloc_context());
	if (!ctx)
		return -1;
	struct uci_package *p = nullptr;
	if (uci_load(ctx.get(), package, &p) != UCI_OK) {
		KLOG_AS(LOG_LEVEL_ERR, "uci_get_option", "uci_load %s failed!\n", package);
		return -1;
	}
	struct uci_section *s = section_named(p, section);
	if (!s)
		return *value == 0;

	const char *stored = uci_lookup_option_string(ctx.get(), s, option);
	if (!stored) {
		KLOG_AS(LOG_LEVEL_DEBUG, "uci_get_option", " uci no find opt %s %s.%s\n", option, package, s->e.name);
		return -1;
	}
	KLOG_AS(LOG_LEVEL_DEBUG, "uci_get_option", " get uci option %s.%s.%s = %s\n", package, section, option,
		LOG_SECRET);
	return strcmp(stored, value) == 0;
}

int uci_set_options(struct uci_context *ctx, const char *func, const char *package, const char *section,
		    std::span<const uci_assignment> values)
{
	uci_failure fail;
	struct uci_package *p = nullptr;
	for (const uci_assignment &v : values) {
		struct uci_ptr ptr = {};
		ptr.package = package;
		ptr.section = section;
		ptr.option = v.option;
		ptr.value = v.value;
		errno = 0;
		int r = uci_set(ctx, &ptr);
		if (r != UCI_OK) {
			// the changes made so far stay in ctx, uncommitted
			fail = {ptr.p ? "set" : "load", r, r == UCI_ERR_IO ? errno : 0};
			log_uci_failure(func, package, fail);
			return -1;
		}
		p = ptr.p;
	}
	if (!p)
		return 0;
	errno = 0;
	int r = uci_commit(ctx, &p, false);
	if (r != UCI_OK) {
		fail = {"commit", r, r == UCI_ERR_IO ? errno : 0};
		log_uci_failure(func, package, fail);
		return -1;
	}
	return 0;
}

void log_uci_failure(const char *func, const char *package, const uci_failure &fail)
{
	if (fail.sys_err)
		KLOG_AS(LOG_LEVEL_ERR, func, "%s %s failed: %s (%s)\n", package, fail.step, uci_error_text(fail.uci_err),
			strerror(fail.sys_err));
	else
		KLOG_AS(LOG_LEVEL_ERR, func, "%s %s failed: %s\n", package, fail.step, uci_error_text(fail.uci_err));
}

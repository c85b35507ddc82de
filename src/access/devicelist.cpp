#include "devicelist.h"

#include "../config/uci_helpers.h"
#include "../core/log.h"

#include <uci.h>

#include <cstdio>

namespace {

// The set names everything by text, so the library loads the package into
// ctx itself. A missing package or section, or a commit that fails, is
// logged under `func` and gives -1.
int store(struct uci_context *ctx, const char *func, const char *option, int32_t value)
{
	char text[32] = {};
	snprintf(text, sizeof(text), "%d", value);
	const uci_assignment stored[] = {{option, text}};
	uci_failure fail = {};
	if (uci_set_options(ctx, "devicelist", "settings", stored, fail) < 0) {
		log_uci_failure(func, "devicelist", fail);
		return -1;
	}
	return 0;
}

} // namespace

int uci_set_devicelist_level(int32_t level)
{
	private_context ctx(uci_alloc_context());
	if (!ctx) {
		KLOG_ERR("uci_set_devicelist notice alloc uci_ctx failed\n");
		return -1;
	}
	KLOG_DEBUG(" ==== set devicelist level:%d\n", level);
	return store(ctx.get(), __func__, "level", level);
}

int uci_set_devicelist_auth(int32_t auth)
{
	private_context ctx(uci_alloc_context());
	if (!ctx) {
		KLOG_ERR("uci_set_devicelist notice alloc uci_ctx failed\n");
		return -1;
	}
	KLOG_DEBUG(" ==== set devicelist auth:%d \n", auth);
	return store(ctx.get(), __func__, "auth", auth);
}

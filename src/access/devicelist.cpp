#include "devicelist.h"

#include "../config/uci_helpers.h"
#include "../core/log.h"

#include <uci.h>

#include <cstdio>
#include <memory>

namespace {

// The set names everything by text, so the library loads the package into
// ctx itself; a missing package or section leaves nothing to commit.
void store(struct uci_context *ctx, const char *option, int32_t value)
{
	char text[32] = {};
	snprintf(text, sizeof(text), "%d", value);

	struct uci_ptr ptr = {};
	ptr.package = "devicelist";
	ptr.section = "settings";
	ptr.option = option;
	ptr.value = text;
	uci_set(ctx, &ptr);
	if (!ptr.p)
		return;
	uci_commit(ctx, &ptr.p, false);
	uci_unload(ctx, ptr.p);
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
	store(ctx.get(), "level", level);
	return 0;
}

int uci_set_devicelist_auth(int32_t auth)
{
	private_context ctx(uci_alloc_context());
	if (!ctx) {
		KLOG_ERR("uci_set_devicelist notice alloc uci_ctx failed\n");
		return -1;
	}
	KLOG_DEBUG(" ==== set devicelist auth:%d \n", auth);
	store(ctx.get(), "auth", auth);
	return 0;
}

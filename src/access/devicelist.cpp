#include "devicelist.h"

#include "../config/uci_helpers.h"
#include "../core/log.h"

#include <uci.h>

#include <cstdio>

namespace {

// The set names everything by text, so the library loads the package into
// the private context itself. Lines are logged under `func`, the setter's
// name; `debug` is its line before the write.
int store(const char *func, const char *option, const char *debug, int32_t value)
{
	private_context ctx(uci_alloc_context());
	if (!ctx) {
		KLOG_AS(LOG_LEVEL_ERR, func, "uci_set_devicelist notice alloc uci_ctx failed\n");
		return -1;
	}
	KLOG_AS(LOG_LEVEL_DEBUG, func, debug, value);
	char text[32] = {};
	snprintf(text, sizeof(text), "%d", value);
	const uci_assignment stored[] = {{option, text}};
	return uci_set_options(ctx.get(), func, "devicelist", "settings", stored);
}

} // namespace

int uci_set_devicelist_level(int32_t level)
{
	return store(__func__, "level", " ==== set devicelist level:%d\n", level);
}

int uci_set_devicelist_auth(int32_t auth)
{
	return store(__func__, "auth", " ==== set devicelist auth:%d \n", auth);
}

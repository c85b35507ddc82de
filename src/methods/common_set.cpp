#include "common_set.h"

#include "../bus/reply.h"
#include "../bus/request.h"
#include "../config/uci_helpers.h"
#include "../core/log.h"
#include "../worker/runner.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

enum {
	COMMON_SET_LOG_UPLOAD,
	COMMON_SET_NEWGW,
	COMMON_SET_ACTION,
	__COMMON_SET_MAX,
};

constexpr struct blobmsg_policy common_set_policy[] = {
	{"log_upload", BLOBMSG_TYPE_STRING},
	{"newgw", BLOBMSG_TYPE_STRING},
	{"action", BLOBMSG_TYPE_STRING},
};
static_assert(ARRAY_SIZE(common_set_policy) == __COMMON_SET_MAX);

constexpr int device_id_len = 40;
// "common-K7X-" + 39 + "-" + 11 digits and sign: 62 at most.
constexpr int upload_key_len = 128;

} // namespace

int kestrad_handle_whc_client_common_set_api(struct ubus_context *ctx, struct ubus_object *,
					     struct ubus_request_data *req, const char *,
					     struct blob_attr *msg)
{
	char device_id[device_id_len] = {};
	KLOG_DEBUG(" %s get in !\n", __func__);

	struct blob_attr *tb[__COMMON_SET_MAX];
	if (request_parse(common_set_policy, __COMMON_SET_MAX, tb, msg))
		return reply_return(ctx, req, "blobmsg_parse error");

	if (tb[COMMON_SET_LOG_UPLOAD]) {
		// the CAP's key is a credential: its value stays out of the log
		KLOG_DEBUG(" %s get log upload key on cap[nouse]: %s \n", __func__, LOG_SECRET);
		// The time comes first, then the identifier; the key prints it as
		// the device does, a signed 32-bit number.
		auto now = static_cast<int32_t>(time(nullptr));
		if (uci_get_option("messaging", "deviceInfo", "DEVICE_ID", device_id, device_id_len)) {
			KLOG_DEBUG(" get devid = %s \n", device_id);
		} else {
			device_id[0] = '\0';
			KLOG_DEBUG(" get devid error! \n");
		}
		char key[upload_key_len];
		snprintf(key, sizeof key, "common-K7X-%s-%d", device_id, now);
		KLOG_DEBUG(" %s get log upload key: %s \n", __func__, key);

		// Bounded by the worker alone: no time-limit tool around lua.
		const char *argv[] = {"/usr/bin/lua", "/usr/sbin/log_ship.lua", key, nullptr};
		if (!worker_start(argv, 90))
			return reply_return(ctx, req, "worker_get() error\n");
		return reply_return(ctx, req, "success");
	}

	if (tb[COMMON_SET_NEWGW]) {
		const char *newgw = blobmsg_get_string(tb[COMMON_SET_NEWGW]);
		KLOG_DEBUG(" %s get new gateway update notify on cap: %s \n", __func__, newgw);
		const char *argv[] = {"/usr/bin/timeout", "-t", "60", "-s", "9", "/bin/sh",
				      "/sbin/mesh_gw_renew.sh", newgw, nullptr};
		if (!worker_start(argv, 65))
			return reply_return(ctx, req, "worker_get() error\n");
		return reply_return(ctx, req, "success");
	}

	if (tb[COMMON_SET_ACTION]) {
		const char *action = blobmsg_get_string(tb[COMMON_SET_ACTION]);
		KLOG_DEBUG(" get common action msg: %s \n", action);
		const char *argv[] = {"/usr/bin/timeout", "-t", "20", "-s", "9", "/bin/sh",
				      "/sbin/re_common_action.sh", action, nullptr};
		if (!worker_start(argv, 30))
			return reply_return(ctx, req, "worker_get() error\n");
		return reply_return(ctx, req, "success");
	}

	return reply_return(ctx, req, "api not found");
}

const struct ubus_method common_set_method =
	UBUS_METHOD("common_set", kestrad_handle_whc_client_common_set_api, common_set_policy);

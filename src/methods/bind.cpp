#include "bind.h"

#include "../bus/reply.h"
#include "../bus/request.h"
#include "../core/log.h"
#include "../worker/runner.h"

namespace {

enum {
	BIND_RECORD,
	BIND_DEVICE_ID,
	BIND_SIGN,
	__BIND_MAX,
};

constexpr struct blobmsg_policy bind_policy[] = {
	{"record", BLOBMSG_TYPE_STRING},
	{"deviceID", BLOBMSG_TYPE_STRING},
	{"sign", BLOBMSG_TYPE_STRING},
};
static_assert(ARRAY_SIZE(bind_policy) == __BIND_MAX);

enum {
	SMART_MSG,
	__SMART_MAX,
};

constexpr struct blobmsg_policy smart_policy[] = {
	{"msg", BLOBMSG_TYPE_STRING},
};
static_assert(ARRAY_SIZE(smart_policy) == __SMART_MAX);

} // namespace

// The values go to the script as arguments of their own, never through a
// shell: they are the gateway's, unchecked.
int kestrad_handle_whc_client_bind(struct ubus_context *ctx, struct ubus_object *,
				   struct ubus_request_data *req, const char *, struct blob_attr *msg)
{
	KLOG_DEBUG(" %s recv method bind !\n", __func__);

	struct blob_attr *tb[__BIND_MAX];
	if (request_parse(bind_policy, __BIND_MAX, tb, msg))
		return reply_return(ctx, req, "blobmsg_parse error");
	if (!tb[BIND_RECORD] || !tb[BIND_DEVICE_ID] || !tb[BIND_SIGN])
		return reply_return(ctx, req, "parse param failed");

	const char *record = blobmsg_get_string(tb[BIND_RECORD]);
	const char *device_id = blobmsg_get_string(tb[BIND_DEVICE_ID]);
	const char *sign = blobmsg_get_string(tb[BIND_SIGN]);
	KLOG_DEBUG(" get deviceID: %s !\n", device_id);
	KLOG_DEBUG(" get signature: %s !\n", sign);

	// No time-limit tool here: the worker's time-out alone bounds it.
	const char *argv[] = {"/sbin/bind_owner.sh", "bind_me", device_id, sign, record, nullptr};
	if (!worker_start(argv, 5))
		return reply_return(ctx, req, "worker_get() error\n");

	KLOG_DEBUG(" %s resm: %s !\n", __func__, "success");
	return reply_return(ctx, req, "success");
}

int kestrad_handle_whc_smart_msg(struct ubus_context *ctx, struct ubus_object *,
				 struct ubus_request_data *req, const char *, struct blob_attr *msg)
{
	struct blob_attr *tb[__SMART_MAX];
	if (request_parse(smart_policy, __SMART_MAX, tb, msg))
		return reply_return(ctx, req, "blobmsg_parse error");
	if (!tb[SMART_MSG])
		return reply_return(ctx, req, "parse param failed");

	const char *text = blobmsg_get_string(tb[SMART_MSG]);
	KLOG_DEBUG(" RE get smart msg: %s \n", text);

	const char *argv[] = {"/usr/bin/timeout", "-t", "5", "-s", "9", "msgferry", "2", text, nullptr};
	if (!worker_start(argv, 5))
		return reply_return(ctx, req, "worker_get() error\n");

	KLOG_DEBUG(" %s resm: %s !\n", __func__, "success");
	return reply_return(ctx, req, "success");
}

const struct ubus_method bind_method = UBUS_METHOD("bind", kestrad_handle_whc_client_bind, bind_policy);
const struct ubus_method smart_sync_method =
	UBUS_METHOD("smart_sync", kestrad_handle_whc_smart_msg, smart_policy);

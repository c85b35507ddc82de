#include "common_set.h"

#include "../bus/reply.h"
#include "../bus/request.h"
#include "../config/uci_helpers.h"
#include "../core/log.h"

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
constexpr field_need common_set_needs[] = {field_need::one_of, field_need::one_of, field_need::one_of};
static_assert(ARRAY_SIZE(common_set_policy) == __COMMON_SET_MAX && ARRAY_SIZE(common_set_needs) == __COMMON_SET_MAX);

constexpr const char *api_not_found = "api not found";
constexpr const char *common_set_replies[] = {REPLY_SUCCESS, REPLY_BLOBMSG_ERROR, api_not_found, REPLY_NO_WORKER};

// One job per field, in the policy's order. The upload is bounded by the
// worker alone: no time-limit tool around lua.
constexpr const char *upload_args[] = {"/usr/bin/lua", "/usr/sbin/log_ship.lua", nullptr};
constexpr const char *upload_values[] = {"KEY"};
constexpr const char *newgw_args[] = {"/bin/sh", "/sbin/mesh_gw_renew.sh", nullptr};
constexpr const char *newgw_values[] = {"NEWGW"};
constexpr const char *action_args[] = {"/bin/sh", "/sbin/re_common_action.sh", nullptr};
constexpr const char *action_values[] = {"ACTION"};
constexpr command_fact common_set_commands[] = {
	{upload_args, upload_values, nullptr, 90},
	{newgw_args, newgw_values, "60", 65},
	{action_args, action_values, "20", 30},
};
static_assert(ARRAY_SIZE(common_set_commands) == __COMMON_SET_MAX);
static_assert(command_well_formed(common_set_commands[0]) && command_well_formed(common_set_commands[1]) &&
	      command_well_formed(common_set_commands[2]));

constexpr int device_id_len = 40;
// "common-K7X-" + 39 + "-" + 11 digits and sign: 62 at most.
constexpr int upload_key_len = 128;

int start(struct ubus_context *ctx, struct ubus_request_data *req, int job, const char *value)
{
	if (!command_start(common_set_commands[job], {value}))
		return reply_return(ctx, req, REPLY_NO_WORKER);
	return reply_return(ctx, req, REPLY_SUCCESS);
}

} // namespace

int kestrad_handle_whc_client_common_set_api(struct ubus_context *ctx, struct ubus_object *,
					     struct ubus_request_data *req, const char *,
					     struct blob_attr *msg)
{
	char device_id[device_id_len] = {};
	KLOG_DEBUG(" %s get in !\n", __func__);

	struct blob_attr *tb[__COMMON_SET_MAX];
	if (request_parse(common_set_policy, __COMMON_SET_MAX, tb, msg))
		return reply_return(ctx, req, REPLY_BLOBMSG_ERROR);

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
		return start(ctx, req, COMMON_SET_LOG_UPLOAD, key);
	}

	if (tb[COMMON_SET_NEWGW]) {
		const char *newgw = blobmsg_get_string(tb[COMMON_SET_NEWGW]);
		KLOG_DEBUG(" %s get new gateway update notify on cap: %s \n", __func__, newgw);
		return start(ctx, req, COMMON_SET_NEWGW, newgw);
	}

	if (tb[COMMON_SET_ACTION]) {
		const char *action = blobmsg_get_string(tb[COMMON_SET_ACTION]);
		KLOG_DEBUG(" get common action msg: %s \n", action);
		return start(ctx, req, COMMON_SET_ACTION, action);
	}

	return reply_return(ctx, req, api_not_found);
}

const struct ubus_method common_set_method =
	UBUS_METHOD("common_set", kestrad_handle_whc_client_common_set_api, common_set_policy);
const method_facts common_set_facts = {&common_set_method, common_set_needs, common_set_replies, common_set_commands};

#include "access.h"

#include "devicelist.h"
#include "maclist.h"

#include "../bus/reply.h"
#include "../bus/request.h"
#include "../config/device.h"
#include "../config/uci_helpers.h"
#include "../core/log.h"
#include "../worker/worker.h"

#include <cstring>
#include <string_view>

namespace {

enum {
	MACLIST_POLICY,
	MACLIST_LIST,
	MACLIST_LEVEL,
	MACLIST_AUTH,
	__MACLIST_MAX,
};

constexpr struct blobmsg_policy macList_desc_policy[] = {
	{"policy", BLOBMSG_TYPE_INT32},
	{"list", BLOBMSG_TYPE_STRING},
	{"level", BLOBMSG_TYPE_INT32},
	{"auth", BLOBMSG_TYPE_INT32},
};
constexpr field_need macList_desc_needs[] = {field_need::yes, field_need::yes, field_need::no, field_need::no};
static_assert(ARRAY_SIZE(macList_desc_policy) == __MACLIST_MAX && ARRAY_SIZE(macList_desc_needs) == __MACLIST_MAX);

constexpr const char *access_replies[] = {REPLY_SUCCESS, REPLY_SYNC_BUSY, REPLY_UCI_ERROR};

// The Wi-Fi reload, after a rewrite only; SCRIPT depends on the model.
constexpr const char *reload_args[] = {"/bin/sh", nullptr};
constexpr const char *reload_values[] = {"SCRIPT"};
constexpr command_fact access_commands[] = {{reload_args, reload_values, "40", 50}};
static_assert(command_well_formed(access_commands[0]));

constexpr char handler_name[] = "kestrad_handle_macList_desc"; // the name its log lines carry

const char *reload_script()
{
	std::string_view model(cfg.model, strnlen(cfg.model, sizeof(cfg.model)));
	return model == "K7X" ? "/sbin/kestrad_maclist_reload.sh" : "/sbin/wifi";
}

} // namespace

int kestrad_handle_macList_desc(struct ubus_context *ctx, struct ubus_object *,
				struct ubus_request_data *req, const char *, struct blob_attr *msg)
{
	struct blob_attr *tb[__MACLIST_MAX];
	request_parse(macList_desc_policy, __MACLIST_MAX, tb, msg); // only presence counts
	if (!required_present(access_facts, tb)) {
		KLOG_ERR("notice_vimb_device_maclist func:%s out\n", __func__);
		return 0;
	}

	const char *list = blobmsg_get_string(tb[MACLIST_LIST]);
	auto type = static_cast<int32_t>(blobmsg_get_u32(tb[MACLIST_POLICY]));
	KLOG_DEBUG("notice_vimb_device_maclist type:%d maclist:%s\n", type, list);

	// Stored whatever the comparison finds.
	if (tb[MACLIST_LEVEL]) {
		auto level = static_cast<int32_t>(blobmsg_get_u32(tb[MACLIST_LEVEL]));
		KLOG_DEBUG("kestrad_handle_macList_desc level:%d \n", level);
		if (uci_set_devicelist_level(level))
			KLOG_ERR(" uci_set_devicelist_level() error\n");
	}
	if (tb[MACLIST_AUTH]) {
		auto auth = static_cast<int32_t>(blobmsg_get_u32(tb[MACLIST_AUTH]));
		KLOG_DEBUG("kestrad_handle_macList_desc auth:%d \n", auth);
		if (uci_set_devicelist_auth(auth))
			KLOG_ERR(" uci_set_devicelist_auth() error\n");
	}

	uci_failure fail = {};
	maclist_check found = compareMacList(macfilter_text(type), list, fail);
	if (found == maclist_check::unreadable) {
		log_uci_failure(handler_name, "wireless", fail); // nothing to compare with
		return reply_return(ctx, req, REPLY_UCI_ERROR);
	}
	if (found == maclist_check::unchanged)
		return reply_return(ctx, req, REPLY_SUCCESS);

	// The reload's slot comes first: with none free nothing is written, so
	// that the CAP's retry still finds the change to make and reloads.
	worker *slot = worker_get();
	if (!slot) {
		KLOG_ERR("vimb worker_get() error\n");
		return reply_return(ctx, req, REPLY_SYNC_BUSY);
	}
	// The old lists cleared and the new ones written in one commit.
	if (rewriteMacList(type, list, fail) < 0) {
		worker_put(slot);
		log_uci_failure(handler_name, "wireless", fail);
		return reply_return(ctx, req, REPLY_UCI_ERROR);
	}

	command_launch(slot, access_commands[0], {reload_script()});
	return reply_return(ctx, req, REPLY_SUCCESS);
}

const struct ubus_method access_method = UBUS_METHOD("access", kestrad_handle_macList_desc, macList_desc_policy);
const method_facts access_facts = {&access_method, macList_desc_needs, access_replies, access_commands};

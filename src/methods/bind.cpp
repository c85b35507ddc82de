#include "bind.h"

#include "../bus/method.h"
#include "../bus/reply.h"
#include "../bus/request.h"
#include "../core/log.h"

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
constexpr field_need bind_needs[] = {field_need::yes, field_need::yes, field_need::yes};
static_assert(ARRAY_SIZE(bind_policy) == __BIND_MAX && ARRAY_SIZE(bind_needs) == __BIND_MAX);

enum {
	SMART_MSG,
	__SMART_MAX,
};

constexpr struct blobmsg_policy smart_policy[] = {
	{"msg", BLOBMSG_TYPE_STRING},
};
constexpr field_need smart_needs[] = {field_need::yes};
static_assert(ARRAY_SIZE(smart_policy) == __SMART_MAX && ARRAY_SIZE(smart_needs) == __SMART_MAX);

// Both answer alike.
constexpr const char *missing_field = "parse param failed";
constexpr const char *replies[] = {REPLY_SUCCESS, REPLY_BLOBMSG_ERROR, missing_field, REPLY_NO_WORKER};

// The values go to the programs as arguments of their own, never through a
// shell: they are the gateway's, unchecked. No time-limit tool around the
// bind script: the worker's time-out alone bounds it.
constexpr const char *bind_args[] = {"/sbin/bind_owner.sh", "bind_me", nullptr, nullptr, nullptr};
constexpr const char *bind_values[] = {"DEVICE_ID", "SIGN", "RECORD"};
constexpr const char *smart_args[] = {"msgferry", "2", nullptr};
constexpr const char *smart_values[] = {"TEXT"};
constexpr command_fact bind_commands[] = {{bind_args, bind_values, nullptr, 5}};
constexpr command_fact smart_commands[] = {{smart_args, smart_values, "5", 5}};
static_assert(command_well_formed(bind_commands[0]) && command_well_formed(smart_commands[0]));

// Parsed with every field present, or answered why not.
bool parsed(struct ubus_context *ctx, struct ubus_request_data *req, const method_facts &m, struct blob_attr **tb,
	    struct blob_attr *msg)
{
	if (request_parse(m.method->policy, m.method->n_policy, tb, msg))
		reply_return(ctx, req, REPLY_BLOBMSG_ERROR);
	else if (!required_present(m, tb))
		reply_return(ctx, req, missing_field);
	else
		return true;
	return false;
}

// Started, or the reply that says why not.
int start(struct ubus_context *ctx, struct ubus_request_data *req, const char *func, const command_fact &c,
	  std::initializer_list<const char *> values)
{
	if (!command_start(c, values))
		return reply_return(ctx, req, REPLY_NO_WORKER);
	KLOG_AS(LOG_LEVEL_DEBUG, func, " %s resm: %s !\n", func, REPLY_SUCCESS);
	return reply_return(ctx, req, REPLY_SUCCESS);
}

} // namespace

int kestrad_handle_whc_client_bind(struct ubus_context *ctx, struct ubus_object *,
				   struct ubus_request_data *req, const char *, struct blob_attr *msg)
{
	KLOG_DEBUG(" %s recv method bind !\n", __func__);

	struct blob_attr *tb[__BIND_MAX];
	if (!parsed(ctx, req, bind_facts, tb, msg))
		return 0;

	const char *record = blobmsg_get_string(tb[BIND_RECORD]);
	const char *device_id = blobmsg_get_string(tb[BIND_DEVICE_ID]);
	const char *sign = blobmsg_get_string(tb[BIND_SIGN]);
	KLOG_DEBUG(" get deviceID: %s !\n", device_id);
	KLOG_DEBUG(" get signature: %s !\n", sign);

	return start(ctx, req, __func__, bind_commands[0], {device_id, sign, record});
}

int kestrad_handle_whc_smart_msg(struct ubus_context *ctx, struct ubus_object *,
				 struct ubus_request_data *req, const char *, struct blob_attr *msg)
{
	struct blob_attr *tb[__SMART_MAX];
	if (!parsed(ctx, req, smart_sync_facts, tb, msg))
		return 0;

	const char *text = blobmsg_get_string(tb[SMART_MSG]);
	KLOG_DEBUG(" RE get smart msg: %s \n", text);
	return start(ctx, req, __func__, smart_commands[0], {text});
}

const struct ubus_method bind_method = UBUS_METHOD("bind", kestrad_handle_whc_client_bind, bind_policy);
const method_facts bind_facts = {&bind_method, bind_needs, replies, bind_commands};
const struct ubus_method smart_sync_method =
	UBUS_METHOD("smart_sync", kestrad_handle_whc_smart_msg, smart_policy);
const method_facts smart_sync_facts = {&smart_sync_method, smart_needs, replies, smart_commands};

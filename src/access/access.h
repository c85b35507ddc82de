// The method access: the gateway's MAC filter and its devicelist settings.
#pragma once

#include "../bus/method.h"

// access {"policy","list"[,"level"][,"auth"]}: stores level and auth, then
// rewrites the wireless MAC filter and starts a Wi-Fi reload under a worker
// only when the LAN AP interfaces hold something else. Sends no reply at all
// when "policy" or "list" is missing. Returns 0.
int kestrad_handle_macList_desc(struct ubus_context *ctx, struct ubus_object *obj,
				struct ubus_request_data *req, const char *method, struct blob_attr *msg);

// Its entry in the RE, LAN AP and Wi-Fi AP tables.
extern const struct ubus_method access_method;
extern const method_facts access_facts;

// The method common_set of the RE object: one administrative job per request
// (log upload, new gateway, common action), started under a worker; the
// answer comes at once.
#pragma once

#include "../bus/ubus.h"

// common_set {"log_upload","newgw","action"}, all optional; the first present
// in that order is acted on, the rest ignored:
//   log_upload: "/usr/bin/lua" "/usr/sbin/log_ship.lua" KEY, worker 90 s,
//     KEY "common-K7X-<DEVICE_ID>-<epoch seconds>" (the value is only logged);
//   newgw:  the time-limit tool (60 s) around "/bin/sh" "/sbin/mesh_gw_renew.sh" value, worker 65 s;
//   action: the time-limit tool (20 s) around "/bin/sh" "/sbin/re_common_action.sh" value, worker 30 s.
// Returns 0.
int kestrad_handle_whc_client_common_set_api(struct ubus_context *ctx, struct ubus_object *obj,
					     struct ubus_request_data *req, const char *method,
					     struct blob_attr *msg);

// Its entry in the RE table.
extern const struct ubus_method common_set_method;

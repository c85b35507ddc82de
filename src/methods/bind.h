// The methods bind and smart_sync of the RE object: each hands the gateway's
// values to a program of the satellite under a worker and answers at once,
// without learning how the program ends.
#pragma once

#include "../bus/ubus.h"

// bind {"record","deviceID","sign"}: starts "/sbin/bind_owner.sh" "bind_me"
// deviceID sign record (record last) under a 5 s worker time-out. Returns 0.
int kestrad_handle_whc_client_bind(struct ubus_context *ctx, struct ubus_object *obj,
				   struct ubus_request_data *req, const char *method,
				   struct blob_attr *msg);

// smart_sync {"msg"}: starts "msgferry" "2" msg under the time-limit tool
// (5 s, signal 9) and a 5 s worker time-out. Returns 0.
int kestrad_handle_whc_smart_msg(struct ubus_context *ctx, struct ubus_object *obj,
				 struct ubus_request_data *req, const char *method, struct blob_attr *msg);

// Their entries in the RE table.
extern const struct ubus_method bind_method;
extern const struct ubus_method smart_sync_method;

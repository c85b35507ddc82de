// The methods bind and smart_sync of the RE object: each hands the gateway's
// values to a program of the satellite under a worker and answers at once,
// without learning how the program ends.
#pragma once

#include "../bus/method.h"

// bind {"record","deviceID","sign"}: the bind script gets deviceID, sign and
// record (record last). Returns 0.
int kestrad_handle_whc_client_bind(struct ubus_context *ctx, struct ubus_object *obj,
				   struct ubus_request_data *req, const char *method,
				   struct blob_attr *msg);

// smart_sync {"msg"}: the message tool gets the text. Returns 0.
int kestrad_handle_whc_smart_msg(struct ubus_context *ctx, struct ubus_object *obj,
				 struct ubus_request_data *req, const char *method, struct blob_attr *msg);

// Their entries in the RE table.
extern const struct ubus_method bind_method;
extern const method_facts bind_facts;
extern const struct ubus_method smart_sync_method;
extern const method_facts smart_sync_facts;

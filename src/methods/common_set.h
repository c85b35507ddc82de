// The method common_set of the RE object: one administrative job per request
// (log upload, new gateway, common action), started under a worker; the
// answer comes at once.
#pragma once

#include "../bus/method.h"

// common_set {"log_upload","newgw","action"}, all optional; the first present
// in that order starts its job, the rest are ignored. The log upload gets
// the key "common-K7X-<DEVICE_ID>-<epoch seconds>" (the CAP's value is only
// logged), the other two jobs the value received. Returns 0.
int kestrad_handle_whc_client_common_set_api(struct ubus_context *ctx, struct ubus_object *obj,
					     struct ubus_request_data *req, const char *method,
					     struct blob_attr *msg);

// Its entry in the RE table.
extern const struct ubus_method common_set_method;
extern const method_facts common_set_facts;

// The method "test": answers that the daemon is alive.
#pragma once

#include "method.h"

int kestrad_handle_test(struct ubus_context *ctx, struct ubus_object *obj,
			struct ubus_request_data *req, const char *method, struct blob_attr *msg);

// Its entry in the router and LAN AP tables.
extern const struct ubus_method test_method;
extern const method_facts test_facts;

// The method "notice" of a Wi-Fi AP: the gateway pushes the Wi-Fi
// credentials of both bands, base64-encoded.
#pragma once

#include "../bus/method.h"

// Returns 0, or -1 when no UCI context can be had (then nothing is parsed,
// written or replied).
int kestrad_handle_desc(struct ubus_context *ctx, struct ubus_object *obj,
			struct ubus_request_data *req, const char *method, struct blob_attr *msg);

// Its entry in the Wi-Fi AP table.
extern const struct ubus_method notice_method;
extern const method_facts notice_facts;

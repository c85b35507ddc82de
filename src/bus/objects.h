// The four bus objects, their method tables and the shared reply buffer.
#pragma once

#include <libubus.h>

extern struct blob_buf reply_buf;

extern struct ubus_object kestrad_master_vimb_object; // router
extern struct ubus_object kestrad_vimb_object;        // Wi-Fi AP
extern struct ubus_object kestrad_re_vimb_object;     // mesh range extender
extern struct ubus_object kestrad_lanAP_vimb_object;  // LAN AP

// Publishes on vimb_ctx, replacing an earlier publication of the object.
int kestrad_add_object(struct ubus_object *obj);

int kestrad_handle_test(struct ubus_context *ctx, struct ubus_object *obj,
			struct ubus_request_data *req, const char *method, struct blob_attr *msg);

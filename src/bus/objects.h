// The four bus objects and their method tables.
#pragma once

#include "ubus.h"

extern struct ubus_object kestrad_master_vimb_object; // router
extern struct ubus_object kestrad_vimb_object;        // Wi-Fi AP
extern struct ubus_object kestrad_re_vimb_object;     // mesh range extender
extern struct ubus_object kestrad_lanAP_vimb_object;  // LAN AP

// Publishes on vimb_ctx, replacing an earlier publication of the object.
int kestrad_add_object(struct ubus_object *obj);

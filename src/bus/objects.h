// The four bus objects and their method tables.
#pragma once

#include "method.h"

#include <span>

extern struct ubus_object kestrad_master_vimb_object; // router
extern struct ubus_object kestrad_vimb_object;        // Wi-Fi AP
extern struct ubus_object kestrad_re_vimb_object;     // mesh range extender
extern struct ubus_object kestrad_lanAP_vimb_object;  // LAN AP

// Publishes on vimb_ctx, replacing an earlier publication of the object.
int kestrad_add_object(struct ubus_object *obj);

// Each object with the facts of its methods in slot order, for the method
// reference; the modes in the order it describes them.
struct object_facts {
	const char *mode;
	const char *symbol; // the object's name in the source
	const struct ubus_object *object;
	std::span<const method_facts *const> methods;
};
extern const object_facts kestrad_objects[4];

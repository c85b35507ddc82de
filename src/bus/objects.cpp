#include "objects.h"

#include "connection.h"
#include "test_method.h"

#include "../access/access.h"

#include "../methods/bind.h"
#include "../methods/common_set.h"
#include "../methods/notice.h"
#include "../methods/whc_quire.h"
#include "../methods/whc_sync.h"

#include "../core/log.h"

// Each method's file holds its entry; the tables list the entries in slot
// order. Methods of later subsystems join in their slots; until then each
// table lists the methods that exist.
namespace {

struct ubus_method kestrad_master_vimb_methods[] = {
	test_method, // slot 1
};

struct ubus_method kestrad_wifi_ap_vimb_methods[] = {
	notice_method, // slot 1
	access_method, // slot 2
};

struct ubus_method kestrad_re_vimb_methods[] = {
	// slots 1-6: "access", "whc_sync", "whc_quire", "bind", "smart_sync", "common_set"
	access_method, // slot 1
	whc_sync_method,   // slot 2
	whc_quire_method,  // slot 3
	bind_method,       // slot 4
	smart_sync_method, // slot 5
	common_set_method, // slot 6
};

struct ubus_method kestrad_lanAP_vimb_methods[] = {
	access_method, // slot 1
	test_method, // slot 2
};

struct ubus_object_type kestrad_master_vimb_object_type =
	UBUS_OBJECT_TYPE("kestrad", kestrad_master_vimb_methods);
struct ubus_object_type kestrad_wifi_ap_vimb_object_type =
	UBUS_OBJECT_TYPE("kestrad", kestrad_wifi_ap_vimb_methods);
struct ubus_object_type kestrad_re_vimb_object_type =
	UBUS_OBJECT_TYPE("kestrad", kestrad_re_vimb_methods);
struct ubus_object_type kestrad_lanAP_vimb_object_type =
	UBUS_OBJECT_TYPE("kestrad", kestrad_lanAP_vimb_methods);

} // namespace

struct ubus_object kestrad_master_vimb_object = {
	.name = "default",
	.type = &kestrad_master_vimb_object_type,
	.methods = kestrad_master_vimb_methods,
	.n_methods = ARRAY_SIZE(kestrad_master_vimb_methods),
};

struct ubus_object kestrad_vimb_object = {
	.name = "default",
	.type = &kestrad_wifi_ap_vimb_object_type,
	.methods = kestrad_wifi_ap_vimb_methods,
	.n_methods = ARRAY_SIZE(kestrad_wifi_ap_vimb_methods),
};

struct ubus_object kestrad_re_vimb_object = {
	.name = "default",
	.type = &kestrad_re_vimb_object_type,
	.methods = kestrad_re_vimb_methods,
	.n_methods = ARRAY_SIZE(kestrad_re_vimb_methods),
};

struct ubus_object kestrad_lanAP_vimb_object = {
	.name = "default",
	.type = &kestrad_lanAP_vimb_object_type,
	.methods = kestrad_lanAP_vimb_methods,
	.n_methods = ARRAY_SIZE(kestrad_lanAP_vimb_methods),
};

int kestrad_add_object(struct ubus_object *obj)
{
	int ret = ubus_replace_object(vimb_ctx, obj);
	if (ret)
		KLOG_ERR("Failed to publish object '%s': %s\n", obj->name, ubus_strerror(ret));
	else
		KLOG_DEBUG("successful to publish object '%s'\n", obj->name);
	return ret;
}

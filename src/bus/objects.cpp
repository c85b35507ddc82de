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

namespace {

// One object's methods in slot order: their facts, and the records the bus
// takes, copied from them.
template <size_t N>
struct method_slots {
	const method_facts *facts[N];
	struct ubus_method methods[N];
};

template <typename... M>
method_slots<sizeof...(M)> slots(const M &...m)
{
	return {{&m...}, {*m.method...}};
}

auto kestrad_master_vimb_methods = slots(test_facts);
auto kestrad_wifi_ap_vimb_methods = slots(notice_facts, access_facts);
auto kestrad_re_vimb_methods =
	slots(access_facts, whc_sync_facts, whc_quire_facts, bind_facts, smart_sync_facts, common_set_facts);
auto kestrad_lanAP_vimb_methods = slots(access_facts, test_facts);

} // namespace

// Each object has a type record of its own, named "kestrad", with the same
// methods; its name is "default" until the connection names it.
#define KESTRAD_OBJECT(object, type_record, table)                                      \
	static struct ubus_object_type type_record = UBUS_OBJECT_TYPE("kestrad", table.methods); \
	struct ubus_object object = {                                                   \
		.name = "default",                                                      \
		.type = &type_record,                                                   \
		.methods = table.methods,                                               \
		.n_methods = ARRAY_SIZE(table.methods),                                 \
	}

KESTRAD_OBJECT(kestrad_master_vimb_object, kestrad_master_vimb_object_type, kestrad_master_vimb_methods);
KESTRAD_OBJECT(kestrad_vimb_object, kestrad_wifi_ap_vimb_object_type, kestrad_wifi_ap_vimb_methods);
KESTRAD_OBJECT(kestrad_re_vimb_object, kestrad_re_vimb_object_type, kestrad_re_vimb_methods);
KESTRAD_OBJECT(kestrad_lanAP_vimb_object, kestrad_lanAP_vimb_object_type, kestrad_lanAP_vimb_methods);

#define OBJECT_FACTS(mode, object, table) {mode, #object, &object, table.facts}

const object_facts kestrad_objects[4] = {
	OBJECT_FACTS("router", kestrad_master_vimb_object, kestrad_master_vimb_methods),
	OBJECT_FACTS("LAN AP", kestrad_lanAP_vimb_object, kestrad_lanAP_vimb_methods),
	OBJECT_FACTS("Wi-Fi AP", kestrad_vimb_object, kestrad_wifi_ap_vimb_methods),
	OBJECT_FACTS("RE", kestrad_re_vimb_object, kestrad_re_vimb_methods),
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

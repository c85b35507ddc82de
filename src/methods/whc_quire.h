// The method whc_quire of the RE object: stores the gateway's device id and
// web password, and answers with the satellite's identity and link data.
#pragma once

#include "../bus/method.h"

// Writes bind.info.remoteID (whenever "cap_devid" comes) and
// account.common.admin (only when "webpasswd" differs from the stored one),
// each through a UCI context of its own. Then runs four short commands inline
// and replies with wanmac, g2stamac, g5stamac, backhauls, backhauls_qa,
// locale, devid, initted and "return" last. Blocks the loop until every
// command has ended. Returns 0.
int kestrad_handle_whc_quire(struct ubus_context *ctx, struct ubus_object *obj,
			     struct ubus_request_data *req, const char *method, struct blob_attr *msg);

// Its entry in the RE table.
extern const struct ubus_method whc_quire_method;
extern const method_facts whc_quire_facts;

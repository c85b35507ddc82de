// The method whc_sync of the RE object: the gateway's mesh Wi-Fi and system
// settings, written to the settings file for a script to apply.
#pragma once

#include "../bus/method.h"

// Path of the settings file: one "name:=value\n" line per field received, in
// policy order. Replaced whole by each request (a temporary file in the same
// directory renamed into place), so a script still reading the previous one
// never sees it half written.
constexpr char WHC_SYNC_SETTINGS_PATH[] = "/var/run/kestrad_whc_sync";
constexpr char WHC_SYNC_SETTINGS_TEMP[] = "/var/run/kestrad_whc_sync.tmp";

// Writes the settings file, then starts the sync script under a worker and
// replies at once. Returns 0.
int kestrad_handle_whc_sync(struct ubus_context *ctx, struct ubus_object *obj,
			    struct ubus_request_data *req, const char *method, struct blob_attr *msg);

// Its entry in the RE table.
extern const struct ubus_method whc_sync_method;
extern const method_facts whc_sync_facts;

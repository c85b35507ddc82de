#include "notice.h"

#include "base64.h"

#include "../bus/reply.h"
#include "../config/uci_helpers.h"
#include "../bus/request.h"
#include "../core/log.h"

#include <cstdlib>
#include <memory>
#include <uci.h>

namespace {

enum {
	NOTICE_SSID,
	NOTICE_PASSWD,
	NOTICE_SSID_5G,
	NOTICE_PASSWD_5G,
	__NOTICE_MAX,
};

constexpr struct blobmsg_policy notice_policy[] = {
	{"ssid", BLOBMSG_TYPE_STRING},
	{"passwd", BLOBMSG_TYPE_STRING},
	{"ssid_5g", BLOBMSG_TYPE_STRING},
	{"passwd_5g", BLOBMSG_TYPE_STRING},
};
// Each band's name and passphrase come as a pair.
constexpr field_need notice_needs[] = {field_need::with_next, field_need::with_prev, field_need::with_next,
				       field_need::with_prev};
static_assert(ARRAY_SIZE(notice_policy) == __NOTICE_MAX && ARRAY_SIZE(notice_needs) == __NOTICE_MAX);

constexpr const char *base64_error = "fail, base64 error";
constexpr const char *notice_replies[] = {REPLY_SUCCESS, base64_error, REPLY_UCI_ERROR};

constexpr size_t value_size = 128; // a decoded value of 127 bytes and its terminator

} // namespace

// Every field of the complete pairs is decoded, and all the new values are
// committed in one change of marovela, before anything is answered: a field
// that is not base64 or a commit that fails leaves the configuration as it
// was, and the relink starts only on credentials that were stored.
int kestrad_handle_desc(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
			const char *, struct blob_attr *msg)
{
	char values[__NOTICE_MAX][value_size] = {};

	private_context uci(uci_alloc_context());
	if (!uci)
		return -1;

	struct blob_attr *tb[__NOTICE_MAX];
	if (request_parse(notice_policy, __NOTICE_MAX, tb, msg) != 0)
		return 0; // malformed: treated as carrying no pair
	bool pair_2g = pair_present(notice_facts, tb, NOTICE_SSID);
	bool pair_5g = pair_present(notice_facts, tb, NOTICE_SSID_5G);
	if (!pair_2g && !pair_5g)
		return 0;

	for (int i = 0; i < __NOTICE_MAX; i++) {
		bool wanted = i < NOTICE_SSID_5G ? pair_2g : pair_5g;
		if (wanted && base64_decode(blobmsg_get_string(tb[i]), values[i], value_size) < 0)
			return reply_return(ctx, req, base64_error);
	}

	uci_assignment stored[__NOTICE_MAX + 1];
	size_t n = 0;
	if (pair_2g) {
		KLOG_DEBUG("notice_vimb_device 2g ssid: %s pwd:%s\n", values[NOTICE_SSID], LOG_SECRET);
		stored[n++] = {"BEUSED_SSID", values[NOTICE_SSID]};
		stored[n++] = {"BEUSED_PASSWD", values[NOTICE_PASSWD]};
	}
	if (pair_5g) {
		KLOG_DEBUG("notice_vimb_device 5g ssid: %s pwd:%s\n", values[NOTICE_SSID_5G], LOG_SECRET);
		stored[n++] = {"BEUSED_SSID_5G", values[NOTICE_SSID_5G]};
		stored[n++] = {"BEUSED_PASSWD_5G", values[NOTICE_PASSWD_5G]};
	}
	stored[n++] = {"AP_STATUS", "FAILED"};
	if (uci_set_options(uci.get(), __func__, "marovela", "common", std::span(stored, n)) < 0)
		return reply_return(ctx, req, REPLY_UCI_ERROR);
	uci.reset();
	reply_return(ctx, req, REPLY_SUCCESS);

	// The "&" puts the script in the background: system returns at once, and
	// what the script makes of it is not ours to report.
	[[maybe_unused]] int shell = system("/usr/bin/lua /usr/sbin/ap_relink.lua&");
	return 0;
}

// Its relink goes through system, no worker: no command of the table.
const struct ubus_method notice_method = UBUS_METHOD("notice", kestrad_handle_desc, notice_policy);
const method_facts notice_facts = {&notice_method, notice_needs, notice_replies, {}};

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
static_assert(ARRAY_SIZE(notice_policy) == __NOTICE_MAX);

constexpr size_t value_size = 128; // a decoded value of 127 bytes and its terminator

// One option in a cycle of its own, so each value is on disk before the next
// is set. Outcomes are not looked at: a write that fails changes nothing.
void store_common(struct uci_context *ctx, const char *option, const char *value)
{
	struct uci_ptr ptr = {};
	ptr.package = "marovela";
	ptr.section = "common";
	ptr.option = option;
	ptr.value = value;
	uci_set(ctx, &ptr);
	if (!ptr.p)
		return; // the package did not load
	uci_commit(ctx, &ptr.p, false);
	uci_unload(ctx, ptr.p);
}

} // namespace

// Every field of the complete pairs is decoded before anything is answered
// or written: one that is not base64 leaves the configuration as it was.
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
	bool pair_2g = tb[NOTICE_SSID] && tb[NOTICE_PASSWD];
	bool pair_5g = tb[NOTICE_SSID_5G] && tb[NOTICE_PASSWD_5G];
	if (!pair_2g && !pair_5g)
		return 0;

	for (int i = 0; i < __NOTICE_MAX; i++) {
		bool wanted = i < NOTICE_SSID_5G ? pair_2g : pair_5g;
		if (wanted && base64_decode(blobmsg_get_string(tb[i]), values[i], value_size) < 0) {
			blob_buf_init(&reply_buf, 0);
			blobmsg_add_string(&reply_buf, "return", "fail, base64 error");
			ubus_send_reply(ctx, req, reply_buf.head);
			return 0;
		}
	}

	blob_buf_init(&reply_buf, 0);
	blobmsg_add_string(&reply_buf, "return", "success");
	ubus_send_reply(ctx, req, reply_buf.head);

	if (pair_2g) {
		KLOG_DEBUG("notice_vimb_device 2g ssid: %s pwd:%s\n", values[NOTICE_SSID], LOG_SECRET);
		store_common(uci.get(), "BEUSED_SSID", values[NOTICE_SSID]);
		store_common(uci.get(), "BEUSED_PASSWD", values[NOTICE_PASSWD]);
	}
	if (pair_5g) {
		KLOG_DEBUG("notice_vimb_device 5g ssid: %s pwd:%s\n", values[NOTICE_SSID_5G], LOG_SECRET);
		store_common(uci.get(), "BEUSED_SSID_5G", values[NOTICE_SSID_5G]);
		store_common(uci.get(), "BEUSED_PASSWD_5G", values[NOTICE_PASSWD_5G]);
	}
	store_common(uci.get(), "AP_STATUS", "FAILED");
	uci.reset();

	// The "&" puts the script in the background: system returns at once, and
	// what the script makes of it is not ours to report.
	[[maybe_unused]] int shell = system("/usr/bin/lua /usr/sbin/ap_relink.lua&");
	return 0;
}

const struct ubus_method notice_method = UBUS_METHOD("notice", kestrad_handle_desc, notice_policy);

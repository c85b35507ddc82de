#include "whc_quire.h"

#include "../bus/reply.h"
#include "../bus/request.h"
#include "../config/uci_helpers.h"
#include "../core/log.h"
#include "../worker/runner.h"

#include <cstdlib>
#include <cstring>
#include <uci.h>

namespace {

enum {
	WHC_QUIRE_CAP_DEVID,
	WHC_QUIRE_WEBPASSWD,
	__WHC_QUIRE_MAX,
};

constexpr struct blobmsg_policy whc_quire_policy[] = {
	{"cap_devid", BLOBMSG_TYPE_STRING},
	{"webpasswd", BLOBMSG_TYPE_STRING},
};
constexpr field_need whc_quire_needs[__WHC_QUIRE_MAX] = {};
static_assert(ARRAY_SIZE(whc_quire_policy) == __WHC_QUIRE_MAX);

constexpr const char *whc_quire_replies[] = {REPLY_SUCCESS, REPLY_PARSE_ERROR};

// Output capacities of the four commands; their buffers hold one byte more
// for the terminator.
constexpr int mac_capacity = 18;
constexpr int backhaul_capacity = 4;

constexpr int locale_size = 256;
constexpr int devid_size = 40;
constexpr int initted_size = 40;

constexpr char wanmac_cmd[] = "echo -n $(readmac wan 2>/dev/null)";
constexpr char g2stamac_cmd[] = "echo -n $(ifconfig wl11 | grep HWaddr | awk -F ' ' '{print $5}' 2>/dev/null)";
constexpr char g5stamac_cmd[] = "echo -n $(ifconfig wl01 | grep HWaddr | awk -F ' ' '{print $5}' 2>/dev/null)";
constexpr char backhaul_cmd[] = "bhstat getmetric; echo $?";

// Sets package.section.option and commits it at once, in a context of its
// own; a refused set (no such package or section) or a failed commit is
// logged under the handler's name and changes nothing. true once committed.
bool store(const char *func, const char *package, const char *section, const char *option, const char *value)
{
	private_context ctx(uci_alloc_context());
	if (!ctx)
		return false;
	const uci_assignment stored[] = {{option, value}};
	return uci_set_options(ctx.get(), func, package, section, stored) == 0;
}

// The nibble as the character after '0': 10 to 15 give ':' to '?'.
char nibble_char(int nibble) { return static_cast<char>(48 + (nibble & 15)); }

} // namespace

int kestrad_handle_whc_quire(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
			     const char *, struct blob_attr *msg)
{
	char wanmac[mac_capacity + 1] = {};
	char g2stamac[mac_capacity + 1] = {};
	char g5stamac[mac_capacity + 1] = {};
	char backhaul[backhaul_capacity + 1] = {};
	char backhauls[2] = {};
	char backhauls_qa[2] = {};
	char locale[locale_size] = {};
	char devid[devid_size] = {};
	char initted[initted_size] = {};
	KLOG_DEBUG(" re recv whc_quire :%s\n", __func__);

	blob_buf_init(&reply_buf, 0);
	struct blob_attr *tb[__WHC_QUIRE_MAX];
	if (request_parse(whc_quire_policy, __WHC_QUIRE_MAX, tb, msg)) {
		KLOG_ERR(" %s \n", REPLY_PARSE_ERROR);
		blobmsg_add_string(&reply_buf, "return", REPLY_PARSE_ERROR);
		ubus_send_reply(ctx, req, reply_buf.head);
		return 0;
	}

	if (tb[WHC_QUIRE_CAP_DEVID]) {
		const char *cap_devid = blobmsg_get_string(tb[WHC_QUIRE_CAP_DEVID]);
		if (store(__func__, "bind", "info", "remoteID", cap_devid))
			KLOG_DEBUG(" save devid from cap %s \n", cap_devid);
	} else {
		KLOG_DEBUG(" no devid from cap find \n");
	}

	if (tb[WHC_QUIRE_WEBPASSWD]) {
		const char *webpasswd = blobmsg_get_string(tb[WHC_QUIRE_WEBPASSWD]);
		// Whole values: a stored password is not cut to a buffer first. One
		// that cannot be read counts as empty.
		int same = uci_option_compare_secret("account", "common", "admin", webpasswd);
		if (same >= 0)
			KLOG_DEBUG(" get old passwd = %s \n", LOG_SECRET);
		bool differs = same < 0 ? *webpasswd != 0 : same == 0;
		if (differs && store(__func__, "account", "common", "admin", webpasswd))
			KLOG_DEBUG(" save web passwd from cap %s \n", LOG_SECRET);
	} else {
		KLOG_DEBUG(" no web passwd from cap find \n");
	}

	if (get_cmd_result(wanmac_cmd, wanmac, mac_capacity)) {
		KLOG_DEBUG(" wanmac=%s, reg to reply ms \n", wanmac);
		blobmsg_add_string(&reply_buf, "wanmac", wanmac);
	}
	if (get_cmd_result(g2stamac_cmd, g2stamac, mac_capacity)) {
		KLOG_DEBUG(" g2stamac=%s, reg to reply ms \n", g2stamac);
		blobmsg_add_string(&reply_buf, "g2stamac", g2stamac);
	}
	if (get_cmd_result(g5stamac_cmd, g5stamac, mac_capacity)) {
		KLOG_DEBUG(" g5stamac=%s, reg to reply ms \n", g5stamac);
		blobmsg_add_string(&reply_buf, "g5stamac", g5stamac);
	}
	if (get_cmd_result(backhaul_cmd, backhaul, backhaul_capacity)) {
		int value = atoi(backhaul);
		backhauls[0] = nibble_char(value);
		backhauls_qa[0] = nibble_char(value >> 4);
		// two spaces before the comma, as the device logs it
		KLOG_DEBUG(" backhauls=%s  , 0x%x, %s, %s \n", backhaul, static_cast<unsigned>(value), backhauls,
			   backhauls_qa);
		blobmsg_add_string(&reply_buf, "backhauls", backhauls);
		blobmsg_add_string(&reply_buf, "backhauls_qa", backhauls_qa);
	}

	if (uci_get_option("marovela", "common", "ROUTER_LOCALE", locale, sizeof(locale))) {
		KLOG_DEBUG(" get locale = %s \n", locale);
		blobmsg_add_string(&reply_buf, "locale", locale);
	}
	if (uci_get_option("messaging", "deviceInfo", "DEVICE_ID", devid, sizeof(devid))) {
		KLOG_DEBUG(" get devid = %s \n", devid);
		blobmsg_add_string(&reply_buf, "devid", devid);
	}
	uci_get_option("marovela", "common", "INITTED", initted, sizeof(initted));
	KLOG_DEBUG(" get initted = %s \n", initted);
	blobmsg_add_string(&reply_buf, "initted", strcmp(initted, "YES") == 0 ? "1" : "0");

	blobmsg_add_string(&reply_buf, "return", REPLY_SUCCESS);
	ubus_send_reply(ctx, req, reply_buf.head);
	return 0;
}

// Its commands run inline through popen, no worker: none in the table.
const struct ubus_method whc_quire_method = UBUS_METHOD("whc_quire", kestrad_handle_whc_quire, whc_quire_policy);
const method_facts whc_quire_facts = {&whc_quire_method, whc_quire_needs, whc_quire_replies, {}};

#include "whc_sync.h"

#include "../bus/reply.h"
#include "../bus/request.h"
#include "../core/log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

enum {
	WHC_SYNC_SSID,
	WHC_SYNC_PSWD,
	WHC_SYNC_MGMT,
	WHC_SYNC_TXPWR_2G,
	WHC_SYNC_TXPWR_5G,
	WHC_SYNC_HIDDEN,
	WHC_SYNC_CH_2G,
	WHC_SYNC_CH_5G,
	WHC_SYNC_BW_2G,
	WHC_SYNC_BW_5G,
	WHC_SYNC_TXBF,
	WHC_SYNC_GST_DISAB,
	WHC_SYNC_GST_SSID,
	WHC_SYNC_GST_PSWD,
	WHC_SYNC_GST_MGMT,
	WHC_SYNC_FLT_POLICY,
	WHC_SYNC_FLT_LIST,
	WHC_SYNC_TIMEZONE,
	WHC_SYNC_OTA_AUTO,
	WHC_SYNC_OTA_TIME,
	WHC_SYNC_LED_BLUE,
	__WHC_SYNC_MAX,
};

// The order of the policy is the order of the lines in the settings file.
constexpr struct blobmsg_policy whc_sync_policy[] = {
	{"ssid", BLOBMSG_TYPE_STRING},
	{"pswd", BLOBMSG_TYPE_STRING},
	{"mgmt", BLOBMSG_TYPE_STRING},
	{"txpwr_2g", BLOBMSG_TYPE_STRING},
	{"txpwr_5g", BLOBMSG_TYPE_STRING},
	{"hidden", BLOBMSG_TYPE_STRING},
	{"ch_2g", BLOBMSG_TYPE_STRING},
	{"ch_5g", BLOBMSG_TYPE_STRING},
	{"bw_2g", BLOBMSG_TYPE_STRING},
	{"bw_5g", BLOBMSG_TYPE_STRING},
	{"txbf", BLOBMSG_TYPE_STRING},
	{"gst_disab", BLOBMSG_TYPE_STRING},
	{"gst_ssid", BLOBMSG_TYPE_STRING},
	{"gst_pswd", BLOBMSG_TYPE_STRING},
	{"gst_mgmt", BLOBMSG_TYPE_STRING},
	{"flt_policy", BLOBMSG_TYPE_STRING},
	{"flt_list", BLOBMSG_TYPE_STRING},
	{"timezone", BLOBMSG_TYPE_STRING},
	{"ota_auto", BLOBMSG_TYPE_STRING},
	{"ota_time", BLOBMSG_TYPE_STRING},
	{"led_blue", BLOBMSG_TYPE_STRING},
};
// None is needed: the script gets what came.
constexpr field_need whc_sync_needs[__WHC_SYNC_MAX] = {};
static_assert(ARRAY_SIZE(whc_sync_policy) == __WHC_SYNC_MAX);

constexpr const char *fopen_error = "fail, fopen error";
constexpr const char *whc_sync_replies[] = {REPLY_SUCCESS, REPLY_PARSE_ERROR, fopen_error, REPLY_SYNC_BUSY};

// The script gets no arguments: it reads the settings file.
constexpr const char *sync_args[] = {"/bin/sh", "/sbin/kestrad_whc_sync.sh"};
constexpr command_fact whc_sync_commands[] = {{sync_args, {}, "40", 50}};
static_assert(command_well_formed(whc_sync_commands[0]));

constexpr size_t line_size = 128;
constexpr char handler_name[] = "kestrad_handle_whc_sync"; // the name its log lines carry

// The fields whose values are secrets: their lines are logged with "***".
constexpr bool is_secret(int field)
{
	return field == WHC_SYNC_PSWD || field == WHC_SYNC_GST_PSWD;
}

// Opens the temporary file afresh, readable by root alone (it holds the
// Wi-Fi passphrases; the scripts that read it run as root). Whatever an
// earlier run left under that name goes first, and a link planted there is
// not followed.
FILE *open_temp()
{
	if (unlink(WHC_SYNC_SETTINGS_TEMP) < 0 && errno != ENOENT)
		return nullptr;
	int fd = open(WHC_SYNC_SETTINGS_TEMP, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (fd < 0)
		return nullptr;
	FILE *fp = fdopen(fd, "w");
	if (!fp) {
		int err = errno;
		close(fd);
		errno = err;
	}
	return fp;
}

// One line per field received. A line too long for the line buffer is
// written whole all the same, never cut into the next field. Returns the
// errno of the first write that failed, 0 if none did: the log calls
// between may change errno.
int write_fields(FILE *fp, struct blob_attr *const *tb)
{
	char line[line_size];
	int err = 0;
	for (int i = 0; i < __WHC_SYNC_MAX; i++) {
		memset(line, 0, sizeof(line));
		const char *name = whc_sync_policy[i].name;
		if (!tb[i]) {
			KLOG_AS(LOG_LEVEL_ERR, handler_name, "  key \"%s\" parse failed ! \n", name);
			continue;
		}
		const char *value = blobmsg_get_string(tb[i]);
		int n = snprintf(line, sizeof(line), "%s:=%s\n", name, value);
		int written;
		if (n >= 0 && static_cast<size_t>(n) < sizeof(line) && !is_secret(i)) {
			KLOG_AS(LOG_LEVEL_DEBUG, handler_name, " item %s \n", line);
			written = fputs(line, fp);
		} else {
			// the same text as above, without the line buffer
			KLOG_AS(LOG_LEVEL_DEBUG, handler_name, " item %s:=%s\n \n", name,
				is_secret(i) ? LOG_SECRET : value);
			written = fprintf(fp, "%s:=%s\n", name, value);
		}
		if (written < 0 && !err)
			err = errno ? errno : EIO;
	}
	return err;
}

// Write, close, rename, then sync. 0, or -1 with errno set, the temporary
// file removed and the earlier settings file as it was.
int write_settings(struct blob_attr *const *tb)
{
	FILE *fp = open_temp();
	if (!fp)
		return -1;
	// A buffer of our own: stdio's, taken from the heap at the first write
	// and given back at fclose, crept up through the heap call after call.
	char buf[4096];
	setvbuf(fp, buf, _IOFBF, sizeof(buf));
	KLOG_AS(LOG_LEVEL_DEBUG, handler_name, " whc_sync from CAP: \n");
	errno = 0;
	int err = write_fields(fp, tb);
	errno = 0;
	if (!err && (fflush(fp) != 0 || ferror(fp)))
		err = errno ? errno : EIO;
	if (fclose(fp) != 0 && !err)
		err = errno;
	if (!err && rename(WHC_SYNC_SETTINGS_TEMP, WHC_SYNC_SETTINGS_PATH) < 0)
		err = errno;
	if (err) {
		unlink(WHC_SYNC_SETTINGS_TEMP);
		errno = err;
		return -1;
	}
	sync();
	return 0;
}

} // namespace

int kestrad_handle_whc_sync(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
			    const char *, struct blob_attr *msg)
{
	KLOG_DEBUG("notice_vimb_whc_sync func:%s\n", __func__);

	struct blob_attr *tb[__WHC_SYNC_MAX];
	if (request_parse(whc_sync_policy, __WHC_SYNC_MAX, tb, msg)) {
		KLOG_ERR(" %s \n", REPLY_PARSE_ERROR);
		return reply_return(ctx, req, REPLY_PARSE_ERROR);
	}

	errno = 0;
	if (write_settings(tb) < 0) {
		KLOG_ERR(" %s, error %s \n", fopen_error, strerror(errno));
		return reply_return(ctx, req, fopen_error);
	}

	if (!command_start(whc_sync_commands[0], {})) {
		KLOG_ERR(" vimb worker_get() error\n");
		return reply_return(ctx, req, REPLY_SYNC_BUSY);
	}
	return reply_return(ctx, req, REPLY_SUCCESS);
}

const struct ubus_method whc_sync_method = UBUS_METHOD("whc_sync", kestrad_handle_whc_sync, whc_sync_policy);
const method_facts whc_sync_facts = {&whc_sync_method, whc_sync_needs, whc_sync_replies, whc_sync_commands};

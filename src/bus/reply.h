// The one reply buffer that every handler fills and sends, and the "return"
// texts that several methods give.
#pragma once

extern "C" {
#include <libubox/blobmsg.h>
}

struct ubus_context;
struct ubus_request_data;

// Static, never freed. Valid only between a handler's blob_buf_init and its
// return: fill it and ubus_send_reply it within the one callback.
extern struct blob_buf reply_buf;

// Replies on req with the one field "return" = text, through reply_buf.
// Returns 0, the handler's status, so that a handler can end with it.
int reply_return(struct ubus_context *ctx, struct ubus_request_data *req, const char *text);

constexpr const char *REPLY_SUCCESS = "success";
constexpr const char *REPLY_PARSE_ERROR = "fail, parse error";
constexpr const char *REPLY_BLOBMSG_ERROR = "blobmsg_parse error";
constexpr const char *REPLY_UCI_ERROR = "fail, uci error";
// No free worker slot: whc_sync and access say so with the device's leading
// space, the RE's jobs with its newline.
constexpr const char *REPLY_SYNC_BUSY = " fail, sync work active!";
constexpr const char *REPLY_NO_WORKER = "worker_get() error\n";

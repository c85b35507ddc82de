// The one reply buffer that every handler fills and sends.
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

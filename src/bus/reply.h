// The one reply buffer that every handler fills and sends.
#pragma once

extern "C" {
#include <libubox/blobmsg.h>
}

// Static, never freed. Valid only between a handler's blob_buf_init and its
// return: fill it and ubus_send_reply it within the one callback.
extern struct blob_buf reply_buf;

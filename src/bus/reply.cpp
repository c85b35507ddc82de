#include "reply.h"

#include "ubus.h"

struct blob_buf reply_buf;

int reply_return(struct ubus_context *ctx, struct ubus_request_data *req, const char *text)
{
	blob_buf_init(&reply_buf, 0);
	blobmsg_add_string(&reply_buf, "return", text);
	ubus_send_reply(ctx, req, reply_buf.head);
	return 0;
}

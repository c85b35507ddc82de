/*
 * libubus: the message-bus client, with the platform's remote extensions
 * vimb_connect (a bus daemon over TCP) and ubus_replace_object.
 *
 * The socket is non-blocking and close-on-exec whatever uloop_fd_add is
 * given. Messages that arrive in pieces are reassembled, and what cannot be
 * written at once is queued, so a stalled peer never blocks the caller. A
 * malformed, truncated or oversized message drops the connection.
 *
 * Calls for the context's objects are served from the loop, never inside
 * ubus_add_object, ubus_replace_object, ubus_lookup, ubus_invoke or
 * ubus_remove_object: one that arrives while such a request waits is queued
 * and served after it has returned. A publication takes effect when its
 * DATA reply arrives, so a call routed right behind it reaches the handler.
 * ubus_free drops the queued calls; connection_lost is called once, and
 * must not free the context (free it later, from the loop).
 */
#ifndef LIBUBUS_H
#define LIBUBUS_H

#include <netinet/in.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#include <libubox/blobmsg.h>
#include <libubox/list.h>
#include <libubox/uloop.h>

#define UBUS_MAX_MSGLEN (1024 * 1024)

enum ubus_msg_status {
	UBUS_STATUS_OK,
	UBUS_STATUS_INVALID_COMMAND,
	UBUS_STATUS_INVALID_ARGUMENT,
	UBUS_STATUS_METHOD_NOT_FOUND,
	UBUS_STATUS_NOT_FOUND,
	UBUS_STATUS_NO_DATA,
	UBUS_STATUS_PERMISSION_DENIED,
	UBUS_STATUS_TIMEOUT,
	UBUS_STATUS_NOT_SUPPORTED,
	UBUS_STATUS_UNKNOWN_ERROR,
	UBUS_STATUS_CONNECTION_FAILED,
	UBUS_STATUS_NO_MEMORY,
	UBUS_STATUS_PARSE_ERROR,
	UBUS_STATUS_SYSTEM_ERROR,
	__UBUS_STATUS_LAST
};

struct ubus_context;
struct ubus_object;
struct ubus_request;
struct ubus_request_data;
struct ubus_object_data;
struct ubus_conn;

typedef int (*ubus_handler_t)(struct ubus_context *ctx, struct ubus_object *obj,
			      struct ubus_request_data *req, const char *method,
			      struct blob_attr *msg);
typedef void (*ubus_state_handler_t)(struct ubus_context *ctx, struct ubus_object *obj);
typedef void (*ubus_data_handler_t)(struct ubus_request *req, int type, struct blob_attr *msg);
typedef void (*ubus_complete_handler_t)(struct ubus_request *req, int ret);
typedef void (*ubus_lookup_handler_t)(struct ubus_context *ctx, struct ubus_object_data *obj,
				      void *priv);

struct ubus_method {
	const char *name;
	ubus_handler_t handler;
	unsigned long mask;
	unsigned long tags;
	const struct blobmsg_policy *policy;
	int n_policy;
};

struct ubus_object_type {
	const char *name;
	uint32_t id;
	const struct ubus_method *methods;
	int n_methods;
};

struct ubus_object {
	struct list_head list; /* the library's: objects of a context */
	const char *name;
	uint32_t id;
	const char *path;
	struct ubus_object_type *type;
	ubus_state_handler_t subscribe_cb;
	bool has_subscribers;
	const struct ubus_method *methods;
	int n_methods;
};

struct ubus_context {
	struct list_head objects;
	struct uloop_fd sock;
	uint32_t local_id;
	uint16_t request_seq;
	bool cancel_poll;
	void (*connection_lost)(struct ubus_context *ctx);
	struct ubus_conn *conn; /* the library's: buffers and state */
};

struct ubus_request_data {
	uint32_t object;
	uint32_t peer;
	uint16_t seq;
	bool deferred;
};

struct ubus_object_data {
	uint32_t id;
	uint32_t type_id;
	const char *path;
	struct blob_attr *signature;
};

struct ubus_request {
	struct list_head list;
	int status_code;
	bool status_msg;
	bool blocked;
	bool cancelled;
	bool notify;
	uint32_t peer;
	uint16_t seq;
	ubus_data_handler_t raw_data_cb;
	ubus_data_handler_t data_cb;
	ubus_complete_handler_t complete_cb;
	struct ubus_context *ctx;
	void *priv;
};

#define UBUS_METHOD(_name, _handler, _policy) \
	{ .name = _name, .handler = _handler, .mask = 0, .tags = 0, .policy = _policy, \
	  .n_policy = ARRAY_SIZE(_policy) }

#define UBUS_METHOD_NOARG(_name, _handler) \
	{ .name = _name, .handler = _handler, .mask = 0, .tags = 0, .policy = NULL, .n_policy = 0 }

#define UBUS_OBJECT_TYPE(_name, _methods) \
	{ .name = _name, .id = 0, .methods = _methods, .n_methods = ARRAY_SIZE(_methods) }

struct ubus_context *ubus_connect(const char *path);
struct ubus_context *vimb_connect(const struct sockaddr_in *addr);
void ubus_free(struct ubus_context *ctx);

static inline void ubus_add_uloop(struct ubus_context *ctx)
{
	uloop_fd_add(&ctx->sock, ULOOP_BLOCKING | ULOOP_READ);
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_replace_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj);

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req,
		    struct blob_attr *msg);

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv);
int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id);
int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method,
		struct blob_attr *msg, ubus_data_handler_t cb, void *priv, int timeout);

const char *ubus_strerror(int error);

#ifdef __cplusplus
}
#endif

#endif

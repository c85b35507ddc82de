// echo_object SOCKET NAME: publishes NAME on the bus daemon at SOCKET (a
// unix socket path) with methods whose replies cover every value type a
// CLI prints, then serves it until killed. The object the differential
// test of the two bus CLIs calls.
#include <libubus.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

namespace {

enum { ECHO_S, ECHO_N, ECHO_B, ECHO_T, ECHO_A, ECHO_BIG, ECHO_D, __ECHO_MAX };
constexpr struct blobmsg_policy echo_policy[] = {
	[ECHO_S] = {"s", BLOBMSG_TYPE_STRING},  [ECHO_N] = {"n", BLOBMSG_TYPE_INT32},
	[ECHO_B] = {"b", BLOBMSG_TYPE_BOOL},    [ECHO_T] = {"t", BLOBMSG_TYPE_TABLE},
	[ECHO_A] = {"a", BLOBMSG_TYPE_ARRAY},   [ECHO_BIG] = {"big", BLOBMSG_TYPE_INT64},
	[ECHO_D] = {"d", BLOBMSG_TYPE_DOUBLE},
};
static_assert(sizeof(echo_policy) / sizeof(echo_policy[0]) == __ECHO_MAX);

enum { STATUS_CODE, __STATUS_MAX };
constexpr struct blobmsg_policy status_policy[] = {[STATUS_CODE] = {"code", BLOBMSG_TYPE_INT32}};
static_assert(sizeof(status_policy) / sizeof(status_policy[0]) == __STATUS_MAX);

struct blob_buf b;

// Whatever came, back as it came.
int echo(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	 struct blob_attr *msg)
{
	blob_buf_init(&b, 0);
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, msg, rem)
		blobmsg_add_blob(&b, cur);
	ubus_send_reply(ctx, req, b.head);
	return 0;
}

// Every type, nested, and strings a JSON writer must escape.
int types(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	  struct blob_attr *)
{
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "s", "tab\tquote\"back\\slash/ \x01 caf\xc3\xa9");
	blobmsg_add_u8(&b, "yes", 1);
	blobmsg_add_u8(&b, "no", 0);
	blobmsg_add_u16(&b, "u16", 65535);
	blobmsg_add_u32(&b, "neg", static_cast<uint32_t>(-7));
	blobmsg_add_u64(&b, "big", 1234567890123ULL);
	blobmsg_add_double(&b, "d", 2.5);
	void *t = blobmsg_open_table(&b, "t");
	blobmsg_add_string(&b, "k", "v");
	void *a = blobmsg_open_array(&b, "inner");
	blobmsg_add_u32(&b, nullptr, 1);
	blobmsg_add_string(&b, nullptr, "two");
	blobmsg_close_array(&b, a);
	blobmsg_close_table(&b, t);
	void *e = blobmsg_open_table(&b, "empty");
	blobmsg_close_table(&b, e);
	void *ea = blobmsg_open_array(&b, "none");
	blobmsg_close_array(&b, ea);
	blobmsg_add_string(&b, "s", "again");
	ubus_send_reply(ctx, req, b.head);
	return 0;
}

// Two replies, as kestrad's test method sends.
int twice(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	  struct blob_attr *)
{
	for (const char *v : {"one", "two"}) {
		blob_buf_init(&b, 0);
		blobmsg_add_string(&b, "return", v);
		ubus_send_reply(ctx, req, b.head);
	}
	return 0;
}

int quiet(struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *, struct blob_attr *)
{
	return 0;
}

// Fails with the status asked for.
int status(struct ubus_context *, struct ubus_object *, struct ubus_request_data *, const char *,
	   struct blob_attr *msg)
{
	struct blob_attr *tb[__STATUS_MAX];
	blobmsg_parse(status_policy, __STATUS_MAX, tb, blob_data(msg), blob_len(msg));
	return tb[STATUS_CODE] ? static_cast<int>(blobmsg_get_u32(tb[STATUS_CODE])) : UBUS_STATUS_INVALID_ARGUMENT;
}

// Answers after a second and a half: past a one-second timeout.
int slow(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
	 struct blob_attr *)
{
	struct timespec ts = {1, 500000000};
	nanosleep(&ts, nullptr);
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "late", "yes");
	ubus_send_reply(ctx, req, b.head);
	return 0;
}

const struct ubus_method methods[] = {
	UBUS_METHOD("echo", echo, echo_policy),
	UBUS_METHOD_NOARG("types", types),
	UBUS_METHOD_NOARG("twice", twice),
	UBUS_METHOD_NOARG("quiet", quiet),
	UBUS_METHOD("status", status, status_policy),
	UBUS_METHOD_NOARG("slow", slow),
};

struct ubus_object_type type = UBUS_OBJECT_TYPE("echo", methods);

void lost(struct ubus_context *) { uloop_end(); }

} // namespace

int main(int argc, char **argv)
{
	if (argc != 3) {
		fprintf(stderr, "usage: echo_object SOCKET NAME\n");
		return 2;
	}
	struct ubus_object obj = {};
	obj.name = argv[2];
	obj.type = &type;
	obj.methods = methods;
	obj.n_methods = sizeof(methods) / sizeof(methods[0]);
	uloop_init();
	struct ubus_context *ctx = ubus_connect(argv[1]);
	if (!ctx || ubus_add_object(ctx, &obj) != 0) {
		fprintf(stderr, "echo_object: cannot publish %s on %s\n", argv[2], argv[1]);
		return 1;
	}
	ctx->connection_lost = lost;
	ubus_add_uloop(ctx);
	// Ready: the test waits for this line.
	printf("published\n");
	fflush(stdout);
	uloop_run();
	ubus_free(ctx);
	uloop_done();
	return 0;
}

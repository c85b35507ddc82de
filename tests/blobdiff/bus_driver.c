/*
 * A bus client for the differential test of libubus's message decoding:
 * built once against the project's libubus and once against the device's.
 * It connects to the unix socket given, publishes object "t" with method
 * "m", and for each call prints the method and the argument table's bytes;
 * the test's fake bus daemon sends it the same messages either way and
 * compares what it prints and sends back.
 */
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>

#include <stdio.h>
#include <string.h>

static int handle(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
		  const char *method, struct blob_attr *msg)
{
	const unsigned char *p = (const unsigned char *)msg;
	(void)ctx;
	(void)obj;
	(void)req;
	printf("call %s", method ? method : "(null)");
	if (msg) {
		putchar(' ');
		for (size_t i = 0; i < blob_raw_len(msg); i++)
			printf("%02x", p[i]);
	}
	putchar('\n');
	fflush(stdout);
	return 0;
}

static const struct ubus_method methods[] = {{.name = "m", .handler = handle}};
static struct ubus_object_type type = {.name = "t", .methods = methods, .n_methods = 1};
static struct ubus_object obj = {.name = "t", .type = &type, .methods = methods, .n_methods = 1};

int main(int argc, char **argv)
{
	struct ubus_context *ctx;

	if (argc != 2)
		return 2;
	uloop_init();
	ctx = ubus_connect(argv[1]);
	if (!ctx)
		return 3;
	ubus_add_uloop(ctx);
	if (ubus_add_object(ctx, &obj))
		return 4;
	printf("ready\n");
	fflush(stdout);
	uloop_run();
	printf("lost\n");
	return 0;
}

#include "test_method.h"

#include "reply.h"

#include <cstdio>

namespace {

enum {
	TEST_HELLO,
	__TEST_MAX,
};

constexpr struct blobmsg_policy test_policy[] = {
	{"hello", BLOBMSG_TYPE_STRING},
};
constexpr field_need test_needs[] = {field_need::yes};
static_assert(ARRAY_SIZE(test_policy) == __TEST_MAX && ARRAY_SIZE(test_needs) == __TEST_MAX);

// The second reply's second "return" is the hello text.
constexpr const char *test_replies[] = {REPLY_SUCCESS};

} // namespace

// Two replies: "return"="success", then the same buffer with a second
// "return" carrying the hello text.
int kestrad_handle_test(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
			const char *, struct blob_attr *msg)
{
	puts(" ### recv method test from vimbd !");

	struct blob_attr *tb[__TEST_MAX];
	blobmsg_parse(test_policy, __TEST_MAX, tb, blob_data(msg), static_cast<unsigned int>(blob_len(msg)));
	if (!required_present(test_facts, tb)) {
		fflush(stdout);
		return 0;
	}
	const char *hello = blobmsg_get_string(tb[TEST_HELLO]);

	blob_buf_init(&reply_buf, 0);
	blobmsg_add_string(&reply_buf, "return", REPLY_SUCCESS);
	ubus_send_reply(ctx, req, reply_buf.head);
	blobmsg_add_string(&reply_buf, "return", hello);
	ubus_send_reply(ctx, req, reply_buf.head);

	printf(" ### recv method test: hello %s! \n", hello);
	fflush(stdout); // one write for both lines, before anything can _exit
	return 0;
}

const struct ubus_method test_method = UBUS_METHOD("test", kestrad_handle_test, test_policy);
const method_facts test_facts = {&test_method, test_needs, test_replies, {}};

#include "test_method.h"

#include "reply.h"

#include <cerrno>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// stdout, in one write where the system allows it: the lines as puts and
// printf would write them, without stdio (whose formatting and buffer
// touch more memory per call than the call's own work; nothing else in
// the daemon writes to stdout).
[[gnu::hot]] void write_out(struct iovec *iov, int n)
{
	while (n > 0) {
		ssize_t w = writev(STDOUT_FILENO, iov, n);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			return; // as printf's, a failed write is not reported
		}
		auto left = static_cast<size_t>(w);
		while (n > 0 && left >= iov->iov_len) {
			left -= iov->iov_len;
			iov++;
			n--;
		}
		if (n > 0) {
			iov->iov_base = static_cast<char *>(iov->iov_base) + left;
			iov->iov_len -= left;
		}
	}
}

constexpr char recv_line[] = " ### recv method test from vimbd !\n";
constexpr char hello_head[] = " ### recv method test: hello ";
// the blank before the line's end is the device's
constexpr char hello_tail[] = "! \n";

struct iovec text(const char *s, size_t n) { return {const_cast<char *>(s), n}; }

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
[[gnu::hot]] int kestrad_handle_test(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
			const char *, struct blob_attr *msg)
{
	struct blob_attr *tb[__TEST_MAX];
	blobmsg_parse(test_policy, __TEST_MAX, tb, blob_data(msg), static_cast<unsigned int>(blob_len(msg)));
	if (!required_present(test_facts, tb)) {
		struct iovec out[] = {text(recv_line, sizeof(recv_line) - 1)};
		write_out(out, 1);
		return 0;
	}
	const char *hello = blobmsg_get_string(tb[TEST_HELLO]);

	blob_buf_init(&reply_buf, 0);
	blobmsg_add_string(&reply_buf, "return", REPLY_SUCCESS);
	ubus_send_reply(ctx, req, reply_buf.head);
	blobmsg_add_string(&reply_buf, "return", hello);
	ubus_send_reply(ctx, req, reply_buf.head);

	// both lines at once, before anything can _exit
	struct iovec out[] = {text(recv_line, sizeof(recv_line) - 1), text(hello_head, sizeof(hello_head) - 1),
			      text(hello, strlen(hello)), text(hello_tail, sizeof(hello_tail) - 1)};
	write_out(out, 4);
	return 0;
}

const struct ubus_method test_method = UBUS_METHOD("test", kestrad_handle_test, test_policy);
const method_facts test_facts = {&test_method, test_needs, test_replies, {}};

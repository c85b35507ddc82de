// The RE handlers whc_sync and whc_quire called in-process on a real bus
// context: their replies, and the worker slot whc_sync starts.
#include "support/handler_harness.h"

#include "bus/test_method.h"

#include <gtest/gtest.h>

using testing_support::handler_harness;
using testing_support::reply;
using testing_support::request;

namespace {

reply strings(std::initializer_list<std::pair<const char *, const char *>> fields)
{
	reply r;
	for (auto &[name, value] : fields)
		r.push_back({name, BLOBMSG_TYPE_STRING, value});
	return r;
}

TEST(HandlerHarness, ReadsBackEveryReplyWithItsFieldsInOrder)
{
	handler_harness h;
	ASSERT_TRUE(h.ok());
	request req;
	req.str("hello", "abc");
	auto res = h.call(kestrad_handle_test, req, "test");
	EXPECT_EQ(res.status, 0);
	ASSERT_EQ(res.replies.size(), 2u);
	EXPECT_EQ(res.replies[0], strings({{"return", "success"}}));
	EXPECT_EQ(res.replies[1], strings({{"return", "success"}, {"return", "abc"}}));

	request none;
	EXPECT_TRUE(h.call(kestrad_handle_test, none, "test").replies.empty());
}

} // namespace

// The method "test": answers that the daemon is alive.
#pragma once

extern "C" {
#include <libubox/blobmsg.h>
}

enum {
	TEST_HELLO,
	__TEST_MAX,
};

inline constexpr struct blobmsg_policy test_policy[] = {
	{"hello", BLOBMSG_TYPE_STRING},
};
static_assert(sizeof(test_policy) / sizeof(test_policy[0]) == __TEST_MAX);

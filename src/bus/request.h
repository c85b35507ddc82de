// Reading a request's arguments against a method's policy.
#pragma once

extern "C" {
#include <libubox/blobmsg.h>
}

// Fills tb[0..n_policy-1] from msg's payload, like blobmsg_parse. A request
// without fields (msg NULL or its payload empty) gives 0 with every field
// absent, whichever library is linked: the device's blobmsg_parse fails on an
// empty payload, ours does too. A malformed payload gives blobmsg_parse's
// non-zero result.
int request_parse(const struct blobmsg_policy *policy, int n_policy, struct blob_attr **tb,
		  struct blob_attr *msg);

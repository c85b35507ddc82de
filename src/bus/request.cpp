#include "request.h"

int request_parse(const struct blobmsg_policy *policy, int n_policy, struct blob_attr **tb,
		  struct blob_attr *msg)
{
	if (!msg || blob_len(msg) == 0) {
		for (int i = 0; i < n_policy; i++)
			tb[i] = nullptr;
		return 0;
	}
	return blobmsg_parse(policy, n_policy, tb, blob_data(msg), blob_len(msg));
}

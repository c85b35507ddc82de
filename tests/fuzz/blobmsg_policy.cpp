// blobmsg_parse against the policy of every method the daemon publishes:
// the first byte picks the method, the rest is the argument table's payload.
// The result must equal a plain reading of the payload (for each policy
// entry, the first attribute of its name and type, up to the first
// malformed attribute), and every field found must be safe to read as its
// type says.
#include "bus/objects.h"
#include "fuzz_log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<const struct ubus_method *> methods;

void collect(const struct ubus_object &obj)
{
	for (int i = 0; i < obj.n_methods; i++) {
		bool seen = false;
		for (const auto *m : methods)
			seen = seen || m->policy == obj.methods[i].policy;
		if (!seen)
			methods.push_back(&obj.methods[i]);
	}
}

// The shape checks of one attribute, written plainly.
bool attr_sound(const struct blob_attr *a, size_t avail)
{
	if (avail < sizeof(*a) || blob_raw_len(a) < sizeof(*a) || blob_raw_len(a) > avail)
		return false;
	if (!blob_is_extended(a))
		return true;
	size_t len = blob_len(a);
	if (len < sizeof(struct blobmsg_hdr))
		return false;
	auto *hdr = static_cast<const struct blobmsg_hdr *>(blob_data(a));
	size_t namelen = be16_to_cpu(hdr->namelen);
	size_t hlen = blobmsg_hdrlen(static_cast<unsigned>(namelen));
	if (sizeof(struct blobmsg_hdr) + namelen + 1 > len || hdr->name[namelen] != 0 || hlen > len)
		return false;
	if (blob_id(a) > BLOBMSG_TYPE_LAST)
		return false;
	size_t dlen = len - hlen;
	const char *d = static_cast<const char *>(blob_data(a)) + hlen;
	switch (blob_id(a)) {
	case BLOBMSG_TYPE_STRING:
		return dlen > 0 && d[dlen - 1] == 0;
	case BLOBMSG_TYPE_INT8:
		return dlen == 1;
	case BLOBMSG_TYPE_INT16:
		return dlen == 2;
	case BLOBMSG_TYPE_INT32:
		return dlen == 4;
	case BLOBMSG_TYPE_INT64:
	case BLOBMSG_TYPE_DOUBLE:
		return dlen == 8;
	default:
		return true;
	}
}

void expect_plain_reading(const struct ubus_method &m, uint8_t *payload, size_t len, int result,
			  struct blob_attr **tb)
{
	std::vector<struct blob_attr *> want(static_cast<size_t>(m.n_policy), nullptr);
	bool malformed = false;
	size_t off = 0;
	while (off < len) {
		auto *a = reinterpret_cast<struct blob_attr *>(payload + off);
		if (!attr_sound(a, len - off)) {
			malformed = true;
			break;
		}
		if (blob_is_extended(a)) {
			for (int i = 0; i < m.n_policy; i++) {
				const struct blobmsg_policy &p = m.policy[i];
				if (want[static_cast<size_t>(i)] || !p.name ||
				    (p.type != BLOBMSG_TYPE_UNSPEC && p.type != blobmsg_type(a)))
					continue;
				auto *hdr = static_cast<const struct blobmsg_hdr *>(blob_data(a));
				if (blobmsg_namelen(hdr) == strlen(p.name) &&
				    memcmp(hdr->name, p.name, strlen(p.name)) == 0)
					want[static_cast<size_t>(i)] = a;
			}
		}
		off += blob_pad_len(a);
	}
	if ((len == 0 ? -1 : malformed ? -1 : 0) != (result != 0 ? -1 : 0))
		abort();
	for (int i = 0; i < m.n_policy; i++) {
		if (tb[i] != want[static_cast<size_t>(i)])
			abort();
	}
}

// What a handler does with a field must stay inside the payload.
void read_fields(const struct ubus_method &m, struct blob_attr **tb, const uint8_t *end)
{
	for (int i = 0; i < m.n_policy; i++) {
		struct blob_attr *a = tb[i];
		if (!a)
			continue;
		if (reinterpret_cast<const uint8_t *>(a) + blob_raw_len(a) > end)
			abort();
		switch (m.policy[i].type) {
		case BLOBMSG_TYPE_STRING: {
			const char *s = blobmsg_get_string(a);
			if (strnlen(s, blobmsg_data_len(a)) >= blobmsg_data_len(a))
				abort(); // not terminated inside the field
			break;
		}
		case BLOBMSG_TYPE_INT32:
			if (blobmsg_data_len(a) != 4)
				abort();
			(void)blobmsg_get_u32(a);
			break;
		case BLOBMSG_TYPE_TABLE:
		case BLOBMSG_TYPE_ARRAY:
			(void)blobmsg_check_array(a, BLOBMSG_TYPE_UNSPEC);
			break;
		default:
			break;
		}
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_log_to_null();
	collect(kestrad_master_vimb_object);
	collect(kestrad_vimb_object);
	collect(kestrad_re_vimb_object);
	collect(kestrad_lanAP_vimb_object);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const struct ubus_method &m = *methods[data[0] % methods.size()];
	// An exact copy, so that ASan sees any read past the payload; aligned
	// as a message body is.
	size_t len = size - 1;
	auto *payload = static_cast<uint8_t *>(malloc(len ? len : 1));
	memcpy(payload, data + 1, len);
	std::vector<struct blob_attr *> tb(static_cast<size_t>(m.n_policy) + 1);
	int r = blobmsg_parse(m.policy, m.n_policy, tb.data(), len ? payload : nullptr,
			      static_cast<unsigned>(len));
	expect_plain_reading(m, payload, len, r, tb.data());
	read_fields(m, tb.data(), payload + len);
	free(payload);
	return 0;
}

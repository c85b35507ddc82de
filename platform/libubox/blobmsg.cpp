// blobmsg validation, parsing and building.
#include <libubox/blobmsg.h>

#include <errno.h>
#include <stddef.h>

namespace {

constexpr size_t hdr_size = sizeof(struct blob_attr);

// Length a fixed-size type must have; 0 when the type has no fixed size.
constexpr unsigned int fixed_len(int type)
{
	switch (type) {
	case BLOBMSG_TYPE_INT8:
		return 1;
	case BLOBMSG_TYPE_INT16:
		return 2;
	case BLOBMSG_TYPE_INT32:
		return 4;
	case BLOBMSG_TYPE_INT64:
		return 8;
	default:
		return 0;
	}
}

// The name header of an extended attribute fits and its name ends in a
// zero byte; a plain attribute passes only where no name is wanted.
bool name_ok(const struct blob_attr *attr, bool name)
{
	if (!blob_is_extended(attr))
		return !name;
	size_t len = blob_len(attr);
	if (len < sizeof(struct blobmsg_hdr))
		return false;
	auto *hdr = static_cast<const struct blobmsg_hdr *>(blob_data(attr));
	unsigned int namelen = blobmsg_namelen(hdr);
	if (name && namelen == 0)
		return false;
	if (len < blobmsg_hdrlen(namelen))
		return false;
	return hdr->name[namelen] == 0;
}

// One attribute, given that `len` bytes are readable from its start. The
// contents of tables and arrays are not looked at, as on the device.
[[gnu::hot]] bool attr_ok(const struct blob_attr *attr, bool name, size_t len)
{
	if (len < hdr_size)
		return false;
	size_t raw = blob_raw_len(attr);
	if (raw < hdr_size || raw > len)
		return false;
	if (!name_ok(attr, name))
		return false;
	int type = static_cast<int>(blob_id(attr));
	if (type > BLOBMSG_TYPE_LAST)
		return false;
	size_t dlen = blobmsg_data_len(attr);
	if (type == BLOBMSG_TYPE_STRING) {
		const char *data = static_cast<const char *>(blobmsg_data(attr));
		return dlen > 0 && data[dlen - 1] == 0;
	}
	// A double may carry more than its 8 bytes; integers are exact.
	if (type == BLOBMSG_TYPE_DOUBLE)
		return dlen >= 8;
	unsigned int fixed = fixed_len(type);
	return !fixed || dlen == fixed;
}

int check_array_len(const struct blob_attr *attr, int type, size_t len)
{
	if (!attr_ok(attr, false, len))
		return -1;
	bool name = blobmsg_type(attr) == BLOBMSG_TYPE_TABLE;
	int count = 0;
	struct blob_attr *pos;
	size_t rem;
	blobmsg_for_each_attr(pos, attr, rem) {
		if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(pos) != type)
			return -1;
		if (!attr_ok(pos, name, rem))
			return -1;
		count++;
	}
	return count;
}

bool name_matches(const struct blob_attr *attr, const char *name, size_t namelen)
{
	auto *hdr = static_cast<const struct blobmsg_hdr *>(blob_data(attr));
	return blobmsg_namelen(hdr) == namelen && memcmp(hdr->name, name, namelen) == 0;
}

// The first two and last two bytes of a name: most names of one length
// differ there, which spares a memcmp.
inline uint32_t name_ends(const char *name, size_t n)
{
	if (n < 2)
		return n ? static_cast<unsigned char>(name[0]) : 0;
	auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(name[i])); };
	return byte(0) << 24 | byte(1) << 16 | byte(n - 2) << 8 | byte(n - 1);
}

// Policies up to this size get their name lengths measured once per parse.
constexpr int cached_policy_max = 64;
// Name lengths from this one on share the last chain.
constexpr size_t len_chains = 32;

} // namespace

extern "C" {

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
	return attr && attr_ok(attr, name, len);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
	return attr && attr_ok(attr, name, blob_raw_len(attr));
}

int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t len)
{
	return attr ? check_array_len(attr, type, len) : -1;
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
	return attr ? check_array_len(attr, type, blob_raw_len(attr)) : -1;
}

[[gnu::hot]] int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len,
		  struct blob_attr **tb, void *data, unsigned int len)
{
	if (policy_len > 0)
		memset(tb, 0, sizeof(*tb) * static_cast<size_t>(policy_len));
	if (!data || !len)
		return -EINVAL;

	// Every entry of a name is filled, so the search goes on after a match
	// only for an entry whose name another entry repeats. Names are compared
	// only within chains of one length. The device keeps a name's length in
	// a byte: a name of 256 bytes or more never matches there, nor here.
	size_t namelen[cached_policy_max];
	bool shared[cached_policy_max];
	bool cached = policy_len <= cached_policy_max;
	if (cached) {
		signed char last_of_len[len_chains];
		signed char prev_of_len[cached_policy_max];
		uint32_t ends[cached_policy_max];
		memset(last_of_len, -1, sizeof(last_of_len));
		for (int i = 0; i < policy_len; i++) {
			const char *name = policy[i].name;
			size_t n = name ? strlen(name) : 0;
			namelen[i] = n;
			shared[i] = false;
			if (!name)
				continue;
			ends[i] = name_ends(name, n);
			size_t chain = n < len_chains ? n : len_chains - 1;
			for (int j = last_of_len[chain]; j >= 0; j = prev_of_len[j]) {
				if (ends[j] == ends[i] && namelen[j] == n && memcmp(policy[j].name, name, n) == 0)
					shared[i] = shared[j] = true;
			}
			prev_of_len[i] = last_of_len[chain];
			last_of_len[chain] = static_cast<signed char>(i);
		}
	}

	// Requests usually list their fields in policy order: start each search
	// after the last match so that the common case is one comparison.
	int next = 0;
	struct blob_attr *attr;
	size_t rem = len;
	__blob_for_each_attr(attr, data, rem) {
		if (!attr_ok(attr, false, rem))
			return -1;
		if (!blob_is_extended(attr) || policy_len <= 0)
			continue;
		int type = blobmsg_type(attr);
		int start = next;
		for (int n = 0; n < policy_len; n++) {
			int i = start + n;
			if (i >= policy_len)
				i -= policy_len;
			if (tb[i] || !policy[i].name)
				continue;
			if (policy[i].type != BLOBMSG_TYPE_UNSPEC && policy[i].type != type)
				continue;
			size_t nl = cached ? namelen[i] : strlen(policy[i].name);
			if (nl > UINT8_MAX || !name_matches(attr, policy[i].name, nl))
				continue;
			tb[i] = attr;
			next = i + 1 < policy_len ? i + 1 : 0;
			if (cached && !shared[i])
				break;
		}
	}
	return 0;
}

// Entries take the attributes in order; an attribute of another type than
// the next entry's is passed over. Empty input is no error here.
int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len,
			struct blob_attr **tb, void *data, unsigned int len)
{
	if (policy_len <= 0)
		return 0;
	memset(tb, 0, sizeof(*tb) * static_cast<size_t>(policy_len));
	if (!data)
		return 0;

	int i = 0;
	struct blob_attr *attr;
	size_t rem = len;
	__blob_for_each_attr(attr, data, rem) {
		if (policy[i].type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(attr) != policy[i].type)
			continue;
		if (!attr_ok(attr, false, rem))
			return -1;
		tb[i++] = attr;
		if (i == policy_len)
			break;
	}
	return 0;
}

[[gnu::hot]] struct blob_attr *blobmsg_new(struct blob_buf *buf, int type, const char *name,
			      int payload_len, void **data)
{
	size_t namelen = name ? strlen(name) : 0;
	if (namelen > UINT16_MAX || payload_len < 0)
		return nullptr;
	size_t hlen = blobmsg_hdrlen(static_cast<unsigned int>(namelen));
	struct blob_attr *attr = blob_new(buf, type, static_cast<int>(hlen) + payload_len);
	if (!attr)
		return nullptr;

	attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
	auto *hdr = static_cast<struct blobmsg_hdr *>(blob_data(attr));
	memset(hdr, 0, hlen);
	hdr->namelen = cpu_to_be16(static_cast<uint16_t>(namelen));
	if (namelen)
		memcpy(hdr->name, name, namelen);
	if (data)
		*data = reinterpret_cast<char *>(hdr) + hlen;
	return attr;
}

[[gnu::hot]] int blobmsg_add_field(struct blob_buf *buf, int type, const char *name,
		      const void *data, unsigned int len)
{
	void *dest;
	if (!blobmsg_new(buf, type, name, static_cast<int>(len), &dest))
		return -1;
	if (len)
		memcpy(dest, data, len);
	return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array)
{
	if (!buf->head)
		return nullptr;
	size_t parent = static_cast<size_t>(reinterpret_cast<char *>(buf->head) -
					    static_cast<char *>(buf->buf));
	struct blob_attr *attr = blobmsg_new(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE,
					     name, 0, nullptr);
	if (!attr)
		return nullptr;
	// Until it is closed, the parent counts the nest's header alone.
	size_t hlen = blobmsg_hdrlen(name ? static_cast<unsigned int>(strlen(name)) : 0);
	blob_set_raw_len(buf->head, static_cast<unsigned int>(blob_pad_len(buf->head) - hlen));
	buf->head = attr;
	return reinterpret_cast<void *>(parent + BLOB_COOKIE);
}

} // extern "C"

// blobmsg validation, parsing and building.
#include <libubox/blobmsg.h>

#include <errno.h>

namespace {

constexpr size_t hdr_size = sizeof(struct blob_attr);
constexpr int max_check_depth = 32;

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
	case BLOBMSG_TYPE_DOUBLE:
		return 8;
	default:
		return 0;
	}
}

// The attribute's header, name header and scalar value are sound, given that
// `avail` bytes are readable from its start. Table and array contents are not
// looked at.
bool attr_shape_ok(const struct blob_attr *attr, size_t avail)
{
	if (avail < hdr_size)
		return false;
	size_t raw = blob_raw_len(attr);
	if (raw < hdr_size || raw > avail)
		return false;
	if (!blob_is_extended(attr))
		return true;

	size_t len = raw - hdr_size;
	if (len < sizeof(struct blobmsg_hdr))
		return false;
	auto *hdr = static_cast<const struct blobmsg_hdr *>(blob_data(attr));
	unsigned int namelen = blobmsg_namelen(hdr);
	if (sizeof(struct blobmsg_hdr) + namelen + 1 > len)
		return false;
	if (hdr->name[namelen] != 0)
		return false;
	size_t hlen = blobmsg_hdrlen(namelen);
	if (hlen > len)
		return false;

	int type = static_cast<int>(blob_id(attr));
	if (type > BLOBMSG_TYPE_LAST)
		return false;
	size_t dlen = len - hlen;
	const char *data = static_cast<const char *>(blob_data(attr)) + hlen;
	if (type == BLOBMSG_TYPE_STRING)
		return dlen > 0 && data[dlen - 1] == 0;
	unsigned int fixed = fixed_len(type);
	return !fixed || dlen == fixed;
}

bool check_nested(const struct blob_attr *attr, bool array, int depth);

bool check_attr(const struct blob_attr *attr, bool name, size_t avail, int depth)
{
	if (!attr_shape_ok(attr, avail))
		return false;
	if (!blob_is_extended(attr))
		return !name;
	if (name && blobmsg_namelen(static_cast<const struct blobmsg_hdr *>(blob_data(attr))) == 0)
		return false;
	int type = blobmsg_type(attr);
	if (type == BLOBMSG_TYPE_TABLE || type == BLOBMSG_TYPE_ARRAY)
		return check_nested(attr, type == BLOBMSG_TYPE_ARRAY, depth + 1);
	return true;
}

bool check_nested(const struct blob_attr *attr, bool array, int depth)
{
	if (depth > max_check_depth)
		return false;
	const char *p = static_cast<const char *>(blobmsg_data(attr));
	size_t rem = blobmsg_data_len(attr);
	while (rem) {
		auto *pos = reinterpret_cast<const struct blob_attr *>(p);
		if (!check_attr(pos, !array, rem, depth) || !blob_is_extended(pos))
			return false;
		if (array && blobmsg_namelen(static_cast<const struct blobmsg_hdr *>(blob_data(pos))) != 0)
			return false;
		size_t step = blob_pad_len(pos);
		if (step > rem)
			step = rem;
		p += step;
		rem -= step;
	}
	return true;
}

bool name_matches(const struct blob_attr *attr, const char *name, size_t namelen)
{
	auto *hdr = static_cast<const struct blobmsg_hdr *>(blob_data(attr));
	return blobmsg_namelen(hdr) == namelen && memcmp(hdr->name, name, namelen) == 0;
}

// Steps over the next attribute of a payload; nullptr when it is malformed.
struct blob_attr *next_checked(const char *&p, size_t &rem)
{
	auto *attr = reinterpret_cast<struct blob_attr *>(const_cast<char *>(p));
	if (!attr_shape_ok(attr, rem))
		return nullptr;
	size_t step = blob_pad_len(attr) < rem ? blob_pad_len(attr) : rem;
	p += step;
	rem -= step;
	return attr;
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
	return attr && check_attr(attr, name, len, 0);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
	return attr && check_attr(attr, name, blob_raw_len(attr), 0);
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
	if (!attr)
		return -1;
	bool array = blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY;
	if (!check_nested(attr, array, 0))
		return -1;
	int count = 0;
	const struct blob_attr *pos;
	size_t rem;
	blobmsg_for_each_attr(pos, attr, rem) {
		if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(pos) != type)
			return -1;
		count++;
	}
	return count;
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len,
		  struct blob_attr **tb, void *data, unsigned int len)
{
	if (policy_len > 0)
		memset(tb, 0, sizeof(*tb) * static_cast<size_t>(policy_len));
	if (!data || !len)
		return -EINVAL;

	// Every entry of a name is filled, so the search goes on after a match
	// only for an entry whose name another entry repeats. Names are compared
	// only within chains of one length.
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
	const char *p = static_cast<const char *>(data);
	size_t rem = len;
	while (rem) {
		struct blob_attr *attr = next_checked(p, rem);
		if (!attr)
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
			if (!name_matches(attr, policy[i].name, nl))
				continue;
			tb[i] = attr;
			next = i + 1 < policy_len ? i + 1 : 0;
			if (cached && !shared[i])
				break;
		}
	}
	return 0;
}

int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len,
			struct blob_attr **tb, void *data, unsigned int len)
{
	if (policy_len > 0)
		memset(tb, 0, sizeof(*tb) * static_cast<size_t>(policy_len));
	if (!data || !len)
		return -EINVAL;

	int i = 0;
	const char *p = static_cast<const char *>(data);
	size_t rem = len;
	while (rem) {
		struct blob_attr *attr = next_checked(p, rem);
		if (!attr)
			return -1;
		if (i >= policy_len)
			break;
		if (policy[i].type == BLOBMSG_TYPE_UNSPEC || blobmsg_type(attr) == policy[i].type)
			tb[i] = attr;
		i++;
	}
	return 0;
}

struct blob_attr *blobmsg_new(struct blob_buf *buf, int type, const char *name,
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

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name,
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
	buf->head = attr;
	return reinterpret_cast<void *>(parent + BLOB_COOKIE);
}

} // extern "C"

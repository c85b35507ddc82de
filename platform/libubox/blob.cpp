// blob_buf storage and attribute building.
//
// buf->head is the innermost container still open; a new attribute goes
// right after what it holds. A nest cookie
// is the offset of the enclosing container plus BLOB_COOKIE, which keeps
// offset 0 from looking like a failure.
#include <libubox/blob.h>

#include <errno.h>
#include <stdlib.h>

namespace {

constexpr size_t hdr_size = sizeof(struct blob_attr);
constexpr int grow_step = 256;

size_t pad4(size_t len)
{
	return (len + BLOB_ATTR_ALIGN - 1) & ~static_cast<size_t>(BLOB_ATTR_ALIGN - 1);
}

bool default_grow(struct blob_buf *buf, int minlen)
{
	int delta = ((minlen + grow_step - 1) / grow_step) * grow_step;
	if (delta < buf->buflen)
		delta = buf->buflen; // double: keeps appends amortised
	void *p = realloc(buf->buf, static_cast<size_t>(buf->buflen) + static_cast<size_t>(delta));
	if (!p)
		return false;
	buf->buf = p;
	buf->buflen += delta;
	return true;
}

size_t head_offset(const struct blob_buf *buf)
{
	return static_cast<size_t>(reinterpret_cast<char *>(buf->head) - static_cast<char *>(buf->buf));
}

void set_header(struct blob_attr *attr, unsigned int id, size_t raw_len)
{
	uint32_t v = ((id << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK) |
		     (static_cast<uint32_t>(raw_len) & BLOB_ATTR_LEN_MASK);
	attr->id_len = cpu_to_be32(v);
}

struct blob_attr *at_offset(struct blob_buf *buf, size_t off)
{
	return reinterpret_cast<struct blob_attr *>(static_cast<char *>(buf->buf) + off);
}

} // namespace

extern "C" {

bool blob_buf_grow(struct blob_buf *buf, int required)
{
	size_t off = buf->head ? head_offset(buf) : 0;

	if (required <= 0)
		return true;
	if (!buf->grow || !buf->grow(buf, required))
		return false;
	buf->head = at_offset(buf, off);
	return true;
}

[[gnu::hot]] int blob_buf_init(struct blob_buf *buf, int id)
{
	if (!buf->grow)
		buf->grow = default_grow;
	buf->head = static_cast<struct blob_attr *>(buf->buf);
	if (!buf->buf || buf->buflen < static_cast<int>(hdr_size)) {
		buf->head = nullptr;
		if (!blob_buf_grow(buf, static_cast<int>(hdr_size) - buf->buflen))
			return -ENOMEM;
		buf->head = static_cast<struct blob_attr *>(buf->buf);
	}
	set_header(buf->head, static_cast<unsigned int>(id), hdr_size);
	return 0;
}

void blob_buf_free(struct blob_buf *buf)
{
	free(buf->buf);
	buf->buf = nullptr;
	buf->head = nullptr;
	buf->buflen = 0;
}

void blob_set_raw_len(struct blob_attr *attr, unsigned int len)
{
	uint32_t v = be32_to_cpu(attr->id_len) & ~static_cast<uint32_t>(BLOB_ATTR_LEN_MASK);
	attr->id_len = cpu_to_be32(v | (len & BLOB_ATTR_LEN_MASK));
}

void blob_fill_pad(struct blob_attr *attr)
{
	size_t raw = blob_raw_len(attr);
	size_t pad = blob_pad_len(attr) - raw;
	if (pad)
		memset(reinterpret_cast<char *>(attr) + raw, 0, pad);
}

[[gnu::hot]] struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload)
{
	if (!buf->head || payload < 0)
		return nullptr;

	size_t raw = hdr_size + static_cast<size_t>(payload);
	size_t off = head_offset(buf) + blob_pad_len(buf->head);
	size_t need = off + pad4(raw);
	if (raw > BLOB_ATTR_LEN_MASK || need > BLOB_ATTR_LEN_MASK)
		return nullptr;
	if (need > static_cast<size_t>(buf->buflen) &&
	    !blob_buf_grow(buf, static_cast<int>(need) - buf->buflen))
		return nullptr;

	struct blob_attr *attr = at_offset(buf, off);
	set_header(attr, static_cast<unsigned int>(id), raw);
	blob_fill_pad(attr);
	blob_set_raw_len(buf->head, static_cast<unsigned int>(blob_raw_len(buf->head) + pad4(raw)));
	return attr;
}

[[gnu::hot]] struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len)
{
	struct blob_attr *attr = blob_new(buf, id, static_cast<int>(len));
	if (!attr)
		return nullptr;
	if (len)
		memcpy(blob_data(attr), ptr, len);
	return attr;
}

void *blob_nest_start(struct blob_buf *buf, int id)
{
	if (!buf->head)
		return nullptr;
	size_t parent = head_offset(buf);
	struct blob_attr *attr = blob_new(buf, id, 0);
	if (!attr)
		return nullptr;
	buf->head = attr;
	return reinterpret_cast<void *>(parent + BLOB_COOKIE);
}

// The parent counts an open nest by its header alone, and takes in the
// rest when it is closed, as the device's builder does.
void blob_nest_end(struct blob_buf *buf, void *cookie)
{
	if (!cookie || !buf->head)
		return;
	size_t parent_off = reinterpret_cast<size_t>(cookie) - BLOB_COOKIE;
	struct blob_attr *child = buf->head;
	struct blob_attr *parent = at_offset(buf, parent_off);
	blob_set_raw_len(parent, static_cast<unsigned int>(blob_pad_len(parent) + blob_len(child)));
	buf->head = parent;
}

bool blob_check_type(const void *ptr, unsigned int len, int type)
{
	const char *data = static_cast<const char *>(ptr);

	switch (type) {
	case BLOB_ATTR_INT8:
		return len == 1;
	case BLOB_ATTR_INT16:
		return len == 2;
	case BLOB_ATTR_INT32:
		return len == 4;
	case BLOB_ATTR_INT64:
	case BLOB_ATTR_DOUBLE:
		return len == 8;
	case BLOB_ATTR_STRING:
		return len > 0 && data[len - 1] == 0;
	default:
		return true;
	}
}

bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2)
{
	if (!a1 || !a2)
		return a1 == a2;
	if (blob_raw_len(a1) != blob_raw_len(a2))
		return false;
	return memcmp(a1, a2, blob_raw_len(a1)) == 0;
}

struct blob_attr *blob_memdup(const struct blob_attr *attr)
{
	size_t size = blob_pad_len(attr);
	auto *copy = static_cast<struct blob_attr *>(malloc(size));
	if (!copy)
		return nullptr;
	memcpy(copy, attr, blob_raw_len(attr));
	blob_fill_pad(copy);
	return copy;
}

} // extern "C"

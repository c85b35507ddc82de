/*
 * blobmsg: named, typed attributes on top of blob. An attribute has the
 * extended flag set, its id is the type, and its payload starts with a name
 * header (big-endian length, the name, a zero byte, padding to 4 bytes).
 */
#ifndef LIBUBOX_BLOBMSG_H
#define LIBUBOX_BLOBMSG_H

#include <stdarg.h>
#include "blob.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLOBMSG_ALIGN 2
#define BLOBMSG_PADDING(len) (((len) + (1 << BLOBMSG_ALIGN) - 1) & ~((1 << BLOBMSG_ALIGN) - 1))

enum blobmsg_type {
	BLOBMSG_TYPE_UNSPEC,
	BLOBMSG_TYPE_ARRAY,
	BLOBMSG_TYPE_TABLE,
	BLOBMSG_TYPE_STRING,
	BLOBMSG_TYPE_INT64,
	BLOBMSG_TYPE_INT32,
	BLOBMSG_TYPE_INT16,
	BLOBMSG_TYPE_INT8,
	BLOBMSG_TYPE_DOUBLE,
	__BLOBMSG_TYPE_LAST,
	BLOBMSG_TYPE_LAST = __BLOBMSG_TYPE_LAST - 1,
	BLOBMSG_TYPE_BOOL = BLOBMSG_TYPE_INT8,
};

struct blobmsg_hdr {
	uint16_t namelen;
	uint8_t name[];
} __packed;

struct blobmsg_policy {
	const char *name;
	enum blobmsg_type type;
};

static inline size_t blobmsg_hdrlen(unsigned int namelen)
{
	return BLOBMSG_PADDING(sizeof(struct blobmsg_hdr) + namelen + 1);
}

static inline unsigned int blobmsg_namelen(const struct blobmsg_hdr *hdr)
{
	return be16_to_cpu(hdr->namelen);
}

static inline const char *blobmsg_name(const struct blob_attr *attr)
{
	const struct blobmsg_hdr *hdr = (const struct blobmsg_hdr *)blob_data(attr);
	return (const char *)hdr->name;
}

static inline int blobmsg_type(const struct blob_attr *attr)
{
	return (int)blob_id(attr);
}

static inline void *blobmsg_data(const struct blob_attr *attr)
{
	const struct blobmsg_hdr *hdr;

	if (!attr)
		return NULL;
	if (!blob_is_extended(attr))
		return blob_data(attr);
	hdr = (const struct blobmsg_hdr *)blob_data(attr);
	return (char *)hdr + blobmsg_hdrlen(blobmsg_namelen(hdr));
}

static inline size_t blobmsg_data_len(const struct blob_attr *attr)
{
	size_t hdr;

	if (!attr)
		return 0;
	if (!blob_is_extended(attr))
		return blob_len(attr);
	hdr = (size_t)((char *)blobmsg_data(attr) - (char *)blob_data(attr));
	return hdr > blob_len(attr) ? 0 : blob_len(attr) - hdr;
}

static inline size_t blobmsg_len(const struct blob_attr *attr)
{
	return blobmsg_data_len(attr);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name);
bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len);
int blobmsg_check_array(const struct blob_attr *attr, int type);
int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t len);
int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len,
		  struct blob_attr **tb, void *data, unsigned int len);
int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len,
			struct blob_attr **tb, void *data, unsigned int len);

struct blob_attr *blobmsg_new(struct blob_buf *buf, int type, const char *name,
			      int payload_len, void **data);
int blobmsg_add_field(struct blob_buf *buf, int type, const char *name,
		      const void *data, unsigned int len);
void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array);

static inline int blobmsg_add_double(struct blob_buf *buf, const char *name, double val)
{
	uint64_t v;
	memcpy(&v, &val, sizeof(v));
	v = cpu_to_be64(v);
	return blobmsg_add_field(buf, BLOBMSG_TYPE_DOUBLE, name, &v, sizeof(v));
}

static inline int blobmsg_add_u8(struct blob_buf *buf, const char *name, uint8_t val)
{
	return blobmsg_add_field(buf, BLOBMSG_TYPE_INT8, name, &val, 1);
}

static inline int blobmsg_add_u16(struct blob_buf *buf, const char *name, uint16_t val)
{
	val = cpu_to_be16(val);
	return blobmsg_add_field(buf, BLOBMSG_TYPE_INT16, name, &val, 2);
}

static inline int blobmsg_add_u32(struct blob_buf *buf, const char *name, uint32_t val)
{
	val = cpu_to_be32(val);
	return blobmsg_add_field(buf, BLOBMSG_TYPE_INT32, name, &val, 4);
}

static inline int blobmsg_add_u64(struct blob_buf *buf, const char *name, uint64_t val)
{
	val = cpu_to_be64(val);
	return blobmsg_add_field(buf, BLOBMSG_TYPE_INT64, name, &val, 8);
}

static inline int blobmsg_add_string(struct blob_buf *buf, const char *name, const char *string)
{
	return blobmsg_add_field(buf, BLOBMSG_TYPE_STRING, name, string,
				 (unsigned int)strlen(string) + 1);
}

static inline int blobmsg_add_blob(struct blob_buf *buf, const struct blob_attr *attr)
{
	return blobmsg_add_field(buf, blobmsg_type(attr), blobmsg_name(attr),
				 blobmsg_data(attr), (unsigned int)blobmsg_data_len(attr));
}

static inline void *blobmsg_open_array(struct blob_buf *buf, const char *name)
{
	return blobmsg_open_nested(buf, name, true);
}

static inline void *blobmsg_open_table(struct blob_buf *buf, const char *name)
{
	return blobmsg_open_nested(buf, name, false);
}

static inline void blobmsg_close_array(struct blob_buf *buf, void *cookie)
{
	blob_nest_end(buf, cookie);
}

static inline void blobmsg_close_table(struct blob_buf *buf, void *cookie)
{
	blob_nest_end(buf, cookie);
}

static inline int blobmsg_buf_init(struct blob_buf *buf)
{
	return blob_buf_init(buf, BLOBMSG_TYPE_TABLE);
}

static inline uint8_t blobmsg_get_u8(const struct blob_attr *attr)
{
	return *(const uint8_t *)blobmsg_data(attr);
}

static inline bool blobmsg_get_bool(const struct blob_attr *attr)
{
	return blobmsg_get_u8(attr) != 0;
}

static inline uint16_t blobmsg_get_u16(const struct blob_attr *attr)
{
	uint16_t v;
	memcpy(&v, blobmsg_data(attr), sizeof(v));
	return be16_to_cpu(v);
}

static inline uint32_t blobmsg_get_u32(const struct blob_attr *attr)
{
	uint32_t v;
	memcpy(&v, blobmsg_data(attr), sizeof(v));
	return be32_to_cpu(v);
}

static inline uint64_t blobmsg_get_u64(const struct blob_attr *attr)
{
	uint64_t v;
	memcpy(&v, blobmsg_data(attr), sizeof(v));
	return be64_to_cpu(v);
}

static inline double blobmsg_get_double(const struct blob_attr *attr)
{
	uint64_t v = blobmsg_get_u64(attr);
	double d;
	memcpy(&d, &v, sizeof(d));
	return d;
}

static inline char *blobmsg_get_string(const struct blob_attr *attr)
{
	if (!attr)
		return NULL;
	return (char *)blobmsg_data(attr);
}

#define blobmsg_for_each_attr(pos, attr, rem) \
	for (rem = (attr) ? blobmsg_data_len(attr) : 0, \
	     pos = (struct blob_attr *)blobmsg_data(attr); \
	     rem >= sizeof(struct blob_attr) && blob_pad_len(pos) <= rem && \
	     blob_pad_len(pos) >= sizeof(struct blob_attr); \
	     rem -= blob_pad_len(pos), pos = blob_next(pos))

#ifdef __cplusplus
}
#endif

#endif

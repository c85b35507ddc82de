#include "wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ubus_wire {

namespace {

constexpr size_t attr_hdr = sizeof(struct blob_attr);
// The least room one read is given, and the size past which a drained
// input buffer is given back: an idle connection costs a page, not 64 kB.
constexpr size_t min_room = 4096;
constexpr size_t keep_limit = 262144;

enum class kind { any, u8, u32, string };

constexpr kind attr_kind(unsigned id)
{
	switch (id) {
	case ATTR_STATUS:
	case ATTR_OBJID:
	case ATTR_OBJTYPE:
	case ATTR_TARGET:
		return kind::u32;
	case ATTR_OBJPATH:
	case ATTR_METHOD:
	case ATTR_USER:
	case ATTR_GROUP:
		return kind::string;
	case ATTR_ACTIVE:
	case ATTR_NO_REPLY:
	case ATTR_VIMB_REPLACE:
		return kind::u8;
	default:
		return kind::any;
	}
}

constexpr kind monitor_attr_kind(unsigned id)
{
	switch (id) {
	case MONITOR_CLIENT:
	case MONITOR_PEER:
	case MONITOR_SEQ:
	case MONITOR_TYPE:
		return kind::u32;
	case MONITOR_SEND:
		return kind::u8;
	default:
		return kind::any;
	}
}

[[gnu::hot]] bool attr_ok(uint8_t type, const struct blob_attr *a)
{
	size_t len = blob_len(a);
	switch (type == MSG_MONITOR ? monitor_attr_kind(blob_id(a)) : attr_kind(blob_id(a))) {
	case kind::u8:
		return len == 1;
	case kind::u32:
		return len == 4;
	case kind::string:
		return len > 0 && static_cast<const char *>(blob_data(a))[len - 1] == 0;
	case kind::any:
		return true;
	}
	return false;
}

uint32_t be32_at(const uint8_t *p)
{
	uint32_t v;
	memcpy(&v, p, sizeof(v));
	return be32toh(v);
}

void put_header(plat::string &out, uint8_t type, uint16_t seq, uint32_t peer)
{
	uint8_t h[header_size] = {0, type, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq),
				  static_cast<uint8_t>(peer >> 24), static_cast<uint8_t>(peer >> 16),
				  static_cast<uint8_t>(peer >> 8), static_cast<uint8_t>(peer)};
	out.append(reinterpret_cast<const char *>(h), sizeof(h));
}

} // namespace

long frame_length(const uint8_t *buf, size_t len)
{
	if (len < header_size + attr_hdr)
		return 0;
	uint32_t id_len = be32_at(buf + header_size);
	size_t raw = id_len & BLOB_ATTR_LEN_MASK;
	if (buf[0] != 0 || (id_len & ~BLOB_ATTR_LEN_MASK) != 0 || raw < attr_hdr ||
	    raw > max_message)
		return -1;
	size_t total = header_size + raw;
	return len < total ? 0 : static_cast<long>(total);
}

bool parse(uint8_t *buf, size_t len, message &out)
{
	memset(out.tb, 0, sizeof(out.tb));
	out.type = buf[1];
	out.seq = static_cast<uint16_t>(buf[2] << 8 | buf[3]);
	out.peer = be32_at(buf + 4);
	out.body = reinterpret_cast<struct blob_attr *>(buf + header_size);
	if (header_size + blob_raw_len(out.body) != len)
		return false;

	const uint8_t *p = static_cast<const uint8_t *>(blob_data(out.body));
	size_t rem = blob_len(out.body);
	while (rem) {
		auto *a = reinterpret_cast<struct blob_attr *>(const_cast<uint8_t *>(p));
		if (rem < attr_hdr || blob_raw_len(a) < attr_hdr || blob_raw_len(a) > rem)
			return false;
		if (blob_is_extended(a) || !attr_ok(out.type, a))
			return false;
		unsigned id = blob_id(a);
		if (id < ATTR_COUNT && !out.tb[id])
			out.tb[id] = a;
		size_t step = blob_pad_len(a) < rem ? blob_pad_len(a) : rem;
		p += step;
		rem -= step;
	}
	return true;
}

[[gnu::hot]] bool parse_lenient(uint8_t *buf, size_t len, message &out)
{
	memset(out.tb, 0, sizeof(out.tb));
	out.type = buf[1];
	out.seq = static_cast<uint16_t>(buf[2] << 8 | buf[3]);
	out.peer = be32_at(buf + 4);
	out.body = reinterpret_cast<struct blob_attr *>(buf + header_size);
	if (header_size + blob_raw_len(out.body) != len)
		return false;

	struct blob_attr *a;
	size_t rem;
	blob_for_each_attr(a, out.body, rem) {
		unsigned id = blob_id(a);
		if (id < ATTR_COUNT && blob_raw_len(a) >= attr_hdr && attr_ok(out.type, a))
			out.tb[id] = a;
	}
	return true;
}

body::body() : b_{}
{
	blob_buf_init(&b_, 0);
}

body::~body()
{
	blob_buf_free(&b_);
}

[[gnu::hot]] void body::reset()
{
	blob_buf_init(&b_, 0);
}

[[gnu::hot]] void body::put_u32(attr_id id, uint32_t v)
{
	blob_put_u32(&b_, static_cast<int>(id), v);
}

void body::put_u8(attr_id id, uint8_t v)
{
	blob_put_u8(&b_, static_cast<int>(id), v);
}

void body::put_string(attr_id id, const char *s)
{
	blob_put_string(&b_, static_cast<int>(id), s);
}

[[gnu::hot]] void body::put_raw(attr_id id, const void *data, size_t len)
{
	blob_put(&b_, static_cast<int>(id), data, static_cast<unsigned int>(len));
}

[[gnu::hot]] io stream::fill(int fd)
{
	if (in_off_ && in_off_ == in_len_)
		in_off_ = in_len_ = 0;
	if (in_.size() - in_len_ < min_room) {
		if (in_off_) {
			memmove(in_.data(), in_.data() + in_off_, in_len_ - in_off_);
			in_len_ -= in_off_;
			in_off_ = 0;
		}
		// Doubling: a large message takes a few reads, not one per page.
		if (in_.size() - in_len_ < min_room)
			in_.resize(std::max(in_.size() * 2, in_len_ + min_room));
	}
	for (;;) {
		ssize_t n = recv(fd, in_.data() + in_len_, in_.size() - in_len_, 0);
		if (n > 0) {
			in_len_ += static_cast<size_t>(n);
			return io::ok;
		}
		if (n == 0)
			return io::closed;
		if (errno == EINTR)
			continue;
		return errno == EAGAIN || errno == EWOULDBLOCK ? io::blocked : io::error;
	}
}

[[gnu::hot]] bool stream::next(message &out, bool &bad)
{
	bad = false;
	if (in_off_ == in_len_)
		return false;
	uint8_t *p = in_.data() + in_off_;
	size_t avail = in_len_ - in_off_;
	long total = frame_length(p, avail);
	if (total < 0) {
		bad = true;
		return false;
	}
	if (total == 0)
		return false;
	if (!(lenient_ ? parse_lenient : parse)(p, static_cast<size_t>(total), out)) {
		bad = true;
		return false;
	}
	in_off_ += static_cast<size_t>(total);
	return true;
}

[[gnu::hot]] void stream::consume()
{
	if (in_off_ == in_len_) {
		in_off_ = in_len_ = 0;
		// A large message is not kept around for good.
		if (in_.size() > keep_limit)
			plat::vector<uint8_t>().swap(in_);
	}
}

[[gnu::hot]] void stream::queue(uint8_t type, uint16_t seq, uint32_t peer, const struct blob_attr *b)
{
	if (out_off_ == out_.size()) {
		out_.clear();
		out_off_ = 0;
	}
	put_header(out_, type, seq, peer);
	out_.append(reinterpret_cast<const char *>(b), blob_raw_len(b));
}

void stream::queue_relay(const message &m, uint32_t peer)
{
	queue(m.type, m.seq, peer, m.body);
}

[[gnu::hot]] io stream::flush(int fd)
{
	while (out_off_ < out_.size()) {
		ssize_t n = send(fd, out_.data() + out_off_, out_.size() - out_off_,
				 MSG_NOSIGNAL | MSG_DONTWAIT);
		if (n > 0) {
			out_off_ += static_cast<size_t>(n);
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return io::blocked;
		return io::error;
	}
	out_.clear();
	out_off_ = 0;
	return io::ok;
}

void tune_tcp(int fd)
{
	int one = 1, idle = 30, interval = 10, count = 3;
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
	setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
	setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
	setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
	setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

} // namespace ubus_wire

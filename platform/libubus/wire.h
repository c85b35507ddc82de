// The bus protocol on the wire, shared by the client library and vimbd:
// an 8-byte header (version, type, big-endian seq and peer) and one blob
// attribute of id 0 holding the message's attributes.
#pragma once

extern "C" {
#include <libubox/blob.h>
}

#include "../util/buffer.h"

#include <cstddef>
#include <cstdint>

namespace ubus_wire {

enum msg_type : uint8_t {
	MSG_HELLO = 0,
	MSG_STATUS = 1,
	MSG_DATA = 2,
	MSG_PING = 3,
	MSG_LOOKUP = 4,
	MSG_INVOKE = 5,
	MSG_ADD_OBJECT = 6,
	MSG_REMOVE_OBJECT = 7,
	MSG_SUBSCRIBE = 8,
	MSG_UNSUBSCRIBE = 9,
	MSG_NOTIFY = 10,
	MSG_MONITOR = 11,
};

enum attr_id : unsigned {
	ATTR_UNSPEC = 0,
	ATTR_STATUS = 1,
	ATTR_OBJPATH = 2,
	ATTR_OBJID = 3,
	ATTR_METHOD = 4,
	ATTR_OBJTYPE = 5,
	ATTR_SIGNATURE = 6,
	ATTR_DATA = 7,
	ATTR_TARGET = 8,
	ATTR_ACTIVE = 9,
	ATTR_NO_REPLY = 10,
	ATTR_SUBSCRIBERS = 11,
	ATTR_USER = 12,
	ATTR_GROUP = 13,
	// Asks vimbd to hand over a name that another connection still holds.
	// Above the stock daemon's attribute range, so it ignores it.
	ATTR_VIMB_REPLACE = 96,
	ATTR_COUNT = 128,
};

// A MONITOR message's body numbers its attributes on its own.
enum monitor_attr : unsigned {
	MONITOR_CLIENT = 0, // int32: the client the message came from or went to
	MONITOR_PEER = 1,   // int32: the header's peer
	MONITOR_SEND = 2,   // int8: 1 when the daemon sent it
	MONITOR_SEQ = 3,    // int32: the header's seq
	MONITOR_TYPE = 4,   // int32: the message type
	MONITOR_DATA = 5,   // the message body's attributes
};

constexpr size_t header_size = 8;
constexpr size_t max_message = 1024 * 1024;

struct message {
	uint8_t type;
	uint16_t seq;
	uint32_t peer;
	struct blob_attr *body;
	struct blob_attr *tb[ATTR_COUNT];

	uint32_t u32(attr_id id) const { return tb[id] ? blob_get_u32(tb[id]) : 0; }
	const char *str(attr_id id) const { return tb[id] ? blob_get_string(tb[id]) : nullptr; }
};

// The whole length of the message at the start of `buf`: 0 while more bytes
// are needed, -1 when the header is bad or the message too large.
long frame_length(const uint8_t *buf, size_t len);

// Checks every attribute of a complete message and indexes them by id.
bool parse(uint8_t *buf, size_t len, message &out);

// Reads a complete message as the device's libubus does: an attribute that
// fails its type's check is passed over, a later one of an id replaces an
// earlier one, and the walk ends quietly at the first attribute that does
// not fit. False only when the body's length is not the frame's.
bool parse_lenient(uint8_t *buf, size_t len, message &out);

// Builds a message body attribute by attribute.
class body {
public:
	body();
	~body();
	body(const body &) = delete;
	body &operator=(const body &) = delete;
	void reset();
	void put_u32(attr_id id, uint32_t v);
	void put_u8(attr_id id, uint8_t v);
	void put_string(attr_id id, const char *s);
	void put_raw(attr_id id, const void *data, size_t len);
	struct blob_buf *buf() { return &b_; }
	const struct blob_attr *head() const { return b_.head; }

private:
	struct blob_buf b_;
};

enum class io { ok, blocked, closed, error };

// One connection's buffers: input is reassembled into whole messages,
// output is queued until the socket takes it.
class stream {
public:
	// Reads what the socket has; `closed` on end of file.
	io fill(int fd);
	// The next complete message, if any; false with `bad` set on garbage.
	bool next(message &out, bool &bad);
	// Messages are read with parse_lenient (the client library's way).
	void set_lenient() { lenient_ = true; }
	// Drops the bytes of the messages handed out by next().
	void consume();
	bool has_partial() const { return in_len_ > in_off_; }

	void queue(uint8_t type, uint16_t seq, uint32_t peer, const struct blob_attr *body);
	// Queues a received message again with another peer.
	void queue_relay(const message &m, uint32_t peer);
	io flush(int fd);
	size_t queued() const { return out_.size() - out_off_; }

private:
	// Grows as messages need it: a bus daemon keeps one per connection.
	plat::vector<uint8_t> in_;
	size_t in_len_ = 0;
	size_t in_off_ = 0;
	bool lenient_ = false;
	plat::string out_;
	size_t out_off_ = 0;
};

// Socket options every bus TCP connection gets, on both ends.
void tune_tcp(int fd);

} // namespace ubus_wire

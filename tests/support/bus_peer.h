// A raw bus peer for tests: speaks the wire format directly, so that a test
// can play the daemon or a client, and send whatever bytes it likes.
#pragma once

#include "wire.h"

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct received {
	uint8_t type;
	uint16_t seq;
	uint32_t peer;
	std::vector<uint8_t> bytes; // the whole message
	ubus_wire::message m;       // points into bytes
};

class bus_peer {
public:
	explicit bus_peer(int fd) : fd_(fd) {}
	~bus_peer();
	bus_peer(const bus_peer &) = delete;
	bus_peer &operator=(const bus_peer &) = delete;

	static int connect_unix(const std::string &path);
	static int connect_tcp(const char *ip, int port);
	static int listen_unix(const std::string &path);
	static int listen_tcp(const char *ip, int port);

	int fd() const { return fd_; }
	ubus_wire::body &out() { return out_; }
	// Sends what out() holds.
	void send(uint8_t type, uint16_t seq, uint32_t peer);
	static std::vector<uint8_t> encode(uint8_t type, uint16_t seq, uint32_t peer, const struct blob_attr *body);
	void send_bytes(const void *data, size_t len);
	// The next message within `ms`, or nothing.
	std::optional<received> next(int ms);
	// True when the other end has closed within `ms`.
	bool closed_within(int ms);

private:
	int fd_;
	ubus_wire::body out_;
	ubus_wire::stream in_;
	std::vector<std::vector<uint8_t>> pending_;
};

} // namespace testing_support

// Shared by the bus targets: cutting the input into the chunks a socket
// delivers, and checking the messages the other side sends back.
#pragma once

#include "wire.h"

#include <cstdint>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace fuzz_bus {

// Chunk lengths of 1..max from a fixed sequence seeded by the input's first
// byte; 0 delivers the rest in one piece.
class chunker {
public:
	explicit chunker(uint8_t seed) : max_(seed), state_(seed * 2654435761u + 1) {}
	size_t next(size_t left)
	{
		if (!max_)
			return left;
		state_ ^= state_ << 13;
		state_ ^= state_ >> 17;
		state_ ^= state_ << 5;
		size_t n = state_ % max_ + 1;
		return n < left ? n : left;
	}

private:
	unsigned max_;
	uint32_t state_;
};

// Reads what the peer under test sent on `fd` (non-blocking) and requires
// every message to be well formed; false when the peer closed.
inline bool drain_checked(int fd, ubus_wire::stream &in)
{
	for (;;) {
		ubus_wire::io r = in.fill(fd);
		if (r == ubus_wire::io::closed || r == ubus_wire::io::error)
			return false;
		if (r == ubus_wire::io::blocked)
			return true;
		ubus_wire::message m;
		bool bad = false;
		while (in.next(m, bad)) {
		}
		in.consume();
		if (bad)
			abort(); // the side under test sent a malformed message
	}
}

} // namespace fuzz_bus

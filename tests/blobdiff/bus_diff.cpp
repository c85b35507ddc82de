// libubus's decoding of what the bus daemon sends, against the device's:
// bus_driver.c built against each libubus gets the same INVOKE messages
// from a fake daemon here (sound frames whose attributes are mutated), and
// what its handler sees and what it sends back must agree.
#include "records.h"
#include "support/spawn.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace blobdiff;
using testing_support::temp_dir;

namespace {

constexpr uint32_t object_id = 0x77;
constexpr uint16_t sentinel_seq = 0xbeef;

bytes attr(unsigned id, const bytes &payload)
{
	bytes a;
	uint32_t v = id << 24 | static_cast<uint32_t>(payload.size() + 4);
	for (int s = 24; s >= 0; s -= 8)
		a.push_back(static_cast<uint8_t>(v >> s));
	a.insert(a.end(), payload.begin(), payload.end());
	while (a.size() % 4)
		a.push_back(0);
	return a;
}

bytes message(uint8_t type, uint16_t seq, uint32_t peer, const bytes &attrs)
{
	bytes m = {0, type, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq),
		   static_cast<uint8_t>(peer >> 24), static_cast<uint8_t>(peer >> 16),
		   static_cast<uint8_t>(peer >> 8), static_cast<uint8_t>(peer)};
	// The body's length counts its padding, so that every frame is whole
	// and the stream stays in step whatever the attributes inside.
	bytes padded = attrs;
	while (padded.size() % 4)
		padded.push_back(0);
	bytes body = attr(0, padded);
	m.insert(m.end(), body.begin(), body.end());
	return m;
}

bytes u32(uint32_t v)
{
	return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
		static_cast<uint8_t>(v)};
}

bytes cat(std::initializer_list<bytes> parts)
{
	bytes out;
	for (const auto &p : parts)
		out.insert(out.end(), p.begin(), p.end());
	return out;
}

const bytes method_m = {'m', 0};

// The attributes of an INVOKE of t.m with `table` as its arguments.
bytes invoke_attrs(const bytes &table)
{
	return cat({attr(3, u32(object_id)), attr(4, method_m), attr(7, table)});
}

std::string hex(const bytes &b)
{
	static const char d[] = "0123456789abcdef";
	std::string s;
	for (uint8_t c : b)
		s += {d[c >> 4], d[c & 15]};
	return s;
}

// One client of the fake daemon.
class fake_bus {
public:
	fake_bus(const std::string &driver, const std::string &sock) : driver_(driver), sock_(sock) {}
	~fake_bus() { stop(); }

	// What the client makes of `msg`: its handler's lines and its replies,
	// or "closed" if it dropped the connection.
	std::string exchange(const bytes &msg)
	{
		if (pid_ < 0 && !start())
			return "no start";
		std::string seen;
		bytes sentinel = message(5, sentinel_seq, 0x42, invoke_attrs({}));
		if (!send_all(msg) || !send_all(sentinel))
			return restart(seen + " closed");
		for (;;) {
			bytes in;
			if (!read_message(in))
				return restart(seen + " closed");
			uint16_t seq = static_cast<uint16_t>(in[2] << 8 | in[3]);
			if (seq == sentinel_seq && in[1] == 1)
				break;
			seen += " >" + hex(in);
		}
		std::string lines = read_lines();
		size_t last = lines.rfind("call m 07000004\n");
		if (last == std::string::npos)
			return seen + " no sentinel call";
		return lines.substr(0, last) + seen;
	}

private:
	std::string restart(const std::string &what)
	{
		std::string lines = read_lines();
		stop();
		return lines + what;
	}

	bool start()
	{
		unlink(sock_.c_str());
		lfd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
		struct sockaddr_un sun = {};
		sun.sun_family = AF_UNIX;
		snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", sock_.c_str());
		if (bind(lfd_, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) || listen(lfd_, 1))
			return false;
		int out[2];
		if (pipe2(out, O_CLOEXEC))
			return false;
		pid_ = fork();
		if (pid_ == 0) {
			dup2(out[1], 1);
			execl(driver_.c_str(), driver_.c_str(), sock_.c_str(), static_cast<char *>(nullptr));
			_exit(127);
		}
		close(out[1]);
		out_ = out[0];
		struct pollfd p = {lfd_, POLLIN, 0};
		if (poll(&p, 1, 10000) != 1)
			return false;
		fd_ = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
		// Hello, then the object's registration answered as a daemon does.
		bytes in;
		if (!send_all(message(0, 0, 0x1234, {})) || !read_message(in) || in[1] != 6)
			return false;
		uint16_t seq = static_cast<uint16_t>(in[2] << 8 | in[3]);
		uint32_t peer = static_cast<uint32_t>(in[4]) << 24 | in[5] << 16 | in[6] << 8 | in[7];
		if (!send_all(message(2, seq, peer, cat({attr(3, u32(object_id)), attr(5, u32(0x78))}))) ||
		    !send_all(message(1, seq, peer, attr(1, u32(0)))))
			return false;
		std::string ready;
		while (ready.find("ready\n") == std::string::npos) {
			std::string more = read_lines(10000);
			if (more.empty())
				return false;
			ready += more;
		}
		return true;
	}

	void stop()
	{
		if (pid_ > 0) {
			kill(pid_, SIGKILL);
			waitpid(pid_, nullptr, 0);
		}
		for (int *fd : {&fd_, &lfd_, &out_}) {
			if (*fd >= 0)
				close(*fd);
			*fd = -1;
		}
		pid_ = -1;
	}

	bool send_all(const bytes &b)
	{
		size_t off = 0;
		while (off < b.size()) {
			ssize_t n = send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
			if (n <= 0)
				return false;
			off += static_cast<size_t>(n);
		}
		return true;
	}

	bool read_exact(uint8_t *p, size_t n)
	{
		while (n) {
			struct pollfd pf = {fd_, POLLIN, 0};
			if (poll(&pf, 1, 10000) != 1)
				return false;
			ssize_t r = recv(fd_, p, n, 0);
			if (r <= 0)
				return false;
			p += r;
			n -= static_cast<size_t>(r);
		}
		return true;
	}

	bool read_message(bytes &m)
	{
		m.assign(12, 0);
		if (!read_exact(m.data(), 12))
			return false;
		size_t raw = static_cast<size_t>(m[9]) << 16 | m[10] << 8 | m[11];
		if (raw < 4)
			return false;
		m.resize(8 + raw);
		return read_exact(m.data() + 12, raw - 4);
	}

	// What the client printed so far (waiting up to `ms` for a first byte).
	std::string read_lines(int ms = 0)
	{
		std::string s;
		char buf[4096];
		for (;;) {
			struct pollfd p = {out_, POLLIN, 0};
			if (out_ < 0 || poll(&p, 1, s.empty() ? ms : 0) != 1)
				return s;
			ssize_t n = read(out_, buf, sizeof(buf));
			if (n <= 0)
				return s;
			s.append(buf, static_cast<size_t>(n));
		}
	}

	std::string driver_, sock_;
	pid_t pid_ = -1;
	int lfd_ = -1, fd_ = -1, out_ = -1;
};

// The INVOKEs: sound ones, then mutated attribute lists in sound frames.
std::vector<bytes> invokes(size_t count)
{
	std::vector<bytes> out;
	bytes table = seeds()[1];
	out.push_back(message(5, 1, 0x42, invoke_attrs(table)));
	out.push_back(message(5, 2, 0x42, cat({attr(3, u32(object_id)), attr(4, method_m)}))); // no DATA
	out.push_back(message(5, 3, 0x42, cat({attr(4, method_m), attr(3, u32(object_id)), attr(7, table), attr(7, {})})));
	out.push_back(message(5, 4, 0x42, cat({attr(3, u32(object_id)), attr(3, u32(9)), attr(4, method_m), attr(7, {})})));
	out.push_back(message(5, 5, 0x42, cat({attr(3, {1, 2}), attr(3, u32(object_id)), attr(4, method_m), attr(7, {})})));
	out.push_back(message(5, 6, 0x42, cat({attr(3, u32(object_id)), attr(4, {'m'}), attr(4, method_m), attr(7, {})})));
	out.push_back(message(5, 7, 0x42, cat({attr(3, u32(object_id)), attr(4, method_m), attr(10, {1}), attr(7, {})})));
	out.push_back(message(5, 8, 0x42, cat({attr(3, u32(object_id)), attr(4, method_m), attr(10, {1, 2}), attr(7, {})})));
	out.push_back(message(5, 9, 0x42, cat({attr(3, u32(object_id)), attr(4, {'x', 0}), attr(7, {})})));
	out.push_back(message(5, 10, 0x42, cat({attr(3, u32(object_id)), attr(4, method_m), attr(0x40, {1, 2, 3}), attr(7, {})})));
	rng r(1208);
	while (out.size() < count) {
		bytes attrs = invoke_attrs(seeds()[r.below(4)]);
		out.push_back(message(5, static_cast<uint16_t>(out.size() + 1), 0x42, mutate(attrs, r)));
	}
	return out;
}

// The device's library answers a call without a method name, or for an
// object it does not have, with sequence number, peer and object id 0, so
// the caller never learns of it and waits out its time-out
// (docs/PLATFORM.md). Ours answers the caller; where the device gave its
// answer to nobody, ours stands for it.
std::string sound_replies(std::string ours, const std::string &device, const bytes &msg)
{
	for (const char *status : {"02", "04"}) {
		std::string nobody = std::string(" >000100000000000000000014010000080000000") + status[1] +
				     "0300000800000000";
		std::string caller = " >0001" + hex(bytes(msg.begin() + 2, msg.begin() + 8)) + "0000001401000008000000" +
				     status + "03000008";
		size_t at = ours.find(caller);
		if (device.find(nobody) != std::string::npos && at != std::string::npos &&
		    ours.size() >= at + caller.size() + 8)
			ours.replace(at, caller.size() + 8, nobody);
	}
	return ours;
}

TEST(BusDiff, InvokesAreDecodedAsOnTheDevice)
{
	const char *ref = getenv("KESTRAD_REFERENCE");
	if (!ref || !*ref)
		GTEST_SKIP() << "KESTRAD_REFERENCE unset: no device libubus to compare with (scripts/reference)";
	temp_dir dir;
	std::string device = dir.file("bus_driver");
	std::string cmd = "cc -O1 -w -I" + std::string(ref) + "/include " + KESTRAD_SOURCE_DIR +
			  "/tests/blobdiff/bus_driver.c -o " + device + " -L" + ref + "/lib -lubus -lubox -Wl,-rpath," +
			  ref + "/lib";
	ASSERT_EQ(system(cmd.c_str()), 0) << cmd;

	size_t n = 2000;
	if (const char *e = getenv("KESTRAD_BUSDIFF_INVOKES"))
		n = strtoul(e, nullptr, 10);
	std::vector<bytes> msgs = invokes(n);
	fake_bus ours(std::string(KESTRAD_BIN_DIR) + "/bus_driver", dir.file("ours.sock"));
	fake_bus theirs(device, dir.file("device.sock"));
	int shown = 0;
	size_t differ = 0;
	for (size_t i = 0; i < msgs.size(); i++) {
		std::string b = theirs.exchange(msgs[i]);
		std::string a = sound_replies(ours.exchange(msgs[i]), b, msgs[i]);
		if (a == b)
			continue;
		differ++;
		if (shown++ < 8)
			ADD_FAILURE() << "invoke #" << i << " (" << hex(msgs[i]) << ")\n  device: " << b
				      << "\n  ours:   " << a;
	}
	EXPECT_EQ(differ, 0u) << "of " << msgs.size() << " invokes";
}

} // namespace

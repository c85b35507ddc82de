#include "bus_peer.h"

#include "proc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testing_support {

namespace {
struct sockaddr_un unix_addr(const std::string &path)
{
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	strncpy(sun.sun_path, path.c_str(), sizeof(sun.sun_path) - 1);
	return sun;
}

struct sockaddr_in tcp_addr(const char *ip, int port)
{
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(static_cast<uint16_t>(port));
	inet_aton(ip, &sin.sin_addr);
	return sin;
}
} // namespace

bus_peer::~bus_peer()
{
	if (fd_ >= 0)
		close(fd_);
}

int bus_peer::connect_unix(const std::string &path)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un sun = unix_addr(path);
	if (connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

int bus_peer::connect_tcp(const char *ip, int port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_in sin = tcp_addr(ip, port);
	if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

int bus_peer::listen_unix(const std::string &path)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un sun = unix_addr(path);
	unlink(path.c_str());
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0 || listen(fd, 8) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

int bus_peer::listen_tcp(const char *ip, int port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	int one = 1;
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	struct sockaddr_in sin = tcp_addr(ip, port);
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0 || listen(fd, 8) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

std::vector<uint8_t> bus_peer::encode(uint8_t type, uint16_t seq, uint32_t peer, const struct blob_attr *body)
{
	const uint8_t header[ubus_wire::header_size] = {
		0, type, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq),
		static_cast<uint8_t>(peer >> 24), static_cast<uint8_t>(peer >> 16),
		static_cast<uint8_t>(peer >> 8), static_cast<uint8_t>(peer)};
	std::vector<uint8_t> out(sizeof(header) + blob_raw_len(body));
	memcpy(out.data(), header, sizeof(header));
	memcpy(out.data() + sizeof(header), body, blob_raw_len(body));
	return out;
}

void bus_peer::send(uint8_t type, uint16_t seq, uint32_t peer)
{
	auto bytes = encode(type, seq, peer, out_.head());
	send_bytes(bytes.data(), bytes.size());
}

void bus_peer::send_bytes(const void *data, size_t len)
{
	auto *p = static_cast<const uint8_t *>(data);
	while (len) {
		ssize_t n = ::send(fd_, p, len, MSG_NOSIGNAL);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		p += n;
		len -= static_cast<size_t>(n);
	}
}

std::optional<received> bus_peer::next(int ms)
{
	long long end = monotonic_ms() + ms;
	for (;;) {
		ubus_wire::message m;
		bool bad = false;
		if (in_.next(m, bad)) {
			received r;
			r.type = m.type;
			r.seq = m.seq;
			r.peer = m.peer;
			size_t len = ubus_wire::header_size + blob_raw_len(m.body);
			auto *start = reinterpret_cast<uint8_t *>(m.body) - ubus_wire::header_size;
			r.bytes.assign(start, start + len);
			ubus_wire::parse(r.bytes.data(), r.bytes.size(), r.m);
			in_.consume();
			return r;
		}
		if (bad)
			return std::nullopt;
		long long left = end - monotonic_ms();
		if (left <= 0)
			return std::nullopt;
		struct pollfd pfd = {fd_, POLLIN, 0};
		if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
			return std::nullopt;
		if (in_.fill(fd_) != ubus_wire::io::ok)
			return std::nullopt;
	}
}

bool bus_peer::closed_within(int ms)
{
	long long end = monotonic_ms() + ms;
	for (;;) {
		long long left = end - monotonic_ms();
		if (left <= 0)
			return false;
		struct pollfd pfd = {fd_, POLLIN, 0};
		if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
			return false;
		char buf[4096];
		ssize_t n = recv(fd_, buf, sizeof(buf), 0);
		if (n <= 0)
			return true;
	}
}

} // namespace testing_support

// The physical floor of a bus round trip: the bytes of one call of "test"
// and of its replies, relayed over loopback TCP by processes that only read
// and write (client -> relay -> responder), as vimbd relays between a
// client and kestrad.
//
//   bus_floor capture PORT UPSTREAM_PORT REQUEST_FILE REPLY_FILE
//       relays one client to 127.0.0.1:UPSTREAM_PORT and, when the client
//       goes, writes the last INVOKE it sent and every message that came
//       back after it (up to its STATUS) to the two files;
//   bus_floor relay PORT UPSTREAM_PORT
//   bus_floor responder PORT REQUEST_FILE REPLY_FILE
//       answers each request's bytes with the reply's bytes;
//   bus_floor client PORT REQUEST_FILE REPLY_FILE CALLS [SAMPLES_FILE]
//       prints p50 and p99 and writes each call's microseconds.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void die(const char *what)
{
	perror(what);
	exit(1);
}

sockaddr_in loopback(int port)
{
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(port));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return a;
}

// Both ends get TCP_NODELAY, as every bus connection does.
void nodelay(int fd)
{
	int one = 1;
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

int accept_one(int port)
{
	int l = socket(AF_INET, SOCK_STREAM, 0), one = 1;
	setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	sockaddr_in a = loopback(port);
	if (l < 0 || bind(l, reinterpret_cast<sockaddr *>(&a), sizeof(a)) || listen(l, 1))
		die("listen");
	int fd = accept(l, nullptr, nullptr);
	if (fd < 0)
		die("accept");
	close(l);
	nodelay(fd);
	return fd;
}

// The script starts each process once its peer listens: no retry.
int connect_to(int port)
{
	sockaddr_in a = loopback(port);
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0)
		die("connect");
	nodelay(fd);
	return fd;
}

bool write_all(int fd, const char *p, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w <= 0)
			return false;
		p += w;
		n -= static_cast<size_t>(w);
	}
	return true;
}

bool read_exactly(int fd, char *p, size_t n)
{
	while (n > 0) {
		ssize_t r = read(fd, p, n);
		if (r <= 0)
			return false;
		p += r;
		n -= static_cast<size_t>(r);
	}
	return true;
}

std::string slurp(const char *path)
{
	std::ifstream f(path, std::ios::binary);
	std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
	if (s.empty()) {
		fprintf(stderr, "bus_floor: %s is empty\n", path);
		exit(1);
	}
	return s;
}

// Whole bus messages out of a byte stream: an 8-byte header (version, type,
// seq, peer), then one attribute whose big-endian word ends in its length.
struct framer {
	std::string buf;
	std::vector<std::string> take(const char *p, size_t n)
	{
		std::vector<std::string> out;
		buf.append(p, n);
		while (buf.size() >= 12) {
			uint32_t word;
			memcpy(&word, buf.data() + 8, 4);
			size_t len = 8 + (ntohl(word) & 0xffffff);
			if (buf.size() < len)
				break;
			out.push_back(buf.substr(0, len));
			buf.erase(0, len);
		}
		return out;
	}
};

constexpr uint8_t msg_status = 1, msg_invoke = 5;

int relay(int port, int upstream, const char *request_file, const char *reply_file)
{
	int down = accept_one(port), up = connect_to(upstream);
	framer from_client, from_server;
	std::string request, reply, pending;
	bool capture = request_file != nullptr, in_call = false;
	char buf[65536];
	pollfd p[2] = {{down, POLLIN, 0}, {up, POLLIN, 0}};
	for (;;) {
		if (poll(p, 2, -1) < 0)
			die("poll");
		for (int i = 0; i < 2; i++) {
			if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
				continue;
			ssize_t n = read(p[i].fd, buf, sizeof(buf));
			if (n <= 0)
				goto done;
			if (!write_all(p[1 - i].fd, buf, static_cast<size_t>(n)))
				goto done;
			if (!capture)
				continue;
			for (auto &m : (i == 0 ? from_client : from_server).take(buf, static_cast<size_t>(n))) {
				if (i == 0 && static_cast<uint8_t>(m[1]) == msg_invoke) {
					pending = m, in_call = true;
					reply.clear();
				} else if (i == 1 && in_call) {
					reply += m;
					if (static_cast<uint8_t>(m[1]) == msg_status)
						in_call = false, request = pending;
				}
			}
		}
	}
done:
	if (capture) {
		if (request.empty()) {
			fprintf(stderr, "bus_floor: no complete call seen\n");
			return 1;
		}
		std::ofstream(request_file, std::ios::binary) << request;
		std::ofstream(reply_file, std::ios::binary) << reply;
		printf("captured a request of %zu bytes and replies of %zu bytes\n", request.size(), reply.size());
	}
	return 0;
}

int responder(int port, const std::string &request, const std::string &reply)
{
	int fd = accept_one(port);
	std::string buf(request.size(), '\0');
	while (read_exactly(fd, buf.data(), buf.size()) && write_all(fd, reply.data(), reply.size())) {
	}
	return 0;
}

int client(int port, const std::string &request, const std::string &reply, int calls, const char *samples)
{
	int fd = connect_to(port);
	std::string buf(reply.size(), '\0');
	std::vector<double> us;
	for (int i = 0; i < 1000 + calls; i++) { // the first 1,000 warm up, as bus_bench's do
		auto t0 = std::chrono::steady_clock::now();
		if (!write_all(fd, request.data(), request.size()) || !read_exactly(fd, buf.data(), buf.size()))
			die("call");
		if (i >= 1000)
			us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
					     .count());
	}
	if (samples) {
		FILE *f = fopen(samples, "w");
		if (!f)
			die(samples);
		for (double v : us)
			fprintf(f, "%.2f\n", v);
		fclose(f);
	}
	std::sort(us.begin(), us.end());
	printf("%d calls: p50 %.1f us, p99 %.1f us\n", calls, us[us.size() / 2], us[us.size() * 99 / 100]);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	std::string mode = argc > 1 ? argv[1] : "";
	if (mode == "capture" && argc == 6)
		return relay(atoi(argv[2]), atoi(argv[3]), argv[4], argv[5]);
	if (mode == "relay" && argc == 4)
		return relay(atoi(argv[2]), atoi(argv[3]), nullptr, nullptr);
	if (mode == "responder" && argc == 5)
		return responder(atoi(argv[2]), slurp(argv[3]), slurp(argv[4]));
	if (mode == "client" && (argc == 6 || argc == 7) && atoi(argv[5]) > 0)
		return client(atoi(argv[2]), slurp(argv[3]), slurp(argv[4]), atoi(argv[5]), argc == 7 ? argv[6] : nullptr);
	fprintf(stderr, "usage: bus_floor capture PORT UPSTREAM_PORT REQUEST_FILE REPLY_FILE\n"
			"       bus_floor relay PORT UPSTREAM_PORT\n"
			"       bus_floor responder PORT REQUEST_FILE REPLY_FILE\n"
			"       bus_floor client PORT REQUEST_FILE REPLY_FILE CALLS [SAMPLES_FILE]\n");
	return 2;
}

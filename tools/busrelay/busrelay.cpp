// busrelay ADDR:PORT SOCKET: accepts TCP connections on ADDR:PORT and
// joins each, both ways, to a connection of its own to the unix socket
// SOCKET.
//
// The device's ubusd listens on a unix socket only, and kestrad reaches its
// CAP's bus over TCP: with this in front of ubusd, the simulated satellite
// runs the daemon against the device's bus daemon. Bytes pass unchanged; an
// end one side closes is passed on as a shutdown of the other's writing
// half, and a reset or failed write ends the pair. One process, no threads:
// each direction holds one buffer and reads again once it has been written.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr size_t max_pairs = 64;
constexpr size_t buffer_size = 64 * 1024;

// Direction d reads fd[d] into buf[d] and writes it to fd[1 - d].
struct pair {
	int fd[2] = {-1, -1};
	char buf[2][buffer_size];
	size_t len[2] = {0, 0};
	size_t off[2] = {0, 0};
	bool eof[2] = {false, false};
};

pair pairs[max_pairs];

bool in_use(const pair &p) { return p.fd[0] >= 0; }

void end_pair(pair &p)
{
	for (int &fd : p.fd) {
		close(fd);
		fd = -1;
	}
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int listen_on(const char *address)
{
	std::string s = address;
	size_t colon = s.rfind(':');
	sockaddr_in a{};
	a.sin_family = AF_INET;
	if (colon == std::string::npos || inet_pton(AF_INET, s.substr(0, colon).c_str(), &a.sin_addr) != 1) {
		fprintf(stderr, "busrelay: not an address: %s\n", address);
		return -1;
	}
	char *end = nullptr;
	long port = strtol(s.c_str() + colon + 1, &end, 10);
	if (*end || port <= 0 || port > 65535) {
		fprintf(stderr, "busrelay: not a port: %s\n", address);
		return -1;
	}
	a.sin_port = htons(static_cast<uint16_t>(port));
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	int on = 1;
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
		fprintf(stderr, "busrelay: %s: %s\n", address, strerror(errno));
		close(fd);
		return -1;
	}
	return fd;
}

int connect_unix(const char *path)
{
	sockaddr_un a{};
	a.sun_family = AF_UNIX;
	if (strlen(path) >= sizeof a.sun_path)
		return -1;
	strcpy(a.sun_path, path);
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
		fprintf(stderr, "busrelay: %s: %s\n", path, strerror(errno));
		close(fd);
		return -1;
	}
	return fd;
}

void accept_one(int listener, const char *socket_path)
{
	int tcp = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
	if (tcp < 0)
		return;
	pair *free_pair = nullptr;
	for (pair &p : pairs) {
		if (!in_use(p)) {
			free_pair = &p;
			break;
		}
	}
	int local = free_pair ? connect_unix(socket_path) : -1;
	if (local < 0) {
		if (!free_pair)
			fprintf(stderr, "busrelay: more than %zu connections\n", max_pairs);
		close(tcp);
		return;
	}
	set_nonblocking(tcp);
	set_nonblocking(local);
	*free_pair = {};
	free_pair->fd[0] = tcp;
	free_pair->fd[1] = local;
}

// One direction's turn: read when its buffer is empty, write what it holds.
// False when the pair is to end.
bool move(pair &p, int d, short read_events, short write_events)
{
	if (p.len[d] == 0 && !p.eof[d] && (read_events & (POLLIN | POLLHUP | POLLERR))) {
		ssize_t n = read(p.fd[d], p.buf[d], buffer_size);
		if (n < 0)
			return errno == EAGAIN || errno == EINTR;
		if (n == 0) {
			p.eof[d] = true;
			shutdown(p.fd[1 - d], SHUT_WR);
		}
		p.len[d] = static_cast<size_t>(n);
		p.off[d] = 0;
	}
	if (p.len[d] > 0 && (write_events & (POLLOUT | POLLERR | POLLHUP))) {
		ssize_t n = write(p.fd[1 - d], p.buf[d] + p.off[d], p.len[d] - p.off[d]);
		if (n < 0)
			return errno == EAGAIN || errno == EINTR;
		p.off[d] += static_cast<size_t>(n);
		if (p.off[d] == p.len[d])
			p.len[d] = 0;
	}
	return !(p.eof[0] && p.eof[1] && p.len[0] == 0 && p.len[1] == 0);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 3) {
		fputs("usage: busrelay ADDR:PORT SOCKET\n", stderr);
		return 2;
	}
	signal(SIGPIPE, SIG_IGN);
	int listener = listen_on(argv[1]);
	if (listener < 0)
		return 1;

	pollfd fds[1 + 2 * max_pairs];
	for (;;) {
		fds[0] = {listener, POLLIN, 0};
		for (size_t i = 0; i < max_pairs; i++) {
			const pair &p = pairs[i];
			for (int d = 0; d < 2; d++) {
				short events = 0;
				if (in_use(p) && p.len[d] == 0 && !p.eof[d])
					events |= POLLIN;
				if (in_use(p) && p.len[1 - d] > 0)
					events |= POLLOUT;
				// Unwatched while idle: a hung-up socket would wake
				// the loop until the other side has drained.
				fds[1 + 2 * i + d] = {events ? p.fd[d] : -1, events, 0};
			}
		}
		if (poll(fds, 1 + 2 * max_pairs, -1) < 0) {
			if (errno == EINTR)
				continue;
			perror("busrelay: poll");
			return 1;
		}
		for (size_t i = 0; i < max_pairs; i++) {
			pair &p = pairs[i];
			if (!in_use(p))
				continue;
			short ev[2] = {fds[1 + 2 * i].revents, fds[2 + 2 * i].revents};
			if (!move(p, 0, ev[0], ev[1]) || !move(p, 1, ev[1], ev[0]))
				end_pair(p);
		}
		if (fds[0].revents & POLLIN)
			accept_one(listener, argv[2]);
	}
}

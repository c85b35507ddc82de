// vimbd's side: the daemon's own handling (tools/vimbd/vimbd.cpp, compiled
// in with its main renamed) fed by three clients on socket pairs, two that
// send the input and one monitoring the bus.
//
// Input: records of [client byte][16-bit big-endian length][bytes]; bit 0 of
// the client byte picks the sender, which may cut a message anywhere. The
// first byte, bit 0: the third client monitors. The first client may ask to
// monitor too (as root on the unix socket), the second may not. Every
// message vimbd sends to any client, MONITOR messages included, must be
// well formed.
#define main vimbd_main
#include "../../tools/vimbd/vimbd.cpp"
#undef main

#include "bus_chunks.h"

#include <fcntl.h>
#include <sys/ioctl.h>

namespace {

struct fuzz_client {
	uint32_t id;
	int fd; // our end
	ubus_wire::stream in;
};

void add_client(fuzz_client &fc, bool may_monitor, bool monitoring)
{
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
		abort();
	fcntl(sv[0], F_SETFL, O_NONBLOCK);
	fcntl(sv[1], F_SETFL, O_NONBLOCK);
	// As accept_client sets a client up.
	auto c = std::make_unique<client>();
	c->may_monitor = may_monitor;
	c->id = new_id();
	c->fd.fd = sv[1];
	c->fd.cb = handle_client;
	if (monitoring) {
		c->monitoring = true;
		monitors++;
	}
	client *raw = c.get();
	clients[c->id] = std::move(c);
	uloop_fd_add(&raw->fd, ULOOP_READ);
	out.reset();
	send_to(raw, MSG_HELLO, 0, raw->id, out.head());
	settle();
	fc.id = raw->id;
	fc.fd = sv[0];
	fc.in = ubus_wire::stream();
}

// Lets vimbd read what is waiting for it, as its loop would.
void pump(fuzz_client &fc)
{
	for (int i = 0; i < 64; i++) {
		client *c = find_client(fc.id);
		int pending = 0;
		if (!c || ioctl(c->fd.fd, FIONREAD, &pending) < 0 || pending == 0)
			return;
		handle_client(&c->fd, ULOOP_READ | (c->want_write ? ULOOP_WRITE : 0));
	}
}

void drain_all(fuzz_client *fcs, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		if (fcs[i].fd >= 0 && !fuzz_bus::drain_checked(fcs[i].fd, fcs[i].in)) {
			close(fcs[i].fd);
			fcs[i].fd = -1;
		}
	}
	// What was queued behind a full socket goes out now.
	for (size_t i = 0; i < n; i++) {
		if (client *c = find_client(fcs[i].id); c && c->want_write)
			handle_client(&c->fd, ULOOP_WRITE);
	}
}

void send_record(fuzz_client *fcs, size_t n, fuzz_client &to, const uint8_t *p, size_t len)
{
	while (len && to.fd >= 0 && find_client(to.id)) {
		ssize_t w = send(to.fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (w > 0) {
			p += w;
			len -= static_cast<size_t>(w);
			continue;
		}
		if (w < 0 && errno == EAGAIN) {
			pump(to);
			drain_all(fcs, n);
			continue;
		}
		return;
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	signal(SIGPIPE, SIG_IGN);
	uloop_init();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	fuzz_client fcs[3];
	size_t n = data[0] & 1 ? 3 : 2;
	for (size_t i = 0; i < n; i++)
		add_client(fcs[i], i != 1, i == 2); // the first may start monitoring itself
	drain_all(fcs, n);

	size_t off = 1;
	while (off + 3 <= size) {
		fuzz_client &to = fcs[data[off] & 1];
		size_t len = static_cast<size_t>(data[off + 1]) << 8 | data[off + 2];
		off += 3;
		if (len > size - off)
			len = size - off;
		send_record(fcs, n, to, data + off, len);
		off += len;
		pump(to);
		drain_all(fcs, n);
	}

	// Every client goes, as when their connections close.
	for (size_t i = 0; i < n; i++) {
		if (client *c = find_client(fcs[i].id))
			mark_dead(c);
	}
	settle();
	drain_all(fcs, n);
	for (size_t i = 0; i < n; i++) {
		if (fcs[i].fd >= 0)
			close(fcs[i].fd);
	}
	if (!clients.empty() || !objects.empty() || !paths.empty() || !types.empty() || !calls.empty() ||
	    monitors != 0)
		abort(); // something outlived its client
	last_id = 0;
	return 0;
}

// A satellite that does nothing but answer: started in kestrad's place
// (KESTRAD_BIN), it publishes "ADDR-@kestrad" with a "test" method on the
// vimbd of its default gateway and answers each call as kestrad does, two
// replies and a status, without a log line. What a call to it costs is
// the floor under a call to kestrad in the same mesh.
//   MESH_FLOOR=lib: answers through libubus's loop (the library's cost)
//   MESH_FLOOR=raw: reads the socket itself and sends bytes made once
#include <libubus.h>

#include "wire.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <poll.h>
#include <string>

namespace {

struct blob_buf reply_buf;

int handle_test(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req, const char *,
		struct blob_attr *)
{
	blob_buf_init(&reply_buf, 0);
	blobmsg_add_string(&reply_buf, "return", "success");
	ubus_send_reply(ctx, req, reply_buf.head);
	blobmsg_add_string(&reply_buf, "return", "mesh");
	ubus_send_reply(ctx, req, reply_buf.head);
	return 0;
}

const struct blobmsg_policy test_policy[] = {{"hello", BLOBMSG_TYPE_STRING}};
struct ubus_method methods[] = {UBUS_METHOD("test", handle_test, test_policy)};
struct ubus_object_type type = UBUS_OBJECT_TYPE("kestrad", methods);
char name[64];
struct ubus_object object = {.name = name, .type = &type, .methods = methods, .n_methods = 1};

bool default_gateway(struct sockaddr_in &sin)
{
	FILE *f = fopen("/proc/net/route", "r");
	if (!f)
		return false;
	char line[256], ifname[32];
	unsigned dest = 1, gw = 0;
	while (fgets(line, sizeof(line), f) && !(sscanf(line, "%31s %x %x", ifname, &dest, &gw) == 3 && dest == 0)) {
	}
	fclose(f);
	sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(784);
	sin.sin_addr.s_addr = gw;
	return dest == 0 && gw != 0;
}

bool lan_address(char *out, size_t size)
{
	struct ifaddrs *all = nullptr;
	if (getifaddrs(&all) != 0)
		return false;
	bool found = false;
	for (struct ifaddrs *i = all; i && !found; i = i->ifa_next) {
		if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && strcmp(i->ifa_name, "br-lan") == 0) {
			auto *sin = reinterpret_cast<struct sockaddr_in *>(i->ifa_addr);
			found = inet_ntop(AF_INET, &sin->sin_addr, out, static_cast<socklen_t>(size)) != nullptr;
		}
	}
	freeifaddrs(all);
	return found;
}

// The answer's bytes once, then only seq and peer change per call.
int serve_raw(int fd)
{
	ubus_wire::stream s;
	s.set_lenient();
	ubus_wire::body data1, data2, status;
	// As handle_test: the second reply keeps the first's field.
	blob_buf_init(&reply_buf, 0);
	for (auto [b, text] : {std::pair{&data1, "success"}, std::pair{&data2, "mesh"}}) {
		blobmsg_add_string(&reply_buf, "return", text);
		b->put_u32(ubus_wire::ATTR_OBJID, object.id);
		b->put_raw(ubus_wire::ATTR_DATA, blob_data(reply_buf.head), blob_len(reply_buf.head));
	}
	status.put_u32(ubus_wire::ATTR_STATUS, 0);
	status.put_u32(ubus_wire::ATTR_OBJID, object.id);
	for (;;) {
		struct pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, -1) < 0 || s.fill(fd) != ubus_wire::io::ok)
			return 1;
		ubus_wire::message m;
		bool bad = false;
		while (s.next(m, bad)) {
			if (m.type != ubus_wire::MSG_INVOKE)
				continue;
			s.queue(ubus_wire::MSG_DATA, m.seq, m.peer, data1.head());
			s.queue(ubus_wire::MSG_DATA, m.seq, m.peer, data2.head());
			s.queue(ubus_wire::MSG_STATUS, m.seq, m.peer, status.head());
		}
		s.consume();
		if (bad || s.flush(fd) == ubus_wire::io::error)
			return 1;
	}
}

void lost(struct ubus_context *)
{
	uloop_end();
}

} // namespace

int main()
{
	const char *mode = getenv("MESH_FLOOR");
	bool raw = mode && strcmp(mode, "raw") == 0;
	struct sockaddr_in gw;
	char lan[INET_ADDRSTRLEN];
	if (!default_gateway(gw) || !lan_address(lan, sizeof(lan))) {
		fprintf(stderr, "mesh_floor: no default gateway or no br-lan address\n");
		return 1;
	}
	snprintf(name, sizeof(name), "%s-@kestrad", lan);
	uloop_init();
	struct ubus_context *ctx = vimb_connect(&gw);
	if (!ctx || ubus_add_object(ctx, &object) != 0) {
		fprintf(stderr, "mesh_floor: cannot publish %s\n", name);
		return 1;
	}
	if (raw) {
		// A call that came in one read with the publication's answer is
		// already the library's: its timer answers it before ours ends
		// the loop, then the socket is ours.
		struct uloop_timeout handed_over = {};
		handed_over.cb = [](struct uloop_timeout *) { uloop_end(); };
		uloop_timeout_set(&handed_over, 0);
		uloop_run();
		return serve_raw(ctx->sock.fd);
	}
	ctx->connection_lost = lost;
	uloop_fd_add(&ctx->sock, ULOOP_READ | ULOOP_BLOCKING);
	uloop_run();
	return 1;
}

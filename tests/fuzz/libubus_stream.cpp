// The client library's side of a connection: the fuzzer plays the bus daemon.
// A fresh context publishes an object with the RE object's method names and
// policies (handlers that parse and reply), then reads the input.
//
// First byte, bit 7 clear: the rest arrives in chunks (bits 0-6 seed their
// lengths, 0 for one piece) and is read and dispatched as the event loop
// would, calls served. Bit 7 set: the rest answers a synchronous invoke of
// object 0x200 (seq 2), the connection closing behind it.
//
// Every message the library sends back must be well formed.
#include "bus/objects.h"
#include "bus/request.h"
#include "bus_chunks.h"
#include "fuzz_log.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/un.h>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t object_id = 0x100;
constexpr uint32_t invoke_target = 0x200;

std::string socket_path;
std::mutex accepted_lock;
std::condition_variable accepted_cv;
std::deque<int> accepted;

std::vector<struct ubus_method> methods;
struct ubus_object_type object_type = {"fuzz", 0, nullptr, 0};
struct ubus_object object;
struct blob_buf reply;

int handler(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
	    const char *method, struct blob_attr *msg)
{
	for (const auto &m : methods) {
		if (strcmp(m.name, method) != 0)
			continue;
		std::vector<struct blob_attr *> tb(static_cast<size_t>(m.n_policy) + 1);
		int r = request_parse(m.policy, m.n_policy, tb.data(), msg);
		blob_buf_init(&reply, 0);
		blobmsg_add_u32(&reply, "parse", static_cast<uint32_t>(r));
		for (int i = 0; i < m.n_policy; i++) {
			if (tb[i] && m.policy[i].type == BLOBMSG_TYPE_STRING)
				blobmsg_add_string(&reply, m.policy[i].name, blobmsg_get_string(tb[i]));
			else if (tb[i] && m.policy[i].type == BLOBMSG_TYPE_INT32)
				blobmsg_add_u32(&reply, m.policy[i].name, blobmsg_get_u32(tb[i]));
		}
		ubus_send_reply(ctx, req, reply.head);
		return 0;
	}
	return UBUS_STATUS_METHOD_NOT_FOUND;
}

void put_msg(std::string &out, uint8_t type, uint16_t seq, uint32_t peer, ubus_wire::body &b)
{
	uint8_t h[8] = {0, type, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq),
			static_cast<uint8_t>(peer >> 24), static_cast<uint8_t>(peer >> 16),
			static_cast<uint8_t>(peer >> 8), static_cast<uint8_t>(peer)};
	out.append(reinterpret_cast<char *>(h), sizeof(h));
	out.append(reinterpret_cast<const char *>(b.head()), blob_raw_len(b.head()));
}

// Plays the daemon's accept and hello, which ubus_connect waits for.
void acceptor(int listen_fd)
{
	uint32_t next_id = 0x1000;
	for (;;) {
		int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0)
			continue;
		ubus_wire::body b;
		std::string hello;
		put_msg(hello, ubus_wire::MSG_HELLO, 0, next_id++, b);
		if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size()))
			abort();
		std::lock_guard<std::mutex> g(accepted_lock);
		accepted.push_back(fd);
		accepted_cv.notify_one();
	}
}

int take_accepted()
{
	std::unique_lock<std::mutex> g(accepted_lock);
	accepted_cv.wait(g, [] { return !accepted.empty(); });
	int fd = accepted.front();
	accepted.pop_front();
	return fd;
}

bool connection_lost;

void on_connection_lost(struct ubus_context *)
{
	connection_lost = true;
}

// Hands the bytes to the library as its event loop would, a read at a time.
void pump(struct ubus_context *ctx)
{
	for (int i = 0; i < 64 && !connection_lost; i++) {
		int pending = 0;
		if (ioctl(ctx->sock.fd, FIONREAD, &pending) < 0 || pending == 0)
			return;
		ctx->sock.cb(&ctx->sock, ULOOP_READ);
	}
}

void send_all(int fd, const uint8_t *p, size_t n, struct ubus_context *ctx, ubus_wire::stream &back)
{
	while (n) {
		ssize_t w = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (w > 0) {
			p += w;
			n -= static_cast<size_t>(w);
			continue;
		}
		if (w < 0 && errno == EAGAIN) {
			pump(ctx);
			if (!fuzz_bus::drain_checked(fd, back))
				return;
			continue;
		}
		return;
	}
}

void on_invoke_data(struct ubus_request *, int, struct blob_attr *msg)
{
	// What a caller does with a reply: walk its fields.
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, msg, rem) {
		if (!blobmsg_check_attr(cur, true))
			return;
		if (blobmsg_type(cur) == BLOBMSG_TYPE_STRING)
			(void)strlen(blobmsg_get_string(cur));
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_log_to_null();
	const struct ubus_object &re = kestrad_re_vimb_object;
	for (int i = 0; i < re.n_methods; i++) {
		struct ubus_method m = re.methods[i];
		m.handler = handler;
		methods.push_back(m);
	}
	object.name = "fuzz-@kestrad";
	object.type = &object_type;
	object.methods = methods.data();
	object.n_methods = static_cast<int>(methods.size());
	blob_buf_init(&reply, 0);

	socket_path = "/tmp/kestrad-fuzz-libubus-" + std::to_string(getpid()) + ".sock";
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	strcpy(sun.sun_path, socket_path.c_str());
	unlink(socket_path.c_str());
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0 || listen(fd, 16) < 0) {
		perror("fuzz_libubus_stream: listen");
		exit(2);
	}
	std::thread(acceptor, fd).detach();
	atexit([] { unlink(socket_path.c_str()); });
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	struct ubus_context *ctx = ubus_connect(socket_path.c_str());
	if (!ctx)
		abort();
	int server = take_accepted();
	connection_lost = false;
	ctx->connection_lost = on_connection_lost;
	object_type.id = 0;
	object.id = 0;
	fcntl(server, F_SETFL, O_NONBLOCK);
	ubus_wire::stream back;

	// The publication's answer, queued before the request that waits for it.
	std::string answer;
	ubus_wire::body b;
	b.put_u32(ubus_wire::ATTR_OBJID, object_id);
	b.put_u32(ubus_wire::ATTR_OBJTYPE, object_id + 1);
	put_msg(answer, ubus_wire::MSG_DATA, 1, 0, b);
	b.reset();
	b.put_u32(ubus_wire::ATTR_STATUS, 0);
	put_msg(answer, ubus_wire::MSG_STATUS, 1, 0, b);
	send_all(server, reinterpret_cast<const uint8_t *>(answer.data()), answer.size(), ctx, back);
	if (ubus_add_object(ctx, &object) != 0 || object.id != object_id)
		abort();
	fuzz_bus::drain_checked(server, back);

	const uint8_t *p = data + 1;
	size_t left = size - 1;
	if (data[0] & 0x80) {
		send_all(server, p, left, ctx, back);
		shutdown(server, SHUT_WR);
		ubus_invoke(ctx, invoke_target, "whc_sync", nullptr, on_invoke_data, nullptr, 0);
		fuzz_bus::drain_checked(server, back);
	} else {
		fuzz_bus::chunker chunks(data[0] & 0x7f);
		while (left) {
			size_t n = chunks.next(left);
			send_all(server, p, n, ctx, back);
			p += n;
			left -= n;
			pump(ctx);
			if (!fuzz_bus::drain_checked(server, back) || connection_lost)
				break;
		}
	}
	ubus_free(ctx);
	close(server);
	return 0;
}

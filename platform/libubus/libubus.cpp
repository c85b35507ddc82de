// The bus client: connecting (unix socket or TCP), publishing objects,
// serving their methods, and the synchronous calls the tools use.
#include <libubus.h>

#include "wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

using namespace ubus_wire;

namespace {

constexpr int connect_limit_ms = 3000; // TCP connect and hello together
constexpr int request_limit_ms = 3000; // publish and lookup answers
constexpr size_t max_queued = 4 * 1024 * 1024;

// A synchronous request waiting for its status.
struct wait_state {
	uint16_t seq;
	uint32_t peer;
	bool done = false;
	int status = UBUS_STATUS_NO_DATA;
	void (*on_data)(const message &, void *) = nullptr;
	void *arg = nullptr;
};

struct serve_timer {
	struct uloop_timeout t;
	struct ubus_context *ctx;
};

} // namespace

struct ubus_conn {
	ubus_conn() { io.set_lenient(); }
	stream io;
	body out;
	bool lost = false;
	int depth = 0;         // > 0 while messages are being dispatched
	bool want_write = false;
	unsigned fd_flags = ULOOP_READ;
	plat::vector<wait_state *> waits;
	// Calls for our objects, whole messages in arrival order, served from
	// the loop: never inside a request that waits, nor on bytes that the
	// next read may move.
	plat::vector<plat::vector<uint8_t>> calls; // oldest first
	// The storage of the last call served, for the next: a call then costs
	// no allocation, and touches the same memory as the one before.
	plat::vector<uint8_t> spare;
	bool serving = false;
	serve_timer kick = {};
};

namespace {

constexpr const char *status_texts[] = {
	"Success", "Invalid command", "Invalid argument", "Method not found", "Not found",
	"No response", "Permission denied", "Request timed out", "Operation not supported",
	"Unknown error", "Connection failed", "Out of memory", "Parsing message data failed",
	"System error",
};
static_assert(sizeof(status_texts) / sizeof(status_texts[0]) == __UBUS_STATUS_LAST);

long long now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int remaining(long long deadline)
{
	long long left = deadline - now_ms();
	return left < 0 ? 0 : static_cast<int>(left);
}

void handle_socket(struct uloop_fd *u, unsigned int events);

void mark_lost(struct ubus_context *ctx)
{
	ubus_conn *c = ctx->conn;
	if (c->lost)
		return;
	c->lost = true;
	if (ctx->sock.registered)
		uloop_fd_delete(&ctx->sock);
	c->calls.clear();
	uloop_timeout_cancel(&c->kick.t);
	for (wait_state *w : c->waits) {
		w->done = true;
		w->status = UBUS_STATUS_CONNECTION_FAILED;
	}
	if (ctx->connection_lost)
		ctx->connection_lost(ctx);
}

// Watches for writability only while output is queued.
[[gnu::hot]] void update_write_interest(struct ubus_context *ctx)
{
	ubus_conn *c = ctx->conn;
	bool want = c->io.queued() > 0;
	if (want == c->want_write || !ctx->sock.registered)
		return;
	c->want_write = want;
	unsigned flags = (ctx->sock.flags & ~ULOOP_WRITE) | (want ? ULOOP_WRITE : 0);
	uloop_fd_add(&ctx->sock, flags);
}

[[gnu::hot]] void flush(struct ubus_context *ctx)
{
	ubus_conn *c = ctx->conn;
	if (c->lost)
		return;
	if (c->io.flush(ctx->sock.fd) == io::error || c->io.queued() > max_queued) {
		mark_lost(ctx);
		return;
	}
	update_write_interest(ctx);
}

int send_msg(struct ubus_context *ctx, uint8_t type, uint16_t seq, uint32_t peer)
{
	ubus_conn *c = ctx->conn;
	if (c->lost)
		return UBUS_STATUS_CONNECTION_FAILED;
	c->io.queue(type, seq, peer, c->out.head());
	// Replies made while dispatching leave together after the batch.
	if (!c->depth)
		flush(ctx);
	return c->lost ? UBUS_STATUS_CONNECTION_FAILED : UBUS_STATUS_OK;
}

struct ubus_object *find_object(struct ubus_context *ctx, uint32_t id)
{
	struct ubus_object *obj;
	list_for_each_entry(obj, &ctx->objects, list) {
		if (obj->id == id)
			return obj;
	}
	return nullptr;
}

void send_status(struct ubus_context *ctx, uint16_t seq, uint32_t peer, uint32_t obj, int status)
{
	body &b = ctx->conn->out;
	b.reset();
	b.put_u32(ATTR_STATUS, static_cast<uint32_t>(status));
	b.put_u32(ATTR_OBJID, obj);
	send_msg(ctx, MSG_STATUS, seq, peer);
}

[[gnu::hot]] void serve_invoke(struct ubus_context *ctx, const message &m)
{
	// As on the device, a call that names no object gets no answer.
	if (!m.tb[ATTR_OBJID])
		return;
	uint32_t obj_id = m.u32(ATTR_OBJID);
	struct ubus_object *obj = find_object(ctx, obj_id);
	const char *method = m.str(ATTR_METHOD);
	bool no_reply = m.tb[ATTR_NO_REPLY] && blob_get_u8(m.tb[ATTR_NO_REPLY]);
	int status = !obj || method ? UBUS_STATUS_NOT_FOUND : UBUS_STATUS_INVALID_ARGUMENT;
	const struct ubus_method *found = nullptr;
	if (obj && method) {
		status = UBUS_STATUS_METHOD_NOT_FOUND;
		for (int i = 0; i < obj->n_methods; i++) {
			if (strcmp(obj->methods[i].name, method) == 0) {
				found = &obj->methods[i];
				break;
			}
		}
	}
	// As on the device, a call without an argument table is refused.
	if (found && !m.tb[ATTR_DATA])
		status = UBUS_STATUS_INVALID_ARGUMENT;
	else if (found && found->handler) {
		struct ubus_request_data req = {obj_id, m.peer, m.seq, false};
		status = found->handler(ctx, obj, &req, method, m.tb[ATTR_DATA]);
		if (req.deferred || no_reply)
			return;
	}
	if (!ctx->conn->lost)
		send_status(ctx, m.seq, m.peer, obj_id, status);
}

wait_state *find_wait(ubus_conn *c, const message &m)
{
	for (wait_state *w : c->waits) {
		if (!w->done && w->seq == m.seq && w->peer == m.peer)
			return w;
	}
	return nullptr;
}

[[gnu::hot]] void queue_call(ubus_conn *c, const message &m)
{
	const auto *start = reinterpret_cast<const uint8_t *>(m.body) - header_size;
	plat::vector<uint8_t> bytes;
	bytes.swap(c->spare);
	bytes.assign(start, start + header_size + blob_raw_len(m.body));
	c->calls.push_back(std::move(bytes));
}

// Storage kept for the next call only up to this: a large call's stays
// with the call.
constexpr size_t spare_limit = 1024;

// Serves the queued calls, unless a request is waiting: its caller runs
// first, and arms the timer when it returns.
[[gnu::hot]] void serve_calls(struct ubus_context *ctx)
{
	ubus_conn *c = ctx->conn;
	if (c->serving || !c->waits.empty())
		return;
	c->serving = true;
	c->depth++;
	while (!c->lost && !c->calls.empty()) {
		// Taken off first: a handler's own request may queue more.
		plat::vector<uint8_t> bytes = std::move(c->calls.front());
		c->calls.erase(c->calls.begin());
		message m;
		if (parse_lenient(bytes.data(), bytes.size(), m))
			serve_invoke(ctx, m);
		if (bytes.capacity() <= spare_limit && c->spare.capacity() == 0)
			c->spare.swap(bytes);
	}
	c->depth--;
	c->serving = false;
	if (!c->depth)
		flush(ctx);
}

void on_kick(struct uloop_timeout *t)
{
	serve_calls(container_of(t, serve_timer, t)->ctx);
}

[[gnu::hot]] void dispatch(struct ubus_context *ctx, const message &m)
{
	switch (m.type) {
	case MSG_INVOKE:
		queue_call(ctx->conn, m);
		return;
	case MSG_DATA:
	case MSG_STATUS:
		if (wait_state *w = find_wait(ctx->conn, m)) {
			if (m.type == MSG_DATA) {
				if (w->on_data)
					w->on_data(m, w->arg);
			} else {
				w->done = true;
				w->status = static_cast<int>(m.u32(ATTR_STATUS));
			}
		}
		return;
	default:
		return; // nothing else is addressed to a client
	}
}

// Reads once and dispatches every whole message; false once lost.
[[gnu::hot]] bool read_and_dispatch(struct ubus_context *ctx)
{
	ubus_conn *c = ctx->conn;
	io r = c->io.fill(ctx->sock.fd);
	if (r == io::closed || r == io::error) {
		mark_lost(ctx);
		return false;
	}
	c->depth++;
	message m;
	bool bad = false;
	while (!c->lost && c->io.next(m, bad))
		dispatch(ctx, m);
	c->io.consume();
	c->depth--;
	if (bad) {
		// The calls that came whole before the garbage are answered first,
		// as the device's library does.
		serve_calls(ctx);
		if (!c->depth)
			flush(ctx);
		mark_lost(ctx);
		return false;
	}
	if (!c->depth)
		flush(ctx);
	return !c->lost;
}

[[gnu::hot]] void handle_socket(struct uloop_fd *u, unsigned int events)
{
	auto *ctx = container_of(u, struct ubus_context, sock);
	if (events & ULOOP_WRITE)
		flush(ctx);
	if ((events & ULOOP_READ) && !ctx->conn->lost)
		read_and_dispatch(ctx);
	else if (u->error && !ctx->conn->lost)
		mark_lost(ctx);
	serve_calls(ctx);
}

// Sends the request queued in conn->out and waits for its status.
int sync_request(struct ubus_context *ctx, uint8_t type, uint32_t peer, int timeout_ms,
		 void (*on_data)(const message &, void *), void *arg)
{
	ubus_conn *c = ctx->conn;
	if (c->lost)
		return UBUS_STATUS_CONNECTION_FAILED;
	wait_state w;
	w.seq = ++ctx->request_seq;
	w.peer = peer;
	w.on_data = on_data;
	w.arg = arg;
	c->io.queue(type, w.seq, peer, c->out.head());
	c->waits.push_back(&w);

	long long deadline = timeout_ms > 0 ? now_ms() + timeout_ms : -1;
	int saved_depth = c->depth;
	c->depth = 0; // our own request must leave now, even from a handler
	while (!w.done && !c->lost) {
		if (c->io.flush(ctx->sock.fd) == io::error) {
			mark_lost(ctx);
			break;
		}
		struct pollfd pfd = {ctx->sock.fd, static_cast<short>(POLLIN | (c->io.queued() ? POLLOUT : 0)), 0};
		int wait_ms = deadline < 0 ? -1 : remaining(deadline);
		int r = poll(&pfd, 1, wait_ms);
		if (r < 0 && errno == EINTR)
			continue;
		if (r == 0) {
			w.status = UBUS_STATUS_TIMEOUT;
			break;
		}
		if (r < 0) {
			mark_lost(ctx);
			break;
		}
		if (pfd.revents & (POLLIN | POLLHUP | POLLERR))
			read_and_dispatch(ctx);
	}
	c->depth = saved_depth;
	for (size_t i = 0; i < c->waits.size(); i++) {
		if (c->waits[i] == &w) {
			c->waits.erase(c->waits.begin() + static_cast<long>(i));
			break;
		}
	}
	if (!c->lost) {
		update_write_interest(ctx);
		// Calls that came meanwhile wait for the loop, even if no byte follows.
		if (!c->calls.empty() && c->waits.empty() && !c->serving)
			uloop_timeout_set(&c->kick.t, 0);
	}
	return w.status;
}

bool wait_fd(int fd, short events, long long deadline)
{
	for (;;) {
		struct pollfd pfd = {fd, events, 0};
		int r = poll(&pfd, 1, remaining(deadline));
		if (r < 0 && errno == EINTR)
			continue;
		return r > 0 && !(pfd.revents & POLLNVAL);
	}
}

// The hello is read to its last byte and no further, so that nothing that
// follows it waits in our buffer for an event that never comes.
bool read_exact(int fd, void *buf, size_t len, long long deadline)
{
	auto *p = static_cast<uint8_t *>(buf);
	while (len) {
		ssize_t n = recv(fd, p, len, 0);
		if (n > 0) {
			p += n;
			len -= static_cast<size_t>(n);
			continue;
		}
		if (n == 0)
			return false;
		if (errno == EINTR)
			continue;
		if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait_fd(fd, POLLIN, deadline))
			return false;
	}
	return true;
}

struct ubus_context *finish_connect(int fd, long long deadline)
{
	uint8_t hdr[header_size + sizeof(struct blob_attr)];
	if (!read_exact(fd, hdr, sizeof(hdr), deadline) || frame_length(hdr, sizeof(hdr)) < 0 ||
	    hdr[1] != MSG_HELLO) {
		close(fd);
		return nullptr;
	}
	uint32_t id_len;
	memcpy(&id_len, hdr + header_size, sizeof(id_len));
	plat::vector<uint8_t> rest((be32toh(id_len) & BLOB_ATTR_LEN_MASK) - sizeof(struct blob_attr));
	if (!rest.empty() && !read_exact(fd, rest.data(), rest.size(), deadline)) {
		close(fd);
		return nullptr;
	}

	auto *ctx = static_cast<struct ubus_context *>(calloc(1, sizeof(struct ubus_context)));
	if (!ctx) {
		close(fd);
		return nullptr;
	}
	INIT_LIST_HEAD(&ctx->objects);
	ctx->sock.fd = fd;
	ctx->sock.cb = handle_socket;
	uint32_t peer;
	memcpy(&peer, hdr + 4, sizeof(peer));
	ctx->local_id = be32toh(peer);
	ctx->conn = plat::make<ubus_conn>();
	ctx->conn->kick.t.cb = on_kick;
	ctx->conn->kick.ctx = ctx;
	return ctx;
}

void put_signature(body &b, const struct ubus_object *obj)
{
	void *sig = blob_nest_start(b.buf(), ATTR_SIGNATURE);
	for (int i = 0; i < obj->n_methods; i++) {
		const struct ubus_method *m = &obj->methods[i];
		void *t = blobmsg_open_table(b.buf(), m->name);
		for (int j = 0; j < m->n_policy; j++)
			blobmsg_add_u32(b.buf(), m->policy[j].name, static_cast<uint32_t>(m->policy[j].type));
		blobmsg_close_table(b.buf(), t);
	}
	blob_nest_end(b.buf(), sig);
}

struct publication {
	struct ubus_context *ctx;
	struct ubus_object *obj;
	bool listed = false;
};

// The object is published from its DATA on: a call routed right behind it
// finds it, whatever the status says later.
void on_publish_data(const message &m, void *arg)
{
	auto *p = static_cast<publication *>(arg);
	p->obj->id = m.u32(ATTR_OBJID);
	if (p->obj->type && m.u32(ATTR_OBJTYPE))
		p->obj->type->id = m.u32(ATTR_OBJTYPE);
	if (!p->listed)
		list_add_tail(&p->obj->list, &p->ctx->objects);
	p->listed = true;
}

int publish(struct ubus_context *ctx, struct ubus_object *obj, bool replace)
{
	if (!ctx || !obj || !obj->name)
		return UBUS_STATUS_INVALID_ARGUMENT;
	// Published here already: take it off our list first. A publication on
	// an earlier, freed context left only stale links, which are not read.
	struct ubus_object *o;
	list_for_each_entry(o, &ctx->objects, list) {
		if (o == obj) {
			list_del(&obj->list);
			break;
		}
	}
	body &b = ctx->conn->out;
	b.reset();
	b.put_string(ATTR_OBJPATH, obj->name);
	if (obj->type && obj->type->id)
		b.put_u32(ATTR_OBJTYPE, obj->type->id);
	else
		put_signature(b, obj);
	if (replace)
		b.put_u8(ATTR_VIMB_REPLACE, 1);

	publication p = {ctx, obj};
	int status = sync_request(ctx, MSG_ADD_OBJECT, 0, request_limit_ms, on_publish_data, &p);
	if (status == UBUS_STATUS_OK && !p.listed)
		status = UBUS_STATUS_NO_DATA; // a status without the object's id
	// The daemon may still publish it once it gets to the request, and then
	// route calls to an object this side no longer knows: the connection is
	// of no more use, so the owner hears of it as lost and starts afresh.
	if (status == UBUS_STATUS_TIMEOUT)
		mark_lost(ctx);
	if (status != UBUS_STATUS_OK && p.listed) {
		list_del_init(&obj->list);
		obj->id = 0;
	}
	return status;
}

struct lookup_state {
	struct ubus_context *ctx;
	ubus_lookup_handler_t cb;
	void *priv;
};

void on_lookup_data(const message &m, void *arg)
{
	auto *s = static_cast<lookup_state *>(arg);
	struct ubus_object_data data = {m.u32(ATTR_OBJID), m.u32(ATTR_OBJTYPE), m.str(ATTR_OBJPATH),
					m.tb[ATTR_SIGNATURE]};
	if (data.path && s->cb)
		s->cb(s->ctx, &data, s->priv);
}

void on_lookup_id(struct ubus_context *, struct ubus_object_data *obj, void *priv)
{
	*static_cast<uint32_t *>(priv) = obj->id;
}

struct invoke_state {
	struct ubus_request req;
	ubus_data_handler_t cb;
};

void on_invoke_data(const message &m, void *arg)
{
	auto *s = static_cast<invoke_state *>(arg);
	if (s->cb && m.tb[ATTR_DATA])
		s->cb(&s->req, MSG_DATA, m.tb[ATTR_DATA]);
}

} // namespace

extern "C" {

struct ubus_context *ubus_connect(const char *path)
{
	if (!path)
		return nullptr;
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	if (strlen(path) >= sizeof(sun.sun_path))
		return nullptr;
	strcpy(sun.sun_path, path);
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd < 0)
		return nullptr;
	if (connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0) {
		close(fd);
		return nullptr;
	}
	return finish_connect(fd, now_ms() + connect_limit_ms);
}

struct ubus_context *vimb_connect(const struct sockaddr_in *addr)
{
	if (!addr)
		return nullptr;
	long long deadline = now_ms() + connect_limit_ms;
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd < 0)
		return nullptr;
	tune_tcp(fd);
	if (connect(fd, reinterpret_cast<const struct sockaddr *>(addr), sizeof(*addr)) < 0) {
		if (errno != EINPROGRESS || !wait_fd(fd, POLLOUT, deadline)) {
			close(fd);
			return nullptr;
		}
		int err = 0;
		socklen_t len = sizeof(err);
		if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err) {
			close(fd);
			return nullptr;
		}
	}
	return finish_connect(fd, deadline);
}

void ubus_free(struct ubus_context *ctx)
{
	if (!ctx)
		return;
	if (ctx->sock.registered)
		uloop_fd_delete(&ctx->sock);
	uloop_timeout_cancel(&ctx->conn->kick.t); // its queued calls go with it
	// Published objects outlive the context: leave them unlinked.
	while (!list_empty(&ctx->objects)) {
		struct ubus_object *obj = list_first_entry(&ctx->objects, struct ubus_object, list);
		list_del_init(&obj->list);
	}
	if (ctx->sock.fd >= 0)
		close(ctx->sock.fd);
	plat::destroy(ctx->conn);
	free(ctx);
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	return publish(ctx, obj, false);
}

int ubus_replace_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	return publish(ctx, obj, true);
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	if (!ctx || !obj || !find_object(ctx, obj->id))
		return UBUS_STATUS_INVALID_ARGUMENT;
	body &b = ctx->conn->out;
	b.reset();
	b.put_u32(ATTR_OBJID, obj->id);
	int status = sync_request(ctx, MSG_REMOVE_OBJECT, 0, request_limit_ms, nullptr, nullptr);
	list_del_init(&obj->list);
	obj->id = 0;
	return status;
}

[[gnu::hot]] int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg)
{
	if (!ctx || !req || !msg)
		return UBUS_STATUS_INVALID_ARGUMENT;
	body &b = ctx->conn->out;
	b.reset();
	b.put_u32(ATTR_OBJID, req->object);
	b.put_raw(ATTR_DATA, blob_data(msg), blob_len(msg));
	return send_msg(ctx, MSG_DATA, req->seq, req->peer);
}

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv)
{
	if (!ctx)
		return UBUS_STATUS_INVALID_ARGUMENT;
	body &b = ctx->conn->out;
	b.reset();
	if (path)
		b.put_string(ATTR_OBJPATH, path);
	lookup_state s = {ctx, cb, priv};
	return sync_request(ctx, MSG_LOOKUP, 0, request_limit_ms, on_lookup_data, &s);
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
	// A pattern names an object it matches, as on the device.
	if (!path || !id)
		return UBUS_STATUS_INVALID_ARGUMENT;
	*id = 0;
	int status = ubus_lookup(ctx, path, on_lookup_id, id);
	if (status == UBUS_STATUS_OK && !*id)
		status = UBUS_STATUS_NOT_FOUND;
	return status;
}

int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method,
		struct blob_attr *msg, ubus_data_handler_t cb, void *priv, int timeout)
{
	if (!ctx || !method)
		return UBUS_STATUS_INVALID_ARGUMENT;
	body &b = ctx->conn->out;
	b.reset();
	b.put_u32(ATTR_OBJID, obj);
	b.put_string(ATTR_METHOD, method);
	if (msg)
		b.put_raw(ATTR_DATA, blob_data(msg), blob_len(msg));
	else
		b.put_raw(ATTR_DATA, nullptr, 0);
	invoke_state s = {};
	s.req.ctx = ctx;
	s.req.priv = priv;
	s.req.peer = obj;
	s.cb = cb;
	int status = sync_request(ctx, MSG_INVOKE, obj, timeout, on_invoke_data, &s);
	s.req.status_code = status;
	return status;
}

const char *ubus_strerror(int error)
{
	// The device's library names a status it does not know by its number.
	static char unknown[32];
	if (error < 0 || error >= __UBUS_STATUS_LAST) {
		snprintf(unknown, sizeof(unknown), "Unknown error: %d", error);
		return unknown;
	}
	return status_texts[error];
}

} // extern "C"

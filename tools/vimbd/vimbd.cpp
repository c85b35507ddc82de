// vimbd: the bus daemon of a gateway. Clients connect over TCP or a unix
// socket, publish objects and call each other's methods through it.
// Single-threaded, on the project's event loop.
extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
}

#include "wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <map>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace ubus_wire;

namespace {

constexpr size_t max_queued = 4 * 1024 * 1024; // a client that stops reading is dropped
constexpr int listen_backlog = 64;
// Out of descriptors, the listeners rest until a client goes, or at the
// latest this long (another process may free a system-wide one).
constexpr int accept_retry_ms = 1000;
// The device's system objects keep their ids; only the monitor is served.
constexpr uint32_t monitor_object = 3;
constexpr uint32_t first_free_id = 4;

struct client {
	uint32_t id;
	struct uloop_fd fd;
	stream io;
	bool dead = false;
	bool want_write = false;
	// Monitoring shows every password on the bus: root on the unix
	// socket may, TCP clients only with --monitor-tcp.
	bool may_monitor = false;
	bool monitoring = false;
	uint16_t monitor_seq = 0;
};

struct object {
	uint32_t id;
	std::string path;
	uint32_t type_id;
	uint32_t owner;
};

struct listener {
	struct uloop_fd fd;
	bool tcp;
};

// A signature lives as long as an object of its type does.
struct object_type {
	std::string signature; // SIGNATURE attribute bytes
	unsigned objects = 0;
};

// A call relayed to an object's owner and not yet answered.
using call_key = std::tuple<uint32_t /* caller */, uint16_t /* seq */, uint32_t /* object */>;

std::map<uint32_t, std::unique_ptr<client>> clients;
std::map<uint32_t, object> objects;
std::map<std::string, uint32_t> paths;
std::map<uint32_t, object_type> types;
std::map<call_key, bool> calls;
std::vector<std::unique_ptr<listener>> listeners;
std::vector<uint32_t> dirty; // clients with output to send
std::vector<uint32_t> dying; // clients to drop once the event is handled
uint32_t last_id = 0;
body out;
body monitor_out; // apart from `out`, which may hold the message being monitored
unsigned monitors = 0;
bool monitor_tcp = false;
bool accept_paused = false;
bool starved_logged = false;

void resume_accepting(struct uloop_timeout * = nullptr);
struct uloop_timeout accept_retry = {.cb = resume_accepting};

uint32_t new_id()
{
	do
		last_id++;
	while (last_id < first_free_id || clients.count(last_id) || objects.count(last_id) || types.count(last_id));
	return last_id;
}

void mark_dead(client *c)
{
	if (c->dead)
		return;
	c->dead = true;
	dying.push_back(c->id);
}

client *find_client(uint32_t id)
{
	auto it = clients.find(id);
	return it == clients.end() || it->second->dead ? nullptr : it->second.get();
}

void queue_to(client *c, uint8_t type, uint16_t seq, uint32_t peer, const struct blob_attr *b)
{
	c->io.queue(type, seq, peer, b);
	if (c->io.queued() > max_queued) {
		mark_dead(c); // a monitor that stops reading goes too
		return;
	}
	dirty.push_back(c->id);
}

// One copy of a message to or from client `c` for every monitoring client.
void monitor(const client *c, bool send, uint8_t type, uint16_t seq, uint32_t peer,
	     const struct blob_attr *b)
{
	if (!monitors || type == MSG_MONITOR)
		return;
	monitor_out.reset();
	blob_put_u32(monitor_out.buf(), MONITOR_CLIENT, c->id);
	blob_put_u32(monitor_out.buf(), MONITOR_PEER, peer);
	blob_put_u8(monitor_out.buf(), MONITOR_SEND, send);
	blob_put_u32(monitor_out.buf(), MONITOR_SEQ, seq);
	blob_put_u32(monitor_out.buf(), MONITOR_TYPE, type);
	blob_put(monitor_out.buf(), MONITOR_DATA, blob_data(b), blob_len(b));
	for (auto &[id, m] : clients) {
		if (m->monitoring && !m->dead)
			queue_to(m.get(), MSG_MONITOR, ++m->monitor_seq, 0, monitor_out.head());
	}
}

void send_to(client *c, uint8_t type, uint16_t seq, uint32_t peer, const struct blob_attr *b)
{
	if (!c || c->dead)
		return;
	monitor(c, true, type, seq, peer, b);
	queue_to(c, type, seq, peer, b);
}

void send_status(client *c, uint16_t seq, uint32_t peer, int status, uint32_t objid = 0)
{
	out.reset();
	if (objid)
		out.put_u32(ATTR_OBJID, objid);
	out.put_u32(ATTR_STATUS, static_cast<uint32_t>(status));
	send_to(c, MSG_STATUS, seq, peer, out.head());
}

// Callers still waiting on the object learn that it is gone.
void remove_object(uint32_t id)
{
	auto it = objects.find(id);
	if (it == objects.end())
		return;
	for (auto c = calls.begin(); c != calls.end();) {
		auto [caller, seq, obj] = c->first;
		if (obj != id) {
			++c;
			continue;
		}
		send_status(find_client(caller), seq, id, 4 /* Not found */, id);
		c = calls.erase(c);
	}
	auto type = types.find(it->second.type_id);
	if (type != types.end() && !--type->second.objects)
		types.erase(type);
	paths.erase(it->second.path);
	objects.erase(it);
}

// A level-triggered listener that cannot accept would wake the loop at
// once, forever: take the listeners out of the loop until there is room.
void pause_accepting()
{
	if (!starved_logged)
		fprintf(stderr, "vimbd: cannot accept: %s; waiting for a client to go\n", strerror(errno));
	starved_logged = true;
	accept_paused = true;
	for (auto &l : listeners)
		uloop_fd_delete(&l->fd);
	uloop_timeout_set(&accept_retry, accept_retry_ms);
}

void resume_accepting(struct uloop_timeout *)
{
	if (!accept_paused)
		return;
	accept_paused = false;
	uloop_timeout_cancel(&accept_retry);
	for (auto &l : listeners)
		uloop_fd_add(&l->fd, ULOOP_READ);
}

void handle_client(struct uloop_fd *u, unsigned int events);

void update_write_interest(client *c)
{
	bool want = c->io.queued() > 0;
	if (want == c->want_write)
		return;
	c->want_write = want;
	uloop_fd_add(&c->fd, ULOOP_READ | (want ? ULOOP_WRITE : 0));
}

void flush_dirty()
{
	std::vector<uint32_t> ids;
	ids.swap(dirty);
	for (uint32_t id : ids) {
		client *c = find_client(id);
		if (!c)
			continue;
		if (c->io.flush(c->fd.fd) == io::error)
			mark_dead(c);
		else
			update_write_interest(c);
	}
}

void drop_client(client *c)
{
	if (c->monitoring)
		monitors--;
	uloop_fd_delete(&c->fd);
	close(c->fd.fd);
	std::vector<uint32_t> owned;
	for (const auto &[id, obj] : objects) {
		if (obj.owner == c->id)
			owned.push_back(id);
	}
	for (uint32_t id : owned)
		remove_object(id);
	for (auto it = calls.begin(); it != calls.end();) {
		if (std::get<0>(it->first) == c->id)
			it = calls.erase(it);
		else
			++it;
	}
}

void reap_dead()
{
	std::vector<uint32_t> ids;
	ids.swap(dying);
	for (uint32_t id : ids) {
		auto it = clients.find(id);
		if (it == clients.end())
			continue;
		drop_client(it->second.get());
		clients.erase(it);
		resume_accepting(); // its descriptor is free again
	}
}

// Dropping a client can queue news for others (status 4 for their calls),
// and a failed write can drop another client: go on until nothing moves.
void settle()
{
	do {
		flush_dirty();
		reap_dead();
	} while (!dirty.empty() || !dying.empty());
}

void put_object(const object &obj)
{
	out.reset();
	out.put_string(ATTR_OBJPATH, obj.path.c_str());
	out.put_u32(ATTR_OBJID, obj.id);
	out.put_u32(ATTR_OBJTYPE, obj.type_id);
	auto type = types.find(obj.type_id);
	if (type != types.end())
		out.put_raw(ATTR_SIGNATURE, type->second.signature.data(), type->second.signature.size());
}

bool path_matches(const std::string &path, const char *pattern)
{
	if (!pattern)
		return true;
	size_t n = strlen(pattern);
	if (n && pattern[n - 1] == '*')
		return path.compare(0, n - 1, pattern, n - 1) == 0;
	return path == pattern;
}

void on_lookup(client *c, const message &m)
{
	const char *pattern = m.str(ATTR_OBJPATH);
	bool found = false;
	for (const auto &[path, id] : paths) {
		if (!path_matches(path, pattern))
			continue;
		put_object(objects[id]);
		send_to(c, MSG_DATA, m.seq, m.peer, out.head());
		found = true;
	}
	// As the device's daemon: only a path or pattern can be not found; the
	// whole list of an empty bus is empty.
	send_status(c, m.seq, m.peer, found || !pattern ? 0 : 4);
}

// Every method entry must be a well-formed table of argument types.
bool signature_ok(const struct blob_attr *sig)
{
	struct blob_attr *cur;
	size_t rem;
	blob_for_each_attr(cur, sig, rem) {
		if (!blobmsg_check_attr(cur, true) || blobmsg_type(cur) != BLOBMSG_TYPE_TABLE)
			return false;
	}
	return rem == 0;
}

void on_add_object(client *c, const message &m)
{
	const char *path = m.str(ATTR_OBJPATH);
	if (!path || !*path) {
		send_status(c, m.seq, m.peer, 2);
		return;
	}
	uint32_t type_id = m.u32(ATTR_OBJTYPE);
	if (type_id && !types.count(type_id)) {
		send_status(c, m.seq, m.peer, 4);
		return;
	}
	const struct blob_attr *sig = m.tb[ATTR_SIGNATURE];
	if (!type_id && sig && !signature_ok(sig)) {
		send_status(c, m.seq, m.peer, 2);
		return;
	}
	auto taken = paths.find(path);
	bool replace = m.tb[ATTR_VIMB_REPLACE] && blob_get_u8(m.tb[ATTR_VIMB_REPLACE]);
	if (taken != paths.end() && !replace) {
		send_status(c, m.seq, m.peer, 2);
		return;
	}
	if (type_id) {
		// Counted before a replaced object, maybe its last user, goes.
		types[type_id].objects++;
	} else {
		type_id = new_id();
		object_type &t = types[type_id];
		t.signature = sig ? std::string(static_cast<const char *>(blob_data(sig)), blob_len(sig)) : "";
		t.objects = 1;
	}
	if (taken != paths.end())
		remove_object(taken->second);
	object obj = {new_id(), path, type_id, c->id};
	objects[obj.id] = obj;
	paths[obj.path] = obj.id;

	out.reset();
	out.put_u32(ATTR_OBJID, obj.id);
	out.put_u32(ATTR_OBJTYPE, type_id);
	send_to(c, MSG_DATA, m.seq, m.peer, out.head());
	send_status(c, m.seq, m.peer, 0);
}

void on_remove_object(client *c, const message &m)
{
	uint32_t id = m.u32(ATTR_OBJID);
	auto it = objects.find(id);
	if (it == objects.end() || it->second.owner != c->id) {
		send_status(c, m.seq, m.peer, 4);
		return;
	}
	remove_object(id);
	send_status(c, m.seq, m.peer, 0, id);
}

// "add" starts a client's monitoring, "remove" ends it.
void on_monitor_invoke(client *c, const message &m)
{
	const char *method = m.str(ATTR_METHOD);
	int status = 0;
	if (!method) {
		status = 2;
	} else if (strcmp(method, "add") == 0) {
		if (!c->may_monitor) {
			status = 6; // Permission denied
		} else if (!c->monitoring) {
			c->monitoring = true;
			monitors++;
		}
	} else if (strcmp(method, "remove") == 0) {
		if (c->monitoring) {
			c->monitoring = false;
			monitors--;
		}
	} else {
		status = 3;
	}
	if (!(m.tb[ATTR_NO_REPLY] && blob_get_u8(m.tb[ATTR_NO_REPLY])))
		send_status(c, m.seq, monitor_object, status, monitor_object);
}

void on_invoke(client *c, const message &m)
{
	uint32_t id = m.u32(ATTR_OBJID);
	if (id == monitor_object) {
		on_monitor_invoke(c, m);
		return;
	}
	auto it = objects.find(id);
	client *owner = it == objects.end() ? nullptr : find_client(it->second.owner);
	if (!owner) {
		send_status(c, m.seq, id, 4, id);
		return;
	}
	if (!m.str(ATTR_METHOD)) {
		send_status(c, m.seq, id, 2, id);
		return;
	}
	out.reset();
	out.put_u32(ATTR_OBJID, id);
	out.put_string(ATTR_METHOD, m.str(ATTR_METHOD));
	if (m.tb[ATTR_DATA])
		out.put_raw(ATTR_DATA, blob_data(m.tb[ATTR_DATA]), blob_len(m.tb[ATTR_DATA]));
	bool no_reply = m.tb[ATTR_NO_REPLY] && blob_get_u8(m.tb[ATTR_NO_REPLY]);
	if (no_reply)
		out.put_u8(ATTR_NO_REPLY, 1);
	else
		calls[{c->id, m.seq, id}] = true;
	send_to(owner, MSG_INVOKE, m.seq, c->id, out.head());
}

// An owner's reply goes to the caller with the object as its peer; replies
// that no relayed call waits for are dropped.
void on_reply(client *c, const message &m)
{
	uint32_t id = m.u32(ATTR_OBJID);
	auto obj = objects.find(id);
	auto call = calls.find({m.peer, m.seq, id});
	if (obj == objects.end() || obj->second.owner != c->id || call == calls.end())
		return;
	send_to(find_client(m.peer), m.type, m.seq, id, m.body);
	if (m.type == MSG_STATUS)
		calls.erase(call);
}

void on_message(client *c, const message &m)
{
	switch (m.type) {
	case MSG_HELLO:
		return;
	case MSG_PING:
		send_to(c, MSG_DATA, m.seq, m.peer, m.body);
		return;
	case MSG_LOOKUP:
		on_lookup(c, m);
		return;
	case MSG_ADD_OBJECT:
		on_add_object(c, m);
		return;
	case MSG_REMOVE_OBJECT:
		on_remove_object(c, m);
		return;
	case MSG_INVOKE:
		on_invoke(c, m);
		return;
	case MSG_DATA:
	case MSG_STATUS:
		on_reply(c, m);
		return;
	default:
		send_status(c, m.seq, m.peer, 1);
		return;
	}
}

void handle_client(struct uloop_fd *u, unsigned int events)
{
	client *c = container_of(u, client, fd);
	if (events & ULOOP_WRITE) {
		if (c->io.flush(u->fd) == io::error)
			mark_dead(c);
		else
			update_write_interest(c);
	}
	if (!c->dead && (events & ULOOP_READ)) {
		io r = c->io.fill(u->fd);
		if (r == io::closed || r == io::error) {
			mark_dead(c);
		} else {
			message m;
			bool bad = false;
			while (!c->dead && c->io.next(m, bad)) {
				monitor(c, false, m.type, m.seq, m.peer, m.body);
				on_message(c, m);
			}
			c->io.consume();
			if (bad)
				mark_dead(c); // garbage from one client drops only that client
		}
	}
	settle();
}

bool peer_is_root(int fd)
{
	struct ucred cred;
	socklen_t len = sizeof(cred);
	return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == 0;
}

void accept_client(struct uloop_fd *u, unsigned int)
{
	auto *l = container_of(u, listener, fd);
	for (;;) {
		int fd = accept4(u->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd < 0) {
			if (errno == EINTR || errno == ECONNABORTED)
				continue;
			if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
				pause_accepting();
			return;
		}
		starved_logged = false;
		if (l->tcp)
			tune_tcp(fd);
		auto c = std::make_unique<client>();
		c->may_monitor = l->tcp ? monitor_tcp : peer_is_root(fd);
		c->id = new_id();
		c->fd.fd = fd;
		c->fd.cb = handle_client;
		client *raw = c.get();
		clients[c->id] = std::move(c);
		uloop_fd_add(&raw->fd, ULOOP_READ);
		out.reset();
		send_to(raw, MSG_HELLO, 0, raw->id, out.head());
		settle();
	}
}

bool add_listener(int fd, bool tcp)
{
	if (listen(fd, listen_backlog) < 0) {
		close(fd);
		return false;
	}
	auto l = std::make_unique<listener>();
	l->fd.fd = fd;
	l->fd.cb = accept_client;
	l->tcp = tcp;
	uloop_fd_add(&l->fd, ULOOP_READ);
	listeners.push_back(std::move(l));
	return true;
}

bool listen_tcp(const std::string &address)
{
	size_t colon = address.rfind(':');
	if (colon == std::string::npos)
		return false;
	std::string host = address.substr(0, colon);
	int port = atoi(address.c_str() + colon + 1);
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(static_cast<uint16_t>(port));
	if (port < 0 || port > 65535 || !inet_aton(host.c_str(), &sin.sin_addr))
		return false;
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	int one = 1;
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0) {
		fprintf(stderr, "vimbd: cannot listen on %s: %s\n", address.c_str(), strerror(errno));
		close(fd);
		return false;
	}
	return add_listener(fd, true);
}

// The socket is bound under a temporary name and renamed into place once it
// listens: a client that finds the path can connect.
bool listen_unix(const std::string &path)
{
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	std::string tmp = path + ".new";
	if (tmp.size() >= sizeof(sun.sun_path))
		return false;
	strcpy(sun.sun_path, tmp.c_str());
	unlink(path.c_str());
	unlink(tmp.c_str());
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0) {
		fprintf(stderr, "vimbd: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
		close(fd);
		return false;
	}
	if (!add_listener(fd, false) || rename(tmp.c_str(), path.c_str()) < 0) {
		fprintf(stderr, "vimbd: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
		unlink(tmp.c_str());
		return false;
	}
	return true;
}

void usage()
{
	fputs("Usage: vimbd [-l ADDRESS:PORT]... [-s UNIX_SOCKET] [--monitor-tcp]\n"
	      "  -l  listen on a TCP address (default 127.0.0.1:784 when no -l is given)\n"
	      "  -s  listen on a unix socket as well\n"
	      "  --monitor-tcp  let TCP clients monitor the bus (root on the unix socket may always)\n",
	      stderr);
}

} // namespace

int main(int argc, char **argv)
{
	std::vector<std::string> tcp;
	std::string unix_path;
	static const struct option long_options[] = {
		{"monitor-tcp", no_argument, nullptr, 'M'},
		{nullptr, 0, nullptr, 0},
	};
	int opt;
	while ((opt = getopt_long(argc, argv, "l:s:", long_options, nullptr)) != -1) {
		switch (opt) {
		case 'M':
			monitor_tcp = true;
			break;
		case 'l':
			tcp.push_back(optarg);
			break;
		case 's':
			unix_path = optarg;
			break;
		default:
			usage();
			return 1;
		}
	}
	if (optind < argc) {
		usage();
		return 1;
	}
	if (tcp.empty())
		tcp.push_back("127.0.0.1:784");

	signal(SIGPIPE, SIG_IGN);
	uloop_init();
	for (const auto &address : tcp) {
		if (!listen_tcp(address))
			return 1;
	}
	if (!unix_path.empty() && !listen_unix(unix_path))
		return 1;
	uloop_run();
	if (!unix_path.empty())
		unlink(unix_path.c_str());
	return 0;
}

// vimb: list the objects on a bus daemon, call their methods and watch the
// messages that pass through it.
#include <libubus.h>

#include "wire.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using json = nlohmann::ordered_json;

constexpr int default_timeout_s = 30;

void usage()
{
	fputs("Usage: vimb [-s ADDRESS:PORT | -S UNIX_SOCKET] [-t SECONDS] <command> ...\n"
	      "Commands:\n"
	      "  list [-v] [PATTERN]          objects (PATTERN may end in *)\n"
	      "  call OBJECT METHOD [JSON]    call a method with a JSON object\n"
	      "  monitor                      print every message through the bus daemon\n"
	      "Without -s or -S the address is $VIMB_ADDRESS, else 127.0.0.1:784.\n",
	      stderr);
}

struct ctx_holder {
	struct ubus_context *ctx = nullptr;
	~ctx_holder() { ubus_free(ctx); }
};

struct ubus_context *connect_to(const std::string &address, bool unix_socket)
{
	if (unix_socket || address.find('/') != std::string::npos)
		return ubus_connect(address.c_str());
	size_t colon = address.rfind(':');
	if (colon == std::string::npos)
		return nullptr;
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	int port = atoi(address.c_str() + colon + 1);
	if (port <= 0 || port > 65535 || !inet_aton(address.substr(0, colon).c_str(), &sin.sin_addr))
		return nullptr;
	sin.sin_port = htons(static_cast<uint16_t>(port));
	return vimb_connect(&sin);
}

// JSON strings as JSON wants them; other bytes pass through.
void put_json_string(std::string &out, const char *s)
{
	out += '"';
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
		switch (*p) {
		case '"': out += "\\\""; break;
		case '\\': out += "\\\\"; break;
		case '\n': out += "\\n"; break;
		case '\r': out += "\\r"; break;
		case '\t': out += "\\t"; break;
		case '\b': out += "\\b"; break;
		case '\f': out += "\\f"; break;
		default:
			if (*p < 0x20) {
				char buf[8];
				snprintf(buf, sizeof(buf), "\\u%04x", *p);
				out += buf;
			} else {
				out += static_cast<char>(*p);
			}
		}
	}
	out += '"';
}

// A negative depth writes everything on one line.
void put_container(std::string &out, const struct blob_attr *attr, bool array, int depth);

void put_value(std::string &out, const struct blob_attr *a, int depth)
{
	char buf[64];
	switch (blobmsg_type(a)) {
	case BLOBMSG_TYPE_STRING:
		put_json_string(out, blobmsg_get_string(a));
		return;
	case BLOBMSG_TYPE_INT8:
		out += blobmsg_get_u8(a) ? "true" : "false";
		return;
	case BLOBMSG_TYPE_INT16:
		out += std::to_string(static_cast<int16_t>(blobmsg_get_u16(a)));
		return;
	case BLOBMSG_TYPE_INT32:
		out += std::to_string(static_cast<int32_t>(blobmsg_get_u32(a)));
		return;
	case BLOBMSG_TYPE_INT64:
		out += std::to_string(static_cast<int64_t>(blobmsg_get_u64(a)));
		return;
	case BLOBMSG_TYPE_DOUBLE:
		snprintf(buf, sizeof(buf), "%.17g", blobmsg_get_double(a));
		out += buf;
		return;
	case BLOBMSG_TYPE_TABLE:
	case BLOBMSG_TYPE_ARRAY:
		put_container(out, a, blobmsg_type(a) == BLOBMSG_TYPE_ARRAY, depth);
		return;
	default:
		out += "null";
	}
}

// Written straight from the attributes, so duplicate names stay as they came.
void put_fields(std::string &out, const void *data, size_t len, bool array, int depth)
{
	const struct blob_attr *cur;
	size_t rem;
	bool first = true;
	blob_for_each_attr_len(cur, data, len, rem) {
		if (!blobmsg_check_attr(cur, !array))
			continue;
		if (depth < 0) {
			out += first ? "" : ",";
		} else {
			out += first ? "\n" : ",\n";
			out.append(static_cast<size_t>(depth + 1), '\t');
		}
		first = false;
		if (!array) {
			put_json_string(out, blobmsg_name(cur));
			out += depth < 0 ? ":" : ": ";
		}
		put_value(out, cur, depth < 0 ? depth : depth + 1);
	}
	if (!first && depth >= 0) {
		out += '\n';
		out.append(static_cast<size_t>(depth), '\t');
	}
}

void put_container(std::string &out, const struct blob_attr *attr, bool array, int depth)
{
	out += array ? '[' : '{';
	put_fields(out, blobmsg_data(attr), blobmsg_data_len(attr), array, depth);
	out += array ? ']' : '}';
}

void print_reply(struct ubus_request *, int, struct blob_attr *msg)
{
	std::string out = "{";
	put_fields(out, blob_data(msg), blob_len(msg), false, 0);
	out += "}\n";
	fputs(out.c_str(), stdout);
}

bool add_json(struct blob_buf *b, const char *name, const json &v)
{
	switch (v.type()) {
	case json::value_t::string:
		return blobmsg_add_string(b, name, v.get_ref<const std::string &>().c_str()) == 0;
	case json::value_t::boolean:
		return blobmsg_add_u8(b, name, v.get<bool>()) == 0;
	case json::value_t::number_integer:
	case json::value_t::number_unsigned: {
		if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
			return blobmsg_add_double(b, name, v.get<double>()) == 0;
		int64_t n = v.get<int64_t>();
		if (n >= INT32_MIN && n <= INT32_MAX)
			return blobmsg_add_u32(b, name, static_cast<uint32_t>(n)) == 0;
		return blobmsg_add_u64(b, name, static_cast<uint64_t>(n)) == 0;
	}
	case json::value_t::number_float:
		return blobmsg_add_double(b, name, v.get<double>()) == 0;
	case json::value_t::null:
		return blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0) == 0;
	case json::value_t::object: {
		void *t = blobmsg_open_table(b, name);
		for (const auto &[k, item] : v.items())
			if (!add_json(b, k.c_str(), item))
				return false;
		blobmsg_close_table(b, t);
		return true;
	}
	case json::value_t::array: {
		void *a = blobmsg_open_array(b, name);
		for (const auto &item : v)
			if (!add_json(b, nullptr, item))
				return false;
		blobmsg_close_array(b, a);
		return true;
	}
	default:
		return false;
	}
}

int fail(int status)
{
	fprintf(stderr, "Command failed: %s\n", ubus_strerror(status));
	return status;
}

const char *type_name(uint32_t type)
{
	switch (type) {
	case BLOBMSG_TYPE_ARRAY: return "Array";
	case BLOBMSG_TYPE_TABLE: return "Table";
	case BLOBMSG_TYPE_STRING: return "String";
	case BLOBMSG_TYPE_INT64:
	case BLOBMSG_TYPE_INT32:
	case BLOBMSG_TYPE_INT16: return "Integer";
	case BLOBMSG_TYPE_INT8: return "Boolean";
	case BLOBMSG_TYPE_DOUBLE: return "Double";
	default: return "(unknown)";
	}
}

bool verbose_list;

void print_object(struct ubus_context *, struct ubus_object_data *obj, void *)
{
	if (!verbose_list) {
		printf("%s\n", obj->path);
		return;
	}
	printf("'%s' @%08x\n", obj->path, obj->id);
	if (!obj->signature)
		return;
	const struct blob_attr *method;
	size_t rem;
	blob_for_each_attr(method, obj->signature, rem) {
		if (!blobmsg_check_attr(method, true))
			continue;
		std::string line = "\t\"" + std::string(blobmsg_name(method)) + "\":{";
		const struct blob_attr *arg;
		size_t arem;
		bool first = true;
		blobmsg_for_each_attr(arg, method, arem) {
			if (!blobmsg_check_attr(arg, true) || blobmsg_type(arg) != BLOBMSG_TYPE_INT32)
				continue;
			line += first ? "" : ",";
			line += "\"" + std::string(blobmsg_name(arg)) + "\":\"" + type_name(blobmsg_get_u32(arg)) + "\"";
			first = false;
		}
		printf("%s}\n", line.c_str());
	}
}

int cmd_list(struct ubus_context *ctx, int argc, char **argv)
{
	int i = 0;
	if (i < argc && strcmp(argv[i], "-v") == 0) {
		verbose_list = true;
		i++;
	}
	if (argc - i > 1) {
		usage();
		return 1;
	}
	int status = ubus_lookup(ctx, i < argc ? argv[i] : nullptr, print_object, nullptr);
	return status ? fail(status) : 0;
}

int cmd_call(struct ubus_context *ctx, int argc, char **argv, int timeout_s)
{
	if (argc < 2 || argc > 3) {
		usage();
		return 1;
	}
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	if (argc == 3) {
		json args = json::parse(argv[2], nullptr, false);
		if (args.is_discarded() || !args.is_object()) {
			fprintf(stderr, "Failed to parse message data\n");
			blob_buf_free(&b);
			return UBUS_STATUS_PARSE_ERROR;
		}
		for (const auto &[k, v] : args.items()) {
			if (!add_json(&b, k.c_str(), v)) {
				fprintf(stderr, "Failed to parse message data\n");
				blob_buf_free(&b);
				return UBUS_STATUS_PARSE_ERROR;
			}
		}
	}
	uint32_t id;
	int status = ubus_lookup_id(ctx, argv[0], &id);
	if (status == UBUS_STATUS_OK)
		status = ubus_invoke(ctx, id, argv[1], b.head, print_reply, nullptr, timeout_s * 1000);
	blob_buf_free(&b);
	return status ? fail(status) : 0;
}

// The monitor speaks the wire protocol itself: the library has no use for
// MONITOR messages and would not hand them over.
int connect_raw(const std::string &address, bool unix_socket)
{
	if (unix_socket || address.find('/') != std::string::npos) {
		struct sockaddr_un sun = {};
		sun.sun_family = AF_UNIX;
		if (address.size() >= sizeof(sun.sun_path))
			return -1;
		strcpy(sun.sun_path, address.c_str());
		int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
		if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0) {
			close(fd);
			return -1;
		}
		return fd;
	}
	size_t colon = address.rfind(':');
	if (colon == std::string::npos)
		return -1;
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	int port = atoi(address.c_str() + colon + 1);
	if (port <= 0 || port > 65535 || !inet_aton(address.substr(0, colon).c_str(), &sin.sin_addr))
		return -1;
	sin.sin_port = htons(static_cast<uint16_t>(port));
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0) {
		close(fd);
		return -1;
	}
	if (fd >= 0)
		ubus_wire::tune_tcp(fd);
	return fd;
}

const char *msg_type_name(uint32_t type, char (&buf)[16])
{
	static constexpr const char *names[] = {
		"hello", "status", "data", "ping", "lookup", "invoke",
		"add_object", "remove_object", "subscribe", "unsubscribe", "notify",
	};
	if (type < sizeof(names) / sizeof(names[0]))
		return names[type];
	snprintf(buf, sizeof(buf), "%" PRIu32, type);
	return buf;
}

// One message body's attributes as one JSON object; attributes that are
// malformed or unknown are left out.
std::string body_json(const void *data, size_t len)
{
	using namespace ubus_wire;
	std::string out = "{";
	const struct blob_attr *cur;
	size_t rem;
	bool first = true;
	blob_for_each_attr_len(cur, data, len, rem) {
		const char *name = nullptr;
		std::string value;
		size_t n = blob_len(cur);
		switch (blob_id(cur)) {
		case ATTR_STATUS: name = "status"; break;
		case ATTR_OBJID: name = "objid"; break;
		case ATTR_OBJTYPE: name = "objtype"; break;
		case ATTR_TARGET: name = "target"; break;
		case ATTR_OBJPATH: name = "objpath"; break;
		case ATTR_METHOD: name = "method"; break;
		case ATTR_USER: name = "user"; break;
		case ATTR_GROUP: name = "group"; break;
		case ATTR_SIGNATURE: name = "signature"; break;
		case ATTR_DATA: name = "data"; break;
		case ATTR_SUBSCRIBERS: name = "subscribers"; break;
		case ATTR_ACTIVE: name = "active"; break;
		case ATTR_NO_REPLY: name = "no_reply"; break;
		case ATTR_VIMB_REPLACE: name = "replace"; break;
		default: continue;
		}
		switch (blob_id(cur)) {
		case ATTR_STATUS:
		case ATTR_OBJID:
		case ATTR_OBJTYPE:
		case ATTR_TARGET:
			if (n != 4)
				continue;
			value = std::to_string(static_cast<int32_t>(blob_get_u32(cur)));
			break;
		case ATTR_OBJPATH:
		case ATTR_METHOD:
		case ATTR_USER:
		case ATTR_GROUP:
			if (!n || static_cast<const char *>(blob_data(cur))[n - 1])
				continue;
			put_json_string(value, blob_get_string(cur));
			break;
		case ATTR_ACTIVE:
		case ATTR_NO_REPLY:
		case ATTR_VIMB_REPLACE:
			if (n != 1)
				continue;
			value = blob_get_u8(cur) ? "true" : "false";
			break;
		default:
			value = "{";
			put_fields(value, blob_data(cur), n, false, -1);
			value += "}";
		}
		out += first ? "" : ",";
		first = false;
		put_json_string(out, name);
		out += ":" + value;
	}
	return out + "}";
}

void print_monitored(const ubus_wire::message &m)
{
	using namespace ubus_wire;
	const struct blob_attr *const *tb = m.tb;
	if (!tb[MONITOR_CLIENT] || !tb[MONITOR_PEER] || !tb[MONITOR_SEND] || !tb[MONITOR_TYPE])
		return;
	char num[16];
	std::string data = tb[MONITOR_DATA] ? body_json(blob_data(tb[MONITOR_DATA]), blob_len(tb[MONITOR_DATA])) : "{}";
	printf("%s %08x #%08x %14s: %s\n", blob_get_u8(tb[MONITOR_SEND]) ? "->" : "<-",
	       blob_get_u32(tb[MONITOR_CLIENT]), blob_get_u32(tb[MONITOR_PEER]),
	       msg_type_name(blob_get_u32(tb[MONITOR_TYPE]), num), data.c_str());
	// Lines appear while it happens, also in a file or a pipe.
	fflush(stdout);
}

// The next message, waiting at most `timeout_ms` (-1: for ever); false when
// the connection ends, breaks or sends garbage, or time is up.
bool next_message(int fd, ubus_wire::stream &in, ubus_wire::message &m, int timeout_ms)
{
	for (;;) {
		bool bad = false;
		if (in.next(m, bad))
			return true;
		if (bad)
			return false;
		in.consume();
		struct pollfd p = {fd, POLLIN, 0};
		int r = poll(&p, 1, timeout_ms);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return false;
		ubus_wire::io got = in.fill(fd);
		if (got == ubus_wire::io::closed || got == ubus_wire::io::error)
			return false;
	}
}

int cmd_monitor(const std::string &address, bool unix_socket, int argc, int timeout_s)
{
	using namespace ubus_wire;
	if (argc) {
		usage();
		return 1;
	}
	int fd = connect_raw(address, unix_socket);
	if (fd < 0) {
		fprintf(stderr, "Failed to connect to vimbd at %s\n", address.c_str());
		return UBUS_STATUS_CONNECTION_FAILED;
	}
	stream in;
	message m;
	int timeout_ms = timeout_s * 1000;
	if (!next_message(fd, in, m, timeout_ms) || m.type != MSG_HELLO) {
		close(fd);
		fprintf(stderr, "Failed to connect to vimbd at %s\n", address.c_str());
		return UBUS_STATUS_CONNECTION_FAILED;
	}
	constexpr uint32_t monitor_object = 3;
	constexpr uint16_t add_seq = 1;
	body req;
	req.put_u32(ATTR_OBJID, monitor_object);
	req.put_string(ATTR_METHOD, "add");
	req.put_raw(ATTR_DATA, nullptr, 0);
	stream out;
	out.queue(MSG_INVOKE, add_seq, monitor_object, req.head());
	io sent;
	while ((sent = out.flush(fd)) == io::blocked) {
		struct pollfd p = {fd, POLLOUT, 0};
		poll(&p, 1, timeout_ms);
	}
	int status = UBUS_STATUS_CONNECTION_FAILED;
	bool added = false;
	while (sent == io::ok && next_message(fd, in, m, added ? -1 : timeout_ms)) {
		if (m.type == MSG_MONITOR) {
			print_monitored(m);
		} else if (!added && m.type == MSG_STATUS && m.seq == add_seq) {
			status = static_cast<int>(m.u32(ATTR_STATUS));
			if (status)
				break;
			added = true;
		}
	}
	close(fd);
	if (!added)
		return fail(status);
	fprintf(stderr, "Connection to vimbd lost\n");
	return UBUS_STATUS_CONNECTION_FAILED;
}

} // namespace

int main(int argc, char **argv)
{
	const char *env = getenv("VIMB_ADDRESS");
	std::string address = env && *env ? env : "127.0.0.1:784";
	bool unix_socket = false;
	int timeout_s = default_timeout_s;
	int opt;
	while ((opt = getopt(argc, argv, "+s:S:t:")) != -1) {
		switch (opt) {
		case 's':
			address = optarg;
			unix_socket = false;
			break;
		case 'S':
			address = optarg;
			unix_socket = true;
			break;
		case 't':
			timeout_s = atoi(optarg);
			if (timeout_s <= 0) {
				usage();
				return 1;
			}
			break;
		default:
			usage();
			return 1;
		}
	}
	if (optind >= argc) {
		usage();
		return 1;
	}
	std::string cmd = argv[optind];
	if (cmd != "list" && cmd != "call" && cmd != "monitor") {
		usage();
		return 1;
	}
	if (cmd == "monitor")
		return cmd_monitor(address, unix_socket, argc - optind - 1, timeout_s);
	ctx_holder h;
	h.ctx = connect_to(address, unix_socket);
	if (!h.ctx) {
		fprintf(stderr, "Failed to connect to vimbd at %s\n", address.c_str());
		return UBUS_STATUS_CONNECTION_FAILED;
	}
	int rest = argc - optind - 1;
	char **args = argv + optind + 1;
	// Object names may start with '-' ("-@kestrad" has no LAN address).
	if (rest && strcmp(args[0], "--") == 0) {
		rest--;
		args++;
	}
	int r = cmd == "list" ? cmd_list(h.ctx, rest, args) : cmd_call(h.ctx, rest, args, timeout_s);
	fflush(stdout);
	return r;
}

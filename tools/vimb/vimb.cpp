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
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using json = nlohmann::ordered_json;

// What a script gets from the device's `ubus`: the same options, commands,
// output bytes and exit statuses. Only the default socket and its `tcp:`
// form are the project's (README, "The bus: vimbd and vimb").
constexpr int default_timeout_s = 30;
constexpr const char *default_socket = "tcp:127.0.0.1:784";

// Exit statuses as the device's tool gives them: a command's negative
// result is its status byte, a positive one a bus status that main reports.
constexpr int usage_status = -UBUS_STATUS_INVALID_ARGUMENT;

const char *prog = "vimb";
bool simple_output;
int verbose;
int timeout_s = default_timeout_s;

void usage()
{
	fprintf(stderr,
		"Usage: %s [<options>] <command> [arguments...]\n"
		"Options:\n"
		" -s <socket>:\t\tSet the unix domain socket to connect to\n"
		" -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
		" -S:\t\t\tUse simplified output (for scripts)\n"
		" -v:\t\t\tMore verbose output\n"
		" -m <type>:\t\t(for monitor): include a specific message type\n"
		"\t\t\t(can be used more than once)\n"
		" -M <r|t>\t\t(for monitor): only capture received or transmitted traffic\n"
		"\n"
		"Commands:\n"
		" - list [<path>]\t\t\tList objects\n"
		" - call <path> <method> [<message>]\tCall an object method\n"
		" - subscribe <path> [<path>...]\tSubscribe to object(s) notifications\n"
		" - listen [<path>...]\t\t\tListen for events\n"
		" - send <type> [<message>]\t\tSend an event\n"
		" - wait_for <object> [<object>...]\tWait for multiple objects to appear on ubus\n"
		" - monitor\t\t\t\tMonitor ubus traffic\n"
		"\n",
		prog);
}

struct ctx_holder {
	struct ubus_context *ctx = nullptr;
	~ctx_holder() { ubus_free(ctx); }
};

int socket_fd(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

// "tcp:ADDR:PORT", or a unix socket path.
bool tcp_address(const std::string &socket, struct sockaddr_in &sin)
{
	if (socket.compare(0, 4, "tcp:") != 0)
		return false;
	std::string rest = socket.substr(4);
	size_t colon = rest.rfind(':');
	sin = {};
	sin.sin_family = AF_INET;
	char *end = nullptr;
	long port = colon == std::string::npos ? 0 : strtol(rest.c_str() + colon + 1, &end, 10);
	if (port <= 0 || port > 65535 || *end || !inet_aton(rest.substr(0, colon).c_str(), &sin.sin_addr))
		sin.sin_port = 0;
	else
		sin.sin_port = htons(static_cast<uint16_t>(port));
	return true;
}

struct ubus_context *connect_to(const std::string &socket)
{
	struct sockaddr_in sin;
	if (!tcp_address(socket, sin))
		return ubus_connect(socket.c_str());
	return sin.sin_port ? vimb_connect(&sin) : nullptr;
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

// A negative depth writes everything on one line; otherwise each element
// on a line of its own, indented by tabs, and an empty container keeps its
// opening line's indent on a blank line, as the device's tool does.
void put_container(std::string &out, const void *data, size_t len, bool array, int depth);

void put_value(std::string &out, const struct blob_attr *a, int depth)
{
	char buf[512];
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
		snprintf(buf, sizeof(buf), "%f", blobmsg_get_double(a));
		out += buf;
		return;
	case BLOBMSG_TYPE_TABLE:
	case BLOBMSG_TYPE_ARRAY:
		put_container(out, blobmsg_data(a), blobmsg_data_len(a), blobmsg_type(a) == BLOBMSG_TYPE_ARRAY, depth);
		return;
	default:
		out += "null";
	}
}

// Written straight from the attributes, so duplicate names stay as they came.
void put_container(std::string &out, const void *data, size_t len, bool array, int depth)
{
	out += array ? '[' : '{';
	auto newline = [&](int tabs) {
		if (depth < 0)
			return;
		out += '\n';
		out.append(static_cast<size_t>(tabs), '\t');
	};
	newline(depth + 1);
	const struct blob_attr *cur;
	size_t rem = len;
	bool first = true;
	__blob_for_each_attr(cur, data, rem) {
		if (!blobmsg_check_attr(cur, !array))
			continue;
		if (!first) {
			out += ',';
			newline(depth + 1);
		}
		first = false;
		if (!array) {
			put_json_string(out, blobmsg_name(cur));
			out += depth < 0 ? ":" : ": ";
		}
		put_value(out, cur, depth < 0 ? depth : depth + 1);
	}
	newline(depth);
	out += array ? ']' : '}';
}

void print_reply(struct ubus_request *, int, struct blob_attr *msg)
{
	std::string out;
	put_container(out, blob_data(msg), blob_len(msg), false, simple_output ? -1 : 0);
	out += '\n';
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

// A message argument: one JSON object, whatever follows it ignored, as the
// device's parser reads it.
bool parse_message(struct blob_buf *b, const char *text)
{
	json args;
	nlohmann::detail::json_sax_dom_parser<json> dom(args, false);
	if (!json::sax_parse(text, &dom, json::input_format_t::json, false) || !args.is_object())
		return false;
	for (const auto &[k, v] : args.items()) {
		if (!add_json(b, k.c_str(), v))
			return false;
	}
	return true;
}

struct buf_holder {
	struct blob_buf b = {};
	buf_holder() { blob_buf_init(&b, 0); }
	~buf_holder() { blob_buf_free(&b); }
};

const char *type_name(uint32_t type)
{
	switch (type) {
	case BLOBMSG_TYPE_ARRAY: return "Array";
	case BLOBMSG_TYPE_TABLE: return "Table";
	case BLOBMSG_TYPE_STRING: return "String";
	case BLOBMSG_TYPE_INT32: return "Integer";
	case BLOBMSG_TYPE_INT8: return "Boolean";
	default: return "(unknown)";
	}
}

void print_object(struct ubus_context *, struct ubus_object_data *obj, void *)
{
	if (simple_output || !verbose) {
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
	if (argc > 1)
		return usage_status;
	return ubus_lookup(ctx, argc ? argv[0] : nullptr, print_object, nullptr);
}

int cmd_call(struct ubus_context *ctx, int argc, char **argv)
{
	if (argc < 2 || argc > 3)
		return usage_status;
	buf_holder b;
	int status = UBUS_STATUS_OK;
	if (argc == 3 && !parse_message(&b.b, argv[2]))
		status = UBUS_STATUS_PARSE_ERROR;
	uint32_t id = 0;
	if (!status) {
		status = ubus_lookup_id(ctx, argv[0], &id);
		if (status)
			return status; // reported by main
	}
	if (!status)
		status = ubus_invoke(ctx, id, argv[1], b.b.head, print_reply, nullptr, timeout_s * 1000);
	if (!status)
		return 0;
	// Simplified output leaves the report out and exits with the status.
	if (simple_output)
		return status;
	fprintf(stderr, "Command failed: ubus call %s %s%s%s (%s)\n", argv[0], argv[1], argc == 3 ? " " : "",
		argc == 3 ? argv[2] : "", ubus_strerror(status));
	return -status;
}

// The event and subscription commands need an object without a name, which
// vimbd refuses: they fail here with the device's words for that refusal.
// Against a daemon that accepted one, vimb cannot go on.
int register_anonymous(const std::string &socket);

int cmd_listen(const std::string &socket, int argc, char **argv)
{
	int status = register_anonymous(socket);
	if (status > 0) {
		fprintf(stderr, "Error while registering for event '%s': %s\n", argc ? argv[0] : "*", ubus_strerror(status));
		return -1;
	}
	return status ? status : UBUS_STATUS_NOT_SUPPORTED;
}

int cmd_subscribe(const std::string &socket, int argc, char **argv)
{
	if (!argc) {
		fprintf(stderr, "You need to specify an object to subscribe to\n");
		return -1;
	}
	return cmd_listen(socket, argc, argv);
}

int cmd_wait_for(const std::string &socket, int argc)
{
	if (!argc)
		return usage_status;
	int status = register_anonymous(socket);
	return status ? status : UBUS_STATUS_NOT_SUPPORTED;
}

// Events go to the daemon's event object, id 1, which vimbd does not have.
int cmd_send(struct ubus_context *ctx, int argc, char **argv)
{
	if (argc < 1 || argc > 2)
		return usage_status;
	buf_holder data;
	if (argc == 2 && !parse_message(&data.b, argv[1]))
		return UBUS_STATUS_PARSE_ERROR;
	buf_holder b;
	blobmsg_add_string(&b.b, "id", argv[0]);
	blobmsg_add_field(&b.b, BLOBMSG_TYPE_TABLE, "data", blob_data(data.b.head), blob_len(data.b.head));
	constexpr uint32_t event_object = 1;
	return ubus_invoke(ctx, event_object, "send", b.b.head, nullptr, nullptr, timeout_s * 1000);
}

// The monitor and the event commands speak the wire protocol themselves:
// the library has no use for MONITOR messages or nameless objects.
int connect_raw(const std::string &socket)
{
	struct sockaddr_in sin;
	if (tcp_address(socket, sin)) {
		if (!sin.sin_port)
			return -1;
		int fd = socket_fd(AF_INET);
		if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0) {
			close(fd);
			return -1;
		}
		if (fd >= 0)
			ubus_wire::tune_tcp(fd);
		return fd;
	}
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	if (socket.size() >= sizeof(sun.sun_path))
		return -1;
	strcpy(sun.sun_path, socket.c_str());
	int fd = socket_fd(AF_UNIX);
	if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

constexpr const char *msg_types[] = {
	"hello", "status", "data", "ping", "lookup", "invoke",
	"add_object", "remove_object", "subscribe", "unsubscribe", "notify", "monitor",
};
constexpr size_t n_msg_types = sizeof(msg_types) / sizeof(msg_types[0]);

const char *msg_type_name(uint32_t type, char (&buf)[16])
{
	if (type < n_msg_types)
		return msg_types[type];
	snprintf(buf, sizeof(buf), "%" PRIu32, type);
	return buf;
}

// One message body's attributes as one JSON object, in the order of their
// ids whatever the order on the wire; malformed or unknown ones are left out.
std::string body_json(const void *data, size_t len)
{
	using namespace ubus_wire;
	const struct blob_attr *tb[ATTR_COUNT] = {};
	const struct blob_attr *cur;
	size_t rem = len;
	__blob_for_each_attr(cur, data, rem) {
		if (blob_id(cur) < ATTR_COUNT)
			tb[blob_id(cur)] = cur;
	}
	std::string out = "{";
	bool first = true;
	for (unsigned id = 0; id < ATTR_COUNT; id++) {
		cur = tb[id];
		if (!cur)
			continue;
		const char *name = nullptr;
		std::string value;
		size_t n = blob_len(cur);
		switch (id) {
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
		switch (id) {
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
			put_container(value, blob_data(cur), n, false, -1);
		}
		out += first ? "" : ",";
		first = false;
		put_json_string(out, name);
		out += ":" + value;
	}
	return out + "}";
}

// -m and -M: which messages the monitor prints.
uint32_t monitor_types; // bit per type; 0: every type
int monitor_direction;  // 'r' received by the daemon, 't' sent by it, 0 both

void print_monitored(const ubus_wire::message &m)
{
	using namespace ubus_wire;
	const struct blob_attr *const *tb = m.tb;
	if (!tb[MONITOR_CLIENT] || !tb[MONITOR_PEER] || !tb[MONITOR_SEND] || !tb[MONITOR_TYPE])
		return;
	uint32_t type = blob_get_u32(tb[MONITOR_TYPE]);
	bool sent = blob_get_u8(tb[MONITOR_SEND]);
	if (monitor_types && (type >= 32 || !(monitor_types & (1u << type))))
		return;
	if ((monitor_direction == 'r' && sent) || (monitor_direction == 't' && !sent))
		return;
	char num[16];
	std::string data = tb[MONITOR_DATA] ? body_json(blob_data(tb[MONITOR_DATA]), blob_len(tb[MONITOR_DATA])) : "{}";
	printf("%s %08x #%08x %14s: %s\n", sent ? "->" : "<-", blob_get_u32(tb[MONITOR_CLIENT]),
	       blob_get_u32(tb[MONITOR_PEER]), msg_type_name(type, num), data.c_str());
	// Lines appear while it happens, also in a file or a pipe.
	fflush(stdout);
}

volatile sig_atomic_t stop_requested;

void on_stop_signal(int) { stop_requested = 1; }

// A raw connection: its hello read, requests sent one at a time.
struct raw_session {
	int fd = -1;
	ubus_wire::stream in, out;
	uint16_t seq = 0;
	// Called with every MONITOR message that arrives meanwhile.
	bool monitoring = false;

	~raw_session()
	{
		if (fd >= 0)
			close(fd);
	}

	// The next message, waiting at most `timeout_ms` (<= 0: for ever); false
	// when the connection ends, breaks or sends garbage, time is up, or a
	// stop signal came.
	bool next(ubus_wire::message &m, int timeout_ms)
	{
		for (;;) {
			bool bad = false;
			if (in.next(m, bad))
				return true;
			if (bad)
				return false;
			in.consume();
			struct pollfd p = {fd, POLLIN, 0};
			int r = poll(&p, 1, timeout_ms > 0 ? timeout_ms : -1);
			if (r < 0 && errno == EINTR && !stop_requested)
				continue;
			if (r <= 0)
				return false;
			ubus_wire::io got = in.fill(fd);
			if (got == ubus_wire::io::closed || got == ubus_wire::io::error)
				return false;
		}
	}

	bool open(const std::string &socket)
	{
		fd = connect_raw(socket);
		ubus_wire::message m;
		return fd >= 0 && next(m, timeout_s * 1000) && m.type == ubus_wire::MSG_HELLO;
	}

	// Sends what `b` holds and waits for the status; -1 when none came.
	int request(uint8_t type, uint32_t peer, const ubus_wire::body &b)
	{
		using namespace ubus_wire;
		uint16_t my_seq = ++seq;
		out.queue(type, my_seq, peer, b.head());
		io sent;
		while ((sent = out.flush(fd)) == io::blocked) {
			struct pollfd p = {fd, POLLOUT, 0};
			poll(&p, 1, timeout_s * 1000);
		}
		message m;
		while (sent == io::ok && next(m, timeout_s * 1000)) {
			if (m.type == MSG_MONITOR && monitoring)
				print_monitored(m);
			else if (m.type == MSG_STATUS && m.seq == my_seq)
				return static_cast<int>(m.u32(ATTR_STATUS));
		}
		return -1;
	}
};

constexpr uint32_t monitor_object = 3;

int register_anonymous(const std::string &socket)
{
	raw_session s;
	if (!s.open(socket))
		return UBUS_STATUS_CONNECTION_FAILED;
	ubus_wire::body b;
	b.put_raw(ubus_wire::ATTR_SIGNATURE, nullptr, 0);
	int status = s.request(ubus_wire::MSG_ADD_OBJECT, 0, b);
	return status < 0 ? UBUS_STATUS_TIMEOUT : status;
}

int monitor_call(raw_session &s, const char *method)
{
	ubus_wire::body b;
	b.put_u32(ubus_wire::ATTR_OBJID, monitor_object);
	b.put_string(ubus_wire::ATTR_METHOD, method);
	b.put_raw(ubus_wire::ATTR_DATA, nullptr, 0);
	return s.request(ubus_wire::MSG_INVOKE, monitor_object, b);
}

// Prints what passes through the daemon until a signal ends it (status 0)
// or the daemon goes.
int cmd_monitor(const std::string &socket)
{
	using namespace ubus_wire;
	struct sigaction sa = {};
	sa.sa_handler = on_stop_signal;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	raw_session s;
	if (!s.open(socket))
		return UBUS_STATUS_CONNECTION_FAILED;
	s.monitoring = true;
	int status = monitor_call(s, "add");
	if (status)
		return status < 0 ? UBUS_STATUS_TIMEOUT : status;
	message m;
	while (!stop_requested && s.next(m, -1)) {
		if (m.type == MSG_MONITOR)
			print_monitored(m);
	}
	if (stop_requested)
		monitor_call(s, "remove");
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	prog = argv[0];
	const char *env = getenv("VIMB_ADDRESS");
	std::string socket = env && *env ? env : default_socket;
	int opt;
	while ((opt = getopt(argc, argv, "vs:t:Sm:M:")) != -1) {
		switch (opt) {
		case 's':
			socket = optarg;
			break;
		case 't':
			timeout_s = atoi(optarg);
			break;
		case 'S':
			simple_output = true;
			break;
		case 'v':
			verbose++;
			break;
		case 'm': {
			size_t i = 0;
			while (i < n_msg_types && strcmp(msg_types[i], optarg) != 0)
				i++;
			if (i == n_msg_types) {
				usage();
				return 1;
			}
			monitor_types |= 1u << i;
			break;
		}
		case 'M':
			if (strcmp(optarg, "r") != 0 && strcmp(optarg, "t") != 0) {
				usage();
				return 1;
			}
			monitor_direction = optarg[0];
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
	int rest = argc - optind - 1;
	char **args = argv + optind + 1;

	ctx_holder h;
	h.ctx = connect_to(socket);
	if (!h.ctx) {
		fprintf(stderr, "Failed to connect to ubus\n");
		return -1 & 0xff;
	}
	int ret;
	if (cmd == "list")
		ret = cmd_list(h.ctx, rest, args);
	else if (cmd == "call")
		ret = cmd_call(h.ctx, rest, args);
	else if (cmd == "send")
		ret = cmd_send(h.ctx, rest, args);
	else if (cmd == "listen")
		ret = cmd_listen(socket, rest, args);
	else if (cmd == "subscribe")
		ret = cmd_subscribe(socket, rest, args);
	else if (cmd == "wait_for")
		ret = cmd_wait_for(socket, rest);
	else if (cmd == "monitor")
		ret = cmd_monitor(socket);
	else
		ret = usage_status;
	fflush(stdout);
	if (ret > 0 && !simple_output)
		fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
	else if (ret == usage_status)
		usage();
	return ret & 0xff;
}

// vimb: list the objects on a bus daemon and call their methods.
#include <libubus.h>

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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
		out += first ? "\n" : ",\n";
		first = false;
		out.append(static_cast<size_t>(depth + 1), '\t');
		if (!array) {
			put_json_string(out, blobmsg_name(cur));
			out += ": ";
		}
		put_value(out, cur, depth + 1);
	}
	if (!first) {
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
	if (cmd != "list" && cmd != "call") {
		usage();
		return 1;
	}
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

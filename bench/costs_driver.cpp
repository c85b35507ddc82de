// Fixed workloads for instruction counts under callgrind (scripts/costs).
// Built once against the project's libraries and once against the
// device's, so that both sides run the same code around the library.
// Each operation runs once to warm up; then this process's counters (and
// those of the daemons named, through callgrind_control) are zeroed, the
// operation runs COUNT times, and every counter is dumped: a dump holds
// exactly those COUNT operations.
//   costs_driver parse|reply|uci-load|uci-set COUNT
//   costs_driver wireless         prints the 80 kB wireless they load
//   costs_driver invoke BUS OBJECT METHOD COUNT [--settle PID]
//                [--daemons VGDB_PREFIX PID...] [--] FIELD...
// BUS is ADDRESS:PORT or a unix socket's path. FIELD is key=string or
// key:=number; key=A||B alternates A and B from
// call to call. --settle waits after each call until process PID has no
// child left (a worker it started has ended and been reaped).
#include "fixtures.h"

#include <libubus.h>
#include <uci.h>
#include <valgrind/callgrind.h>

#include "wireless_walk.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench_fixtures;

[[noreturn]] void die(const std::string &what)
{
	fprintf(stderr, "costs_driver: %s\n", what.c_str());
	exit(1);
}

struct daemons {
	std::string prefix;
	std::vector<std::string> pids;
	void control(const char *action) const
	{
		for (const auto &pid : pids) {
			std::string cmd = "callgrind_control --vgdb-prefix=" + prefix + " " + action + " " + pid + " >/dev/null";
			if (system(cmd.c_str()) != 0)
				die("callgrind_control " + std::string(action) + " " + pid + " failed");
		}
	}
};

// Runs op COUNT times between a zero and a dump of every counter.
template <typename Op> void measure(int count, const daemons &others, const char *name, Op op)
{
	op(0);
	others.control("--zero");
	CALLGRIND_ZERO_STATS;
	for (int i = 0; i < count; i++)
		op(i);
	CALLGRIND_DUMP_STATS_AT(name);
	others.control("--dump");
}

struct blobmsg_policy sync_policy[n_sync_fields];

void parse(int count)
{
	for (int i = 0; i < n_sync_fields; i++)
		sync_policy[i] = {sync_fields[i], BLOBMSG_TYPE_STRING, };
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	for (int i = 0; i < n_sync_fields; i++)
		blobmsg_add_string(&b, sync_fields[i], sync_value(i).c_str());
	struct blob_attr *tb[n_sync_fields];
	measure(count, {}, "parse", [&](int) {
		if (blobmsg_parse(sync_policy, n_sync_fields, tb, blob_data(b.head),
				  static_cast<unsigned int>(blob_len(b.head))) != 0 || !tb[n_sync_fields - 1])
			die("parse failed");
	});
	blob_buf_free(&b);
}

void reply(int count)
{
	static struct blob_buf b;
	measure(count, {}, "reply", [&](int) {
		blob_buf_init(&b, 0);
		nine_field_reply([](const char *k, const char *v) { blobmsg_add_string(&b, k, v); });
	});
	blob_buf_free(&b);
}

std::string wireless_dir()
{
	char tmpl[] = "/dev/shm/kestrad-costs-XXXXXX";
	if (!mkdtemp(tmpl))
		die("mkdtemp");
	std::string dir = tmpl;
	std::ofstream(dir + "/wireless") << make_wireless();
	return dir;
}

void remove_dir(const std::string &dir)
{
	unlink((dir + "/.uci/wireless").c_str());
	rmdir((dir + "/.uci").c_str());
	unlink((dir + "/wireless").c_str());
	rmdir(dir.c_str());
}

struct uci_context *context_in(const std::string &dir)
{
	struct uci_context *ctx = uci_alloc_context();
	uci_set_confdir(ctx, dir.c_str());
	uci_set_savedir(ctx, (dir + "/.uci").c_str());
	return ctx;
}

void uci_load_walk(int count)
{
	std::string dir = wireless_dir();
	measure(count, {}, "uci-load", [&](int) {
		struct uci_context *ctx = context_in(dir);
		struct uci_package *p = nullptr;
		if (uci_load(ctx, "wireless", &p) != UCI_OK)
			die("uci_load failed");
		int found = walk_wireless(ctx, p);
		if (found != 64 * 33)
			die("walk found " + std::to_string(found));
		uci_free_context(ctx);
	});
	remove_dir(dir);
}

void uci_set_commit(int count)
{
	std::string dir = wireless_dir();
	struct uci_context *ctx = context_in(dir);
	struct uci_package *p = nullptr;
	if (uci_load(ctx, "wireless", &p) != UCI_OK)
		die("uci_load failed");
	measure(count, {}, "uci-set", [&](int i) {
		struct uci_ptr ptr = {};
		ptr.package = "wireless";
		ptr.section = "iface7";
		ptr.option = "macfilter";
		ptr.value = (i & 1) ? "allow" : "deny";
		if (uci_set(ctx, &ptr) != UCI_OK || uci_commit(ctx, &p, false) != UCI_OK)
			die("set and commit failed");
	});
	uci_free_context(ctx);
	remove_dir(dir);
}

// A unix socket's path, or ADDRESS:PORT over TCP.
struct ubus_context *connect_to(const std::string &where)
{
	if (where[0] == '/')
		return ubus_connect(where.c_str());
	size_t colon = where.rfind(':');
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(static_cast<uint16_t>(atoi(where.c_str() + colon + 1)));
	if (colon == std::string::npos || !inet_aton(where.substr(0, colon).c_str(), &sin.sin_addr))
		die("bad address " + where);
	return vimb_connect(&sin);
}

bool has_children(const std::string &pid)
{
	std::ifstream f("/proc/" + pid + "/task/" + pid + "/children");
	std::string line;
	return std::getline(f, line) && line.find_first_not_of(' ') != std::string::npos;
}

// Bounded only so that a worker that never ends fails the run.
void settle(const std::string &pid)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
	while (has_children(pid)) {
		if (std::chrono::steady_clock::now() > deadline)
			die("process " + pid + " still has children after 60 s");
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
}

int replies;
void count_reply(struct ubus_request *, int, struct blob_attr *) { replies++; }

int invoke(int argc, char **argv)
{
	if (argc < 6)
		die("usage: invoke BUS OBJECT METHOD COUNT [--settle PID] [--daemons PREFIX PID...] [--] FIELD...");
	const char *method = argv[4];
	int count = atoi(argv[5]);
	std::string settle_pid;
	daemons others;
	int i = 6;
	while (i < argc && argv[i][0] == '-' && argv[i][1] == '-') {
		std::string opt = argv[i++];
		if (opt == "--")
			break;
		if (opt == "--settle" && i < argc)
			settle_pid = argv[i++];
		else if (opt == "--daemons" && i < argc) {
			others.prefix = argv[i++];
			while (i < argc && argv[i][0] != '-')
				others.pids.push_back(argv[i++]);
		} else
			die("unknown option " + opt);
	}
	struct field {
		std::string key, a, b;
		bool number;
	};
	std::vector<field> fields;
	for (; i < argc; i++) {
		std::string arg = argv[i];
		size_t eq = arg.find('=');
		if (eq == std::string::npos || eq == 0)
			die("bad field " + arg);
		bool number = arg[eq - 1] == ':';
		field f{arg.substr(0, number ? eq - 1 : eq), arg.substr(eq + 1), "", number};
		size_t bar = f.a.find("||");
		f.b = bar == std::string::npos ? f.a : f.a.substr(bar + 2);
		f.a = f.a.substr(0, bar);
		fields.push_back(f);
	}

	struct ubus_context *ctx = connect_to(argv[2]);
	uint32_t id = 0;
	if (!ctx || ubus_lookup_id(ctx, argv[3], &id) != 0)
		die(std::string("cannot reach ") + argv[3] + " at " + argv[2]);
	struct blob_buf msg[2] = {};
	for (int k = 0; k < 2; k++) {
		blob_buf_init(&msg[k], 0);
		for (const auto &f : fields) {
			const std::string &v = k ? f.b : f.a;
			if (f.number)
				blobmsg_add_u32(&msg[k], f.key.c_str(), static_cast<uint32_t>(strtoul(v.c_str(), nullptr, 10)));
			else
				blobmsg_add_string(&msg[k], f.key.c_str(), v.c_str());
		}
	}
	// The warm-up call is the second message, so that the first measured
	// call changes what it left (key=A||B).
	int calls = 0;
	measure(count, others, method, [&](int n) {
		int k = calls++ == 0 ? 1 : (n & 1);
		if (ubus_invoke(ctx, id, method, msg[k].head, count_reply, nullptr, 30000) != 0)
			die(std::string("call of ") + method + " failed");
		if (!settle_pid.empty())
			settle(settle_pid);
	});
	printf("%d calls of %s, %d replies\n", count + 1, method, replies);
	ubus_free(ctx);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2 || (argc < 3 && std::string(argv[1]) != "wireless"))
		die("usage: costs_driver parse|reply|uci-load|uci-set COUNT | invoke ...");
	std::string op = argv[1];
	if (op == "wireless") {
		fputs(make_wireless().c_str(), stdout);
		return 0;
	}
	if (op == "invoke")
		return invoke(argc, argv);
	int count = atoi(argv[2]);
	if (count <= 0)
		die("COUNT must be positive");
	if (op == "parse")
		parse(count);
	else if (op == "reply")
		reply(count);
	else if (op == "uci-load")
		uci_load_walk(count);
	else if (op == "uci-set")
		uci_set_commit(count);
	else
		die("unknown operation " + op);
	return 0;
}

// One bus client that drives kestrad's RE object with a fixed mix of calls
// (whc_quire 5 %, access, whc_sync, bind, smart_sync and common_set 19 %
// each) drawn from a fixed seed, over one connection, and samples kestrad
// between them. Run inside the simulated satellite.
//
//   soak_client OBJECT KESTRAD_PID CALLS SEED [SLOTS]
//
// Prints "mark CALLS rss_anon_kb fds children" after the first 1,000 calls,
// every 10,000 and at the end, each once kestrad's children have all ended,
// with "cpu_ms CALLS KESTRAD CHILDREN" (CPU time so far, workers included);
// "replies TEXT COUNT" per reply text; "seconds S"; "mean_ms METHOD MS" per
// method, from send to reply; with SLOTS, then makes
// SLOTS whc_sync calls (their stand-in should hang) and prints
// "slots TEXT COUNT" for their replies. Exits 1 when a call gets no reply.
#include <libubus.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

std::string last_return;

void take_return(struct ubus_request *, int, struct blob_attr *msg)
{
	static const struct blobmsg_policy policy[] = {{"return", BLOBMSG_TYPE_STRING}};
	struct blob_attr *tb[1] = {};
	if (msg && blobmsg_parse(policy, 1, tb, blob_data(msg), blob_len(msg)) == 0 && tb[0])
		last_return = blobmsg_get_string(tb[0]);
	for (size_t nl; (nl = last_return.find('\n')) != std::string::npos;)
		last_return.replace(nl, 1, "\\n"); // one reply per output line
}

long rss_anon_kb(const std::string &pid)
{
	std::ifstream f("/proc/" + pid + "/status");
	std::string line;
	while (std::getline(f, line)) {
		if (line.rfind("RssAnon:", 0) == 0)
			return atol(line.c_str() + 8);
	}
	return -1;
}

int count_entries(const std::string &path)
{
	int n = 0;
	if (DIR *d = opendir(path.c_str())) {
		while (struct dirent *e = readdir(d))
			n += e->d_name[0] != '.';
		closedir(d);
	}
	return n;
}

int children(const std::string &pid)
{
	std::ifstream f("/proc/" + pid + "/task/" + pid + "/children");
	int n = 0;
	std::string child;
	while (f >> child)
		n++;
	return n;
}

// kestrad's CPU time and that of its ended children (the workers, the
// commands of whc_quire and what they started), in milliseconds.
std::pair<long, long> cpu_ms(const std::string &pid)
{
	std::ifstream f("/proc/" + pid + "/stat");
	std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
	std::istringstream rest(stat.substr(stat.rfind(')') + 2)); // the name may hold spaces
	std::string field;
	long t[4] = {};
	for (int i = 3; i <= 17 && rest >> field; i++) {
		if (i >= 14)
			t[i - 14] = atol(field.c_str());
	}
	long tick = sysconf(_SC_CLK_TCK);
	return {(t[0] + t[1]) * 1000 / tick, (t[2] + t[3]) * 1000 / tick};
}

// Waits (bounded) for every worker to end, so that the samples compare alike.
void mark(long calls, const std::string &pid)
{
	for (int i = 0; i < 3000 && children(pid) > 0; i++)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	printf("mark %ld %ld %d %d\n", calls, rss_anon_kb(pid), count_entries("/proc/" + pid + "/fd"), children(pid));
	auto [self, reaped] = cpu_ms(pid);
	printf("cpu_ms %ld %ld %ld\n", calls, self, reaped);
	fflush(stdout);
}

// Valid arguments that vary, so that access rewrites the lists now and then
// and the other methods take each of their paths that start a command.
void fill(struct blob_buf *b, const char *method, std::mt19937 &rng)
{
	static const char *const lists[] = {"", "02:00:00:00:00:01", "02:00:00:00:00:01;02:00:00:00:00:02",
					    "AA:BB:CC:DD:EE:FF;02:00:00:00:00:03;02:00:00:00:00:04"};
	static const char *const sync_fields[] = {
		"ssid", "pswd", "mgmt", "txpwr_2g", "txpwr_5g", "hidden", "ch_2g", "ch_5g", "bw_2g", "bw_5g", "txbf",
		"gst_disab", "gst_ssid", "gst_pswd", "gst_mgmt", "flt_policy", "flt_list", "timezone", "ota_auto",
		"ota_time", "led_blue"};
	std::string v = "v" + std::to_string(rng() % 1000);
	blob_buf_init(b, 0);
	std::string m = method;
	if (m == "access") {
		blobmsg_add_u32(b, "policy", rng() % 3);
		blobmsg_add_string(b, "list", lists[rng() % 4]);
		if (rng() % 2)
			blobmsg_add_u32(b, "level", rng() % 3);
	} else if (m == "whc_sync") {
		for (const char *f : sync_fields)
			blobmsg_add_string(b, f, v.c_str());
	} else if (m == "whc_quire") {
		blobmsg_add_string(b, "cap_devid", "CAP-1");
		blobmsg_add_string(b, "webpasswd", v.c_str());
	} else if (m == "bind") {
		blobmsg_add_string(b, "record", v.c_str());
		blobmsg_add_string(b, "deviceID", "D1");
		blobmsg_add_string(b, "sign", "S1");
	} else if (m == "smart_sync") {
		blobmsg_add_string(b, "msg", v.c_str());
	} else {
		static const char *const keys[] = {"action", "newgw", "log_upload"};
		blobmsg_add_string(b, keys[rng() % 3], v.c_str());
	}
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 5 && argc != 6) {
		fprintf(stderr, "usage: soak_client OBJECT KESTRAD_PID CALLS SEED [SLOTS]\n");
		return 2;
	}
	std::string pid = argv[2];
	long calls = atol(argv[3]);
	std::mt19937 rng(static_cast<unsigned>(strtoul(argv[4], nullptr, 10)));
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(784);
	inet_aton("192.0.2.1", &sin.sin_addr); // the satellite's gateway
	struct ubus_context *ctx = vimb_connect(&sin);
	if (!ctx) {
		fprintf(stderr, "cannot connect\n");
		return 1;
	}
	uint32_t id = 0;
	for (int i = 0; i < 100 && ubus_lookup_id(ctx, argv[1], &id) != 0; i++)
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
	if (!id) {
		fprintf(stderr, "no object %s\n", argv[1]);
		return 1;
	}

	static const char *const others[] = {"access", "whc_sync", "bind", "smart_sync", "common_set"};
	std::map<std::string, long> replies;
	std::map<std::string, std::pair<long, double>> spent; // calls, seconds
	struct blob_buf b = {};
	auto start = std::chrono::steady_clock::now();
	for (long i = 1; i <= calls; i++) {
		unsigned r = rng() % 100;
		const char *method = r < 5 ? "whc_quire" : others[(r - 5) % 5];
		fill(&b, method, rng);
		last_return.clear();
		auto sent = std::chrono::steady_clock::now();
		int ret = ubus_invoke(ctx, id, method, b.head, take_return, nullptr, 10000);
		auto &[n, s] = spent[method];
		n++;
		s += std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
		if (ret != 0 || last_return.empty()) {
			fprintf(stderr, "call %ld (%s) failed: %d\n", i, method, ret);
			return 1;
		}
		replies[std::string(method) + ":" + last_return]++;
		if (i == 1000 || i % 10000 == 0 || i == calls)
			mark(i, pid);
	}
	printf("seconds %.1f\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
	for (const auto &[text, n] : replies)
		printf("replies %s %ld\n", text.c_str(), n);
	for (const auto &[method, t] : spent)
		printf("mean_ms %s %.2f\n", method.c_str(), 1000 * t.second / t.first);

	if (argc == 6) {
		std::map<std::string, long> slots;
		fill(&b, "whc_sync", rng);
		for (int i = 0; i < atoi(argv[5]); i++) {
			last_return.clear();
			ubus_invoke(ctx, id, "whc_sync", b.head, take_return, nullptr, 10000);
			slots[last_return]++;
		}
		for (const auto &[text, n] : slots)
			printf("slots %s %ld\n", text.c_str(), n);
	}
	fflush(stdout);
	blob_buf_free(&b);
	ubus_free(ctx);
	return 0;
}

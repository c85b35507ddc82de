// Sequential calls of "test" through vimbd to kestrad: calls per second,
// p50 and p99 latency, and kestrad's memory before and after; with
// SAMPLES_FILE, each call's microseconds too.
//   bus_bench UNIX_SOCKET|tcp:ADDRESS:PORT KESTRAD_PID CALLS [SAMPLES_FILE]
#include <libubus.h>

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int replies;
void count_reply(struct ubus_request *, int, struct blob_attr *) { replies++; }

std::string memory(const std::string &pid)
{
	std::ifstream f("/proc/" + pid + "/status");
	std::string line, out;
	while (std::getline(f, line)) {
		if (line.rfind("VmRSS:", 0) == 0 || line.rfind("RssAnon:", 0) == 0)
			out += line + "  ";
	}
	return out;
}

struct ubus_context *connect_to(const std::string &where)
{
	if (where.rfind("tcp:", 0) != 0)
		return ubus_connect(where.c_str());
	size_t colon = where.rfind(':');
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(static_cast<uint16_t>(atoi(where.c_str() + colon + 1)));
	if (colon <= 4 || !inet_aton(where.substr(4, colon - 4).c_str(), &sin.sin_addr))
		return nullptr;
	return vimb_connect(&sin);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 4 && argc != 5) {
		fprintf(stderr, "usage: bus_bench UNIX_SOCKET|tcp:ADDRESS:PORT KESTRAD_PID CALLS [SAMPLES_FILE]\n");
		return 1;
	}
	int calls = atoi(argv[3]);
	if (calls <= 0) {
		fprintf(stderr, "bus_bench: CALLS must be positive\n");
		return 1;
	}
	struct ubus_context *ctx = connect_to(argv[1]);
	if (!ctx) {
		fprintf(stderr, "cannot connect to %s\n", argv[1]);
		return 1;
	}
	// kestrad may still be connecting: wait for its object, bounded only
	// so that a kestrad that never publishes fails the run.
	uint32_t id = 0;
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
	while (ubus_lookup_id(ctx, "-@kestrad", &id) != 0) {
		if (std::chrono::steady_clock::now() > deadline) {
			fprintf(stderr, "kestrad's object did not appear in 120 s\n");
			return 1;
		}
		usleep(10000);
	}

	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "hello", "bench");
	for (int i = 0; i < 1000; i++) // warm up
		ubus_invoke(ctx, id, "test", b.head, count_reply, nullptr, 5000);

	printf("kestrad before: %s\n", memory(argv[2]).c_str());
	std::vector<double> us(static_cast<size_t>(calls));
	replies = 0;
	auto start = std::chrono::steady_clock::now();
	for (int i = 0; i < calls; i++) {
		auto t0 = std::chrono::steady_clock::now();
		if (ubus_invoke(ctx, id, "test", b.head, count_reply, nullptr, 5000) != 0) {
			fprintf(stderr, "call %d failed\n", i);
			return 1;
		}
		us[static_cast<size_t>(i)] =
			std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
	}
	double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	printf("kestrad after:  %s\n", memory(argv[2]).c_str());
	if (argc == 5) {
		FILE *f = fopen(argv[4], "w");
		if (!f) {
			perror(argv[4]);
			return 1;
		}
		for (double v : us)
			fprintf(f, "%.2f\n", v);
		fclose(f);
	}
	std::sort(us.begin(), us.end());
	printf("%d calls, %d replies: %.0f calls/s, p50 %.1f us, p99 %.1f us\n", calls, replies,
	       calls / secs, us[us.size() / 2], us[us.size() * 99 / 100]);
	blob_buf_free(&b);
	ubus_free(ctx);
	return 0;
}

// whc_quire's end-to-end latency through the gateway's vimbd, beside its
// floor: the same four command lines run here one after the other with
// popen/fread/pclose and a 5 ms sleep each, as the handler runs them. The
// two are measured in turn, call by call, so both see the same machine.
// Runs inside the simulated satellite (scripts/bench):
//   whc_quire_bench GATEWAY_ADDRESS OBJECT CALLS
#include <libubus.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

struct command {
	const char *line;
	size_t capacity;
};

constexpr command commands[] = {
	{"echo -n $(readmac wan 2>/dev/null)", 18},
	{"echo -n $(ifconfig wl11 | grep HWaddr | awk -F ' ' '{print $5}' 2>/dev/null)", 18},
	{"echo -n $(ifconfig wl01 | grep HWaddr | awk -F ' ' '{print $5}' 2>/dev/null)", 18},
	{"bhstat getmetric; echo $?", 4},
};

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0)
{
	return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

bool floor_once()
{
	for (const command &c : commands) {
		FILE *fp = popen(c.line, "r");
		if (!fp)
			return false;
		struct timespec wait = {0, 5000000};
		nanosleep(&wait, nullptr);
		char buf[32];
		size_t total = 0;
		while (total < c.capacity) {
			size_t n = fread(buf + total, 1, c.capacity - total, fp);
			if (!n)
				break;
			total += n;
		}
		pclose(fp);
	}
	return true;
}

int fields;
void count_fields(struct ubus_request *, int, struct blob_attr *msg)
{
	struct blob_attr *a;
	unsigned rem;
	fields = 0;
	blob_for_each_attr(a, msg, rem)
		fields++;
}

double pct(std::vector<double> v, int p)
{
	std::sort(v.begin(), v.end());
	return v[std::min(v.size() - 1, v.size() * static_cast<size_t>(p) / 100)];
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 4) {
		fprintf(stderr, "usage: whc_quire_bench GATEWAY_ADDRESS OBJECT CALLS\n");
		return 1;
	}
	struct sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(784);
	if (!inet_aton(argv[1], &addr.sin_addr)) {
		fprintf(stderr, "bad address %s\n", argv[1]);
		return 1;
	}
	int calls = atoi(argv[3]);
	struct ubus_context *ctx = vimb_connect(&addr);
	uint32_t id = 0;
	if (!ctx || ubus_lookup_id(ctx, argv[2], &id) != 0) {
		fprintf(stderr, "no object %s on %s\n", argv[2], argv[1]);
		return 1;
	}

	// what the gateway sends: the stored id and password, so nothing is
	// written after the first call
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "cap_devid", "CAP0001");
	blobmsg_add_string(&b, "webpasswd", "admin");

	std::vector<double> quire, floor;
	for (int i = -10; i < calls; i++) { // ten to warm up
		auto t0 = clock_type::now();
		if (ubus_invoke(ctx, id, "whc_quire", b.head, count_fields, nullptr, 10000) != 0 || fields != 9) {
			fprintf(stderr, "call %d failed (%d fields)\n", i, fields);
			return 1;
		}
		double q = ms_since(t0);
		t0 = clock_type::now();
		if (!floor_once()) {
			fprintf(stderr, "popen failed\n");
			return 1;
		}
		double f = ms_since(t0);
		if (i >= 0) {
			quire.push_back(q);
			floor.push_back(f);
		}
	}
	printf("whc_quire, %d calls through vimbd: p50 %.2f ms, p90 %.2f ms\n", calls, pct(quire, 50), pct(quire, 90));
	printf("floor (4 x popen/fread/pclose + 5 ms): p50 %.2f ms, p90 %.2f ms\n", pct(floor, 50), pct(floor, 90));
	printf("p50 ratio %.3f (aim: at most 1.2)\n", pct(quire, 50) / pct(floor, 50));
	blob_buf_free(&b);
	ubus_free(ctx);
	return 0;
}

// access end to end through the gateway's vimbd, beside its floor: one
// `test` round trip and one load of the same wireless package in this
// process. The three are measured in turn, call by call, so that all see the
// same machine. Then requests that change the list, each waited for until
// the reload stand-in has ended.
// Runs inside the simulated satellite (bench/run/access):
//   access_bench GATEWAY_ADDRESS OBJECT RECORDS_DIR LIST_A LIST_B CALLS
// LIST_A is what wireless holds; LIST_B differs from it.
#include <libubus.h>
#include <uci.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double us_since(clock_type::time_point t0)
{
	return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count();
}

int replies;
std::string last_return;
void keep_reply(struct ubus_request *, int, struct blob_attr *msg)
{
	replies++;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, msg, rem) {
		if (blobmsg_type(cur) == BLOBMSG_TYPE_STRING)
			last_return = blobmsg_get_string(cur);
	}
}

// Reloads that have ended so far.
int ended_reloads(const char *records)
{
	int n = 0;
	if (DIR *d = opendir(records)) {
		while (struct dirent *e = readdir(d)) {
			std::string name = e->d_name;
			if (name.rfind("wifi.", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".end") == 0)
				n++;
		}
		closedir(d);
	}
	return n;
}

bool load_wireless()
{
	struct uci_context *ctx = uci_alloc_context();
	struct uci_package *p = nullptr;
	bool ok = ctx && uci_load(ctx, "wireless", &p) == UCI_OK;
	if (ctx)
		uci_free_context(ctx);
	return ok;
}

struct stats {
	std::vector<double> us;
	void add(double v) { us.push_back(v); }
	double median()
	{
		std::sort(us.begin(), us.end());
		return us[us.size() / 2];
	}
	double mean() const
	{
		double sum = 0;
		for (double v : us)
			sum += v;
		return sum / static_cast<double>(us.size());
	}
};

void access_request(struct blob_buf *b, int policy, const char *list)
{
	blob_buf_init(b, 0);
	blobmsg_add_u32(b, "policy", static_cast<uint32_t>(policy));
	blobmsg_add_string(b, "list", list);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 7) {
		fprintf(stderr, "usage: access_bench GATEWAY_ADDRESS OBJECT RECORDS_DIR LIST_A LIST_B CALLS\n");
		return 1;
	}
	const char *records = argv[3], *list_a = argv[4], *list_b = argv[5];
	int calls = atoi(argv[6]);
	struct sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(784);
	if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) {
		fprintf(stderr, "bad address %s\n", argv[1]);
		return 1;
	}
	struct ubus_context *ctx = vimb_connect(&addr);
	uint32_t id = 0;
	if (!ctx || ubus_lookup_id(ctx, argv[2], &id) != 0) {
		fprintf(stderr, "cannot reach %s\n", argv[2]);
		return 1;
	}

	struct blob_buf test = {}, unchanged = {}, changing = {};
	blob_buf_init(&test, 0);
	blobmsg_add_string(&test, "hello", "bench");
	access_request(&unchanged, 1, list_a);

	stats round_trip, load, same;
	for (int i = -calls / 10; i < calls; i++) { // the first tenth warms up
		auto t0 = clock_type::now();
		if (ubus_invoke(ctx, id, "test", test.head, keep_reply, nullptr, 5000) != 0)
			return fprintf(stderr, "test call %d failed\n", i), 1;
		double t = us_since(t0);
		t0 = clock_type::now();
		if (!load_wireless())
			return fprintf(stderr, "cannot load wireless\n"), 1;
		double l = us_since(t0);
		last_return.clear();
		t0 = clock_type::now();
		if (ubus_invoke(ctx, id, "access", unchanged.head, keep_reply, nullptr, 5000) != 0 ||
		    last_return != "success")
			return fprintf(stderr, "access call %d failed\n", i), 1;
		double a = us_since(t0);
		if (i >= 0) {
			round_trip.add(t);
			load.add(l);
			same.add(a);
		}
	}
	if (ended_reloads(records) != 0)
		return fprintf(stderr, "an unchanged request reloaded Wi-Fi\n"), 1;

	double floor = round_trip.median() + load.median();
	printf("%d calls each, median (mean) us per call:\n", calls);
	printf("  test round trip          %8.1f (%8.1f)\n", round_trip.median(), round_trip.mean());
	printf("  uci_load wireless        %8.1f (%8.1f)\n", load.median(), load.mean());
	printf("  access, unchanged        %8.1f (%8.1f)   %.2f x (test + load)\n", same.median(), same.mean(),
	       same.median() / floor);

	int changing_calls = std::max(10, calls / 20);
	stats reply, reloaded;
	for (int i = 0; i < changing_calls; i++) {
		int before = ended_reloads(records);
		access_request(&changing, 1, i % 2 ? list_a : list_b);
		last_return.clear();
		auto t0 = clock_type::now();
		if (ubus_invoke(ctx, id, "access", changing.head, keep_reply, nullptr, 5000) != 0 ||
		    last_return != "success")
			return fprintf(stderr, "changing call %d failed\n", i), 1;
		reply.add(us_since(t0));
		// until the stand-in records its end; the bound only stops a hang
		while (ended_reloads(records) == before) {
			if (clock_type::now() - t0 > std::chrono::seconds(120))
				return fprintf(stderr, "the reload of call %d did not end in 120 s\n", i), 1;
			usleep(100);
		}
		reloaded.add(us_since(t0));
	}
	printf("  access, changing (reply) %8.1f (%8.1f)   %d calls\n", reply.median(), reply.mean(), changing_calls);
	printf("  ... until reload ended   %8.1f (%8.1f)\n", reloaded.median(), reloaded.mean());

	blob_buf_free(&test);
	blob_buf_free(&unchanged);
	blob_buf_free(&changing);
	ubus_free(ctx);
	return 0;
}

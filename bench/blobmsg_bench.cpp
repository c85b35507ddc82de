// The two encoding paths of every request: parsing a whc_sync-sized request
// against its policy, and building a whc_quire-sized reply.
extern "C" {
#include <libubox/blobmsg.h>
}

#include <benchmark/benchmark.h>

#include <string>

namespace {

constexpr const char *sync_fields[] = {
	"ssid", "pswd", "mgmt", "txpwr_2g", "txpwr_5g", "hidden", "ch_2g",
	"ch_5g", "bw_2g", "bw_5g", "txbf", "gst_disab", "gst_ssid", "gst_pswd",
	"gst_mgmt", "flt_policy", "flt_list", "timezone", "ota_auto", "ota_time",
	"led_blue",
};
constexpr int n_fields = sizeof(sync_fields) / sizeof(sync_fields[0]);

struct blobmsg_policy sync_policy[n_fields];

void BM_ParseSyncRequest(benchmark::State &state)
{
	for (int i = 0; i < n_fields; i++)
		sync_policy[i] = {sync_fields[i], BLOBMSG_TYPE_STRING};

	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	for (int i = 0; i < n_fields; i++)
		blobmsg_add_string(&b, sync_fields[i], ("value-of-" + std::string(sync_fields[i])).c_str());

	struct blob_attr *tb[n_fields];
	for (auto _ : state) {
		int r = blobmsg_parse(sync_policy, n_fields, tb, blob_data(b.head),
				      static_cast<unsigned int>(blob_len(b.head)));
		benchmark::DoNotOptimize(r);
		benchmark::DoNotOptimize(tb);
	}
	blob_buf_free(&b);
}
BENCHMARK(BM_ParseSyncRequest);

struct blob_buf reply_buf;

void BM_BuildNineFieldReply(benchmark::State &state)
{
	for (auto _ : state) {
		blob_buf_init(&reply_buf, 0);
		blobmsg_add_string(&reply_buf, "wan_mac", "00:11:22:33:44:55");
		blobmsg_add_string(&reply_buf, "mac_2g", "00:11:22:33:44:56");
		blobmsg_add_string(&reply_buf, "mac_5g", "00:11:22:33:44:57");
		blobmsg_add_string(&reply_buf, "bh_rssi", "-52");
		blobmsg_add_string(&reply_buf, "bh_rate", "866");
		blobmsg_add_string(&reply_buf, "locale", "US");
		blobmsg_add_string(&reply_buf, "devid", "0123456789abcdef");
		blobmsg_add_string(&reply_buf, "initted", "1");
		blobmsg_add_string(&reply_buf, "return", "success");
		benchmark::DoNotOptimize(reply_buf.head);
	}
}
BENCHMARK(BM_BuildNineFieldReply);

} // namespace

BENCHMARK_MAIN();

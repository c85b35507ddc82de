// The two encoding paths of every request: parsing a whc_sync-sized request
// against its policy, and building a whc_quire-sized reply.
extern "C" {
#include <libubox/blobmsg.h>
}

#include "fixtures.h"

#include <benchmark/benchmark.h>

namespace {

using bench_fixtures::sync_fields;
constexpr int n_fields = bench_fixtures::n_sync_fields;

struct blobmsg_policy sync_policy[n_fields];

void BM_ParseSyncRequest(benchmark::State &state)
{
	for (int i = 0; i < n_fields; i++)
		sync_policy[i] = {sync_fields[i], BLOBMSG_TYPE_STRING};

	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	for (int i = 0; i < n_fields; i++)
		blobmsg_add_string(&b, sync_fields[i], bench_fixtures::sync_value(i).c_str());

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
		bench_fixtures::nine_field_reply([](const char *k, const char *v) { blobmsg_add_string(&reply_buf, k, v); });
		benchmark::DoNotOptimize(reply_buf.head);
	}
}
BENCHMARK(BM_BuildNineFieldReply);

} // namespace

BENCHMARK_MAIN();

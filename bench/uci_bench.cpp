// Loading and walking a large wireless package, and one set + commit of it
// on tmpfs. Built once against the project's libuci and, by scripts/bench,
// once against the device's, so the two stand side by side.
#include <uci.h>

#include "fixtures.h"
#include "wireless_walk.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

struct bench_dir {
	bench_dir()
	{
		char tmpl[] = "/dev/shm/kestrad-bench-XXXXXX";
		path = mkdtemp(tmpl);
		std::string text = bench_fixtures::make_wireless();
		FILE *f = fopen((path + "/wireless").c_str(), "w");
		fwrite(text.data(), 1, text.size(), f);
		fclose(f);
		size = text.size();
	}
	~bench_dir()
	{
		unlink((path + "/.uci/wireless").c_str());
		rmdir((path + "/.uci").c_str());
		unlink((path + "/wireless").c_str());
		rmdir(path.c_str());
	}
	// Its own save directory: /tmp/.uci is shared, and what another run
	// staged there would be merged into every load.
	void use(struct uci_context *ctx) const
	{
		uci_set_confdir(ctx, path.c_str());
		uci_set_savedir(ctx, (path + "/.uci").c_str());
	}
	std::string path;
	size_t size;
};

void BM_LoadAndWalkWireless(benchmark::State &state)
{
	bench_dir dir;
	for (auto _ : state) {
		struct uci_context *ctx = uci_alloc_context();
		dir.use(ctx);
		struct uci_package *p = nullptr;
		uci_load(ctx, "wireless", &p);
		int found = walk_wireless(ctx, p);
		benchmark::DoNotOptimize(found);
		uci_free_context(ctx);
	}
	state.counters["file_bytes"] = static_cast<double>(dir.size);
}
BENCHMARK(BM_LoadAndWalkWireless)->Unit(benchmark::kMicrosecond);

void BM_SetAndCommitWireless(benchmark::State &state)
{
	bench_dir dir;
	struct uci_context *ctx = uci_alloc_context();
	dir.use(ctx);
	struct uci_package *p = nullptr;
	uci_load(ctx, "wireless", &p);
	int n = 0;
	for (auto _ : state) {
		std::string v = (n++ & 1) ? "allow" : "deny";
		struct uci_ptr ptr = {};
		ptr.package = "wireless";
		ptr.section = "iface7";
		ptr.option = "macfilter";
		ptr.value = v.c_str();
		uci_set(ctx, &ptr);
		uci_commit(ctx, &p, false);
	}
	uci_free_context(ctx);
}
BENCHMARK(BM_SetAndCommitWireless)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();

// Time of `morvel query`'s own work on a large host: parsing the captured multipath -ll
// text with transport detection, the report with its vdisk-name lookups, and the store.
// multipath itself and the in-band reads are not part of it (the in-band reads fail at
// once here, as the sandbox has no /dev/dm-N nodes).
//
//   tests/sandbox/run-in-sandbox.sh -- build/bench/query_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "array/array.h"
#include "bench/topology_gen.h"
#include "struct/mpath_parser.h"
#include "struct/query_report.h"

namespace {

using namespace morvel;

// Sends standard output to /dev/null for the lifetime of the object.
class MuteStdout {
public:
    MuteStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~MuteStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

private:
    int saved_;
};

struct Host {
    int luns = 0, paths = 0;
    std::string text;
};

// Lays out the host once per size.
const Host &host(int luns, int paths) {
    static Host h;
    if (h.luns != luns || h.paths != paths) {
        h.luns = luns;
        h.paths = paths;
        h.text = bench::makeMultipathLL(luns, paths);
        bench::makeHostTree(luns, paths);
        mkdir("/dumps", 0700);
        unlink(array::STORAGE_CONFIG_FILE);
        array::StoreCache cache;
        for (int l = 0; l < luns; ++l)
            array::store_wwid_vdiskname(array::STORAGE_CONFIG_FILE, bench::lunWwid(l).c_str(),
                                        bench::vdiskName(l).c_str(), &cache);
    }
    return h;
}

// Everything `query` does after multipath -ll has answered.
void BM_QueryOwnWork(benchmark::State &state) {
    const Host &h = host(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    MuteStdout mute;
    for (auto _ : state) {
        structs::MorvelList<> list;
        structs::parseQueryCmdResultList(h.text.c_str(), list.anchor());
        structs::printMorvel(list.anchor()->is_last ? nullptr : list.anchor()->next);
    }
    state.counters["peak_rss_MiB"] = bench::peakRssMiB();
}
// 512, 2,048, 8,192 and 16,384 paths
BENCHMARK(BM_QueryOwnWork)->Args({128, 4})->Args({512, 4})->Args({2048, 4})->Args({4096, 4})->Unit(benchmark::kMillisecond);

// The parse alone, transport detection included.
void BM_ParseWithTransport(benchmark::State &state) {
    const Host &h = host(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        structs::MorvelList<> list;
        structs::parseQueryCmdResultList(h.text.c_str(), list.anchor());
        benchmark::DoNotOptimize(list.anchor());
    }
}
BENCHMARK(BM_ParseWithTransport)->Args({512, 4})->Unit(benchmark::kMillisecond);

// When the array answers: one store call per LUN with the name it already has.
void BM_StoreUnchangedNames(benchmark::State &state) {
    const int luns = static_cast<int>(state.range(0));
    host(luns, 4);
    array::StoreCache cache;  // warm after the first round, as within one query
    for (auto _ : state) {
        for (int l = 0; l < luns; ++l)
            array::store_wwid_vdiskname(array::STORAGE_CONFIG_FILE, bench::lunWwid(l).c_str(),
                                        bench::vdiskName(l).c_str(), &cache);
    }
}
BENCHMARK(BM_StoreUnchangedNames)->Arg(512)->Unit(benchmark::kMillisecond);

// The first query on a host: every LUN is appended to the store (one safe rewrite each).
void BM_StoreFirstQuery(benchmark::State &state) {
    const int luns = static_cast<int>(state.range(0));
    host(512, 4);
    array::StoreCache cache;
    for (auto _ : state) {
        unlink(array::STORAGE_CONFIG_FILE);
        for (int l = 0; l < luns; ++l)
            array::store_wwid_vdiskname(array::STORAGE_CONFIG_FILE, bench::lunWwid(l).c_str(),
                                        bench::vdiskName(l).c_str(), &cache);
    }
}
BENCHMARK(BM_StoreFirstQuery)->Arg(512)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    if (!bench::inSandbox()) return 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

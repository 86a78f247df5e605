// Time of a query's in-band vdisk-name reads over the LUN count and the array's answer time:
// one after another in this process (as reads went before), and side by side in the helper
// process with the query's limits. The stand-in read sleeps for the answer time, as a read
// of an array that takes that long to answer page 0xD0 does. in_band counts the names that
// came in band; past the limit of all reads the others are taken from the store.
//
//   tests/sandbox/run-in-sandbox.sh -- build/bench/vdisk_reads_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "array/vdisk_reads.h"
#include "bench/topology_gen.h"

namespace {

using namespace morvel;

int g_answerUs = 0;  // the array's answer time (the helper gets a copy when it starts)

int sleepingRead(const array::VdiskRead &read, char *name) {
    if (g_answerUs > 0) usleep(static_cast<useconds_t>(g_answerUs));
    std::snprintf(name, array::VDISK_NAME_SIZE, "vd_%s", read.devicePath.c_str() + 8);
    return 0;
}

std::vector<array::VdiskRead> luns(int n) {
    std::vector<array::VdiskRead> reads;
    for (int i = 0; i < n; ++i) reads.push_back({"/dev/dm-" + std::to_string(i), false});
    return reads;
}

// Arguments: LUN count, answer time in microseconds.
void BM_SerialReads(benchmark::State &state) {
    const auto reads = luns(static_cast<int>(state.range(0)));
    g_answerUs = static_cast<int>(state.range(1));
    for (auto _ : state) {
        for (const array::VdiskRead &r : reads) {
            char name[array::VDISK_NAME_SIZE] = {};
            benchmark::DoNotOptimize(sleepingRead(r, name));
        }
    }
    state.counters["in_band"] = static_cast<double>(reads.size());
}

void BM_OverlappedReads(benchmark::State &state) {
    const auto reads = luns(static_cast<int>(state.range(0)));
    g_answerUs = static_cast<int>(state.range(1));
    size_t inBand = 0;
    for (auto _ : state) {
        const auto results = array::readVdiskNames(reads, array::kVdiskReadLimits, sleepingRead);
        inBand = 0;
        for (const auto &r : results) inBand += r.outcome == array::ReadOutcome::Read;
    }
    state.counters["in_band"] = static_cast<double>(inBand);
}

// Serial runs are left out where they take more than about 7 s.
void serialSizes(benchmark::internal::Benchmark *b) {
    for (int n : {1, 8, 32, 128, 512})
        for (int us : {0, 1000, 20000, 200000})
            if (static_cast<long>(n) * us <= 7000000) b->Args({n, us});
}
void overlappedSizes(benchmark::internal::Benchmark *b) {
    for (int n : {1, 8, 32, 128, 512})
        for (int us : {0, 1000, 20000, 200000}) b->Args({n, us});
}
BENCHMARK(BM_SerialReads)->Apply(serialSizes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OverlappedReads)->Apply(overlappedSizes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    if (!bench::inSandbox()) return 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

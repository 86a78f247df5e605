// One monitor cycle's own work, without the `multipath -ll` run: parse the captured text,
// flatten it into LUN-path records, compare with the previous cycle (logging the changes
// and rewriting the snapshot) and keep the records. 4 paths per LUN; between two cycles
// 1% of the paths change state. Writes /dumps: run inside tests/sandbox/run-in-sandbox.sh.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "monitor/monitor.h"
#include "struct/mpath_parser.h"
#include "topology_gen.h"

namespace {

using namespace morvel;

constexpr int kPathsPerLun = 4;

// The same topology with every hundredth path failed.
std::string withFailedPaths(std::string text) {
    const std::string ok = "active ready running\n", bad = "failed faulty running\n";
    size_t pos = 0;
    for (int n = 0; (pos = text.find(ok, pos)) != std::string::npos; ++n) {
        if (n % 100 == 0) text.replace(pos, ok.size(), bad);
        pos += ok.size();
    }
    return text;
}

// One cycle over text (copied, since the parser splits it in place).
void cycle(const std::string &text, std::vector<char> &buf, monitor::CycleState &state) {
    std::copy(text.begin(), text.end(), buf.begin());
    buf[text.size()] = '\0';
    structs::initMorvel(monitor::g_pMorvel);
    structs::initLunpath(monitor::g_pLunPath);
    if (structs::parseQueryCmdResult(buf.data(), monitor::g_pMorvel)->code != 0) std::abort();
    if (structs::cvtMorvelToLunpath(monitor::g_pMorvel, monitor::g_pLunPath)->code != 0) std::abort();
    monitor::cmpAndLog(state);
    structs::cpyLunpath(monitor::g_pLunPath, monitor::g_pOldLunPath);
}

void BM_MonitorCycle(benchmark::State &state) {
    common::set_log_variant(common::LogVariant::Monitor);
    const int luns = static_cast<int>(state.range(0)) / kPathsPerLun;
    const bool changing = state.range(1) != 0;
    const std::string a = bench::makeMultipathLL(luns, kPathsPerLun);
    const std::string b = changing ? withFailedPaths(a) : a;
    std::vector<char> buf(std::max(a.size(), b.size()) + 1);
    monitor::initMonitor();
    monitor::CycleState cycleState;
    cycle(a, buf, cycleState);  // first cycle: every record is created
    bool flip = false;
    for (auto _ : state) {
        flip = !flip;
        cycle(flip ? b : a, buf, cycleState);
    }
    state.counters["records"] = static_cast<double>(structs::countLunpath(monitor::g_pLunPath));
    state.counters["peak_rss_MiB"] = bench::peakRssMiB();
}
BENCHMARK(BM_MonitorCycle)
    ->ArgsProduct({{512, 2048, 8192, 16384}, {0, 1}})
    ->ArgNames({"records", "changing"})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

// The comparison alone, steady topology (no change lines, no snapshot write).
void BM_CompareSteady(benchmark::State &state) {
    common::set_log_variant(common::LogVariant::Monitor);
    const int luns = static_cast<int>(state.range(0)) / kPathsPerLun;
    const std::string a = bench::makeMultipathLL(luns, kPathsPerLun);
    std::vector<char> buf(a.size() + 1);
    monitor::initMonitor();
    monitor::CycleState cycleState;
    cycle(a, buf, cycleState);
    cycle(a, buf, cycleState);
    for (auto _ : state) benchmark::DoNotOptimize(monitor::cmpAndLog(cycleState));
}
BENCHMARK(BM_CompareSteady)->Arg(2048)->Arg(16384)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

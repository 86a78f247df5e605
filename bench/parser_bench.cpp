// Time of parsing `multipath -ll` text: a 2 MiB capture through both parser variants, and
// the CLI's parse with transport detection over a by-path tree of 512 LUNs x 4 paths.
//
//   tests/sandbox/run-in-sandbox.sh -- build/bench/parser_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/topology_gen.h"
#include "struct/mpath_parser.h"
#include "struct/target_port.h"

namespace {

using namespace morvel;

constexpr int kPaths = 4;
constexpr size_t kTwoMiB = 2u << 20;

// The smallest topology of kPaths paths per LUN whose text reaches 2 MiB.
const std::string &twoMiBText(int *lunsOut = nullptr) {
    static int luns = 0;
    static const std::string text = [] {
        size_t perLun = bench::makeMultipathLL(100, kPaths).size() / 100;
        luns = static_cast<int>(kTwoMiB / perLun) + 1;
        std::string t = bench::makeMultipathLL(luns, kPaths);
        while (t.size() < kTwoMiB) t = bench::makeMultipathLL(++luns, kPaths);
        return t;
    }();
    if (lunsOut) *lunsOut = luns;
    return text;
}

// In-memory by-path links of the generated host (Fibre Channel, one port per path).
std::vector<structs::ByPathLink> fcLinks(int luns) {
    std::vector<structs::ByPathLink> links;
    for (int l = 0; l < luns; ++l)
        for (int p = 0; p < kPaths; ++p)
            links.push_back({"pci-0000:5e:00." + std::to_string(bench::hostOf(p) - 1) + "-fc-0x2200aabbccdd000" +
                                 std::to_string(bench::portOf(p)) + "-lun-" + std::to_string(l),
                             bench::scsiDiskName(bench::diskIndex(l, p, kPaths))});
    return links;
}

void BM_ParseCli2MiB_NoLinks(benchmark::State &state) {
    const std::string &text = twoMiBText();
    for (auto _ : state) {
        structs::FixedPortResolver none;
        structs::MorvelList<structs::s_morvel> list;
        benchmark::DoNotOptimize(structs::parseQueryCmdResultList(text.c_str(), list.anchor(), none));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseCli2MiB_NoLinks)->Unit(benchmark::kMillisecond);

void BM_ParseCli2MiB_InMemoryLinks(benchmark::State &state) {
    int luns = 0;
    const std::string &text = twoMiBText(&luns);
    std::vector<structs::ByPathLink> links = fcLinks(luns);
    for (auto _ : state) {
        structs::FixedPortResolver resolver(links, {});
        structs::MorvelList<structs::s_morvel> list;
        benchmark::DoNotOptimize(structs::parseQueryCmdResultList(text.c_str(), list.anchor(), resolver));
    }
    state.counters["paths"] = luns * kPaths;
}
BENCHMARK(BM_ParseCli2MiB_InMemoryLinks)->Unit(benchmark::kMillisecond);

// The same parse into a list that already holds every node: the parse alone, without the
// allocations and their log lines.
void BM_ParseCli2MiB_Reused(benchmark::State &state) {
    const std::string &text = twoMiBText();
    structs::MorvelList<structs::s_morvel> list;
    structs::FixedPortResolver warm;
    structs::parseQueryCmdResultList(text.c_str(), list.anchor(), warm);
    for (auto _ : state) {
        structs::FixedPortResolver none;
        structs::initMorvel(list.anchor());
        benchmark::DoNotOptimize(structs::parseQueryCmdResultList(text.c_str(), list.anchor(), none));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseCli2MiB_Reused)->Unit(benchmark::kMillisecond);

// The monitor refills one long-lived list; the parser splits its text in place (the copy
// it splits is made outside the timing).
void parseMonitorLoop(benchmark::State &state, const std::string &text) {
    structs::MorvelList<structs::mon::s_morvel> list;
    std::string copy;
    for (auto _ : state) {
        state.PauseTiming();
        copy = text;
        state.ResumeTiming();
        structs::initMorvel(list.anchor());
        benchmark::DoNotOptimize(structs::parseQueryCmdResult(copy.data(), list.anchor()));
    }
}

void BM_ParseMonitor2MiB(benchmark::State &state) {
    const std::string &text = twoMiBText();
    parseMonitorLoop(state, text);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseMonitor2MiB)->Unit(benchmark::kMillisecond);

// Both variants at 512, 2,048, 8,192 and 16,384 paths (4 per LUN), transport detection from
// in-memory links.
void BM_ParseCliPaths(benchmark::State &state) {
    const int luns = static_cast<int>(state.range(0)) / kPaths;
    const std::string text = bench::makeMultipathLL(luns, kPaths);
    std::vector<structs::ByPathLink> links = fcLinks(luns);
    for (auto _ : state) {
        structs::FixedPortResolver resolver(links, {});
        structs::MorvelList<structs::s_morvel> list;
        benchmark::DoNotOptimize(structs::parseQueryCmdResultList(text.c_str(), list.anchor(), resolver));
    }
    state.counters["peak_rss_MiB"] = bench::peakRssMiB();
}
BENCHMARK(BM_ParseCliPaths)->Arg(512)->Arg(2048)->Arg(8192)->Arg(16384)->Unit(benchmark::kMillisecond);

void BM_ParseMonitorPaths(benchmark::State &state) {
    parseMonitorLoop(state, bench::makeMultipathLL(static_cast<int>(state.range(0)) / kPaths, kPaths));
    state.counters["peak_rss_MiB"] = bench::peakRssMiB();
}
BENCHMARK(BM_ParseMonitorPaths)->Arg(512)->Arg(2048)->Arg(8192)->Arg(16384)->Unit(benchmark::kMillisecond);

// The CLI's default parse: one scan of /dev/disk/by-path for the whole query. Lays out the
// tree at its real path, so it runs only inside the test sandbox.
bool layOutHostTree() {
    const char *inner = std::getenv("MORVEL_SANDBOX_INNER");
    if (!inner || std::string(inner) != "1") return false;
    static const bool laidOut = [] {
        bench::makeHostTree(512, kPaths);
        return true;
    }();
    return laidOut;
}

// Transport detection alone for every path of 512 LUNs x 4 paths: one directory scan and
// 2,048 look-ups.
void BM_HostResolver512x4(benchmark::State &state) {
    if (!layOutHostTree()) {
        state.SkipWithError("run inside tests/sandbox/run-in-sandbox.sh");
        return;
    }
    std::vector<std::string> devs;
    for (int d = 0; d < 512 * kPaths; ++d) devs.push_back(bench::scsiDiskName(d));
    for (auto _ : state) {
        structs::HostPortResolver resolver;
        for (const std::string &dev : devs) {
            char hi[31] = {0}, tp[129] = {0};
            resolver.resolve(dev.c_str(), hi, tp);
            benchmark::DoNotOptimize(tp);
        }
    }
}
BENCHMARK(BM_HostResolver512x4)->Unit(benchmark::kMillisecond);

void BM_ParseCliHostTree512x4(benchmark::State &state) {
    if (!layOutHostTree()) {
        state.SkipWithError("run inside tests/sandbox/run-in-sandbox.sh");
        return;
    }
    std::string text = bench::makeMultipathLL(512, kPaths);
    for (auto _ : state) {
        structs::MorvelList<structs::s_morvel> list;
        benchmark::DoNotOptimize(structs::parseQueryCmdResultList(text.c_str(), list.anchor()));
    }
}
BENCHMARK(BM_ParseCliHostTree512x4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

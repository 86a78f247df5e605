// The runners collecting a long output: `cat` of a file the size of `multipath -ll` on a
// large host, into the monitor's 2 KiB start buffer and into morvel's 2 MiB buffer. What is
// measured is the collection (fork, exec and cat included). Writes /dumps (the runners log):
// run inside tests/sandbox/run-in-sandbox.sh.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/runner.h"

namespace {

using namespace morvel;

// A file of size bytes of multipath -ll-like lines; its path.
std::string outputFile(size_t size) {
    std::string path = "/tmp/runner_bench_" + std::to_string(size);
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (!f) std::abort();
    const std::string line = "| `- 1:0:0:1   sdb  8:16   active ready running\n";
    for (size_t n = 0; n < size; n += line.size()) std::fputs(line.c_str(), f);
    std::fclose(f);
    return path;
}

void BM_MonitorRunner(benchmark::State &state) {
    const std::string cmd = "cat " + outputFile(static_cast<size_t>(state.range(0)));
    char buf[2048];
    for (auto _ : state) {
        char *out = nullptr;
        int rc = common::exe_cmd_monitor(cmd.c_str(), buf, sizeof buf, &out);
        if (rc < 0) std::abort();
        if (rc == 1) std::free(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MonitorRunner)->Arg(64 << 10)->Arg(1 << 20)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

void BM_CliRunner(benchmark::State &state) {
    const std::string cmd = "cat " + outputFile(static_cast<size_t>(state.range(0)));
    std::unique_ptr<char[]> buf(new char[common::kOutBufSize]);
    for (auto _ : state) {
        char *out = nullptr;
        if (common::exe_cmd(cmd.c_str(), buf.get(), common::kOutBufSize, &out, nullptr) < 0) std::abort();
        if (out != buf.get()) std::free(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CliRunner)->Arg(1 << 20)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

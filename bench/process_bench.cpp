// Whole-process cost of `morvel query` on a large host: the built `morvel` binary, run as an
// administrator runs it, while a stand-in multipathd "runs" (a pid file naming a process
// called multipathd) and its client call answers "show topology" from a file. Time is the
// CPU time of morvel and everything it waited for (wait4), wall time and peak RSS come as
// counters; "topology_ms" is the CPU time of the topology command alone (the same shell
// line run by itself), "own_ms" what morvel adds beyond it. The in-band reads fail at once
// here (no /dev/dm-N in the sandbox), so they are not part of it.
//
//   tests/sandbox/run-in-sandbox.sh -- build/bench/process_bench [--morvel=OTHER_BUILD/morvel]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "array/array.h"
#include "bench/topology_gen.h"

namespace {

using namespace morvel;

constexpr int kPathsPerLun = 4;
const std::string kDir = "/run/morvel-bench";
const std::string kTopology = kDir + "/topology";
// first in the fixed PATH that morvel runs its commands with (the sandbox's root)
const std::string kBin = "/usr/local/sbin";
const char *g_morvel = MORVEL_BIN;  // --morvel=PATH: another build's, to compare

struct Run {
    double cpuMs = 0, wallMs = 0, maxRssKiB = 0;
};

double ms(const timeval &t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

// Runs argv with the fake tools first in PATH, output to /dev/null, and reaps it.
Run spawn(const std::vector<const char *> &argv) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::string path = "PATH=" + kBin + ":/usr/sbin:/usr/bin:/sbin:/bin";
        char *envp[] = {path.data(), const_cast<char *>("LC_ALL=C"), nullptr};
        execve(argv[0], const_cast<char *const *>(argv.data()), envp);
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) std::abort();
    Run r;
    r.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    r.cpuMs = ms(ru.ru_utime) + ms(ru.ru_stime);
    r.maxRssKiB = static_cast<double>(ru.ru_maxrss);
    return r;
}

// The host of `luns` LUNs: sysfs, by-path links, a full vdisk-name store, the topology text,
// the fake multipathd client and a live process called multipathd named by its pid file.
void layOut(int luns) {
    static int laidOut = -1;
    static pid_t daemon = 0;
    if (laidOut == luns) return;
    laidOut = luns;
    bench::makeHostTree(luns, kPathsPerLun);
    mkdir("/dumps", 0700);
    unlink(array::STORAGE_CONFIG_FILE);
    unlink("/dumps/morvel_cli.log");
    for (int l = 0; l < luns; ++l)
        array::store_wwid_vdiskname(array::STORAGE_CONFIG_FILE, bench::lunWwid(l).c_str(),
                                    bench::vdiskName(l).c_str());
    mkdir(kDir.c_str(), 0755);
    mkdir(kBin.c_str(), 0755);
    mkdir((kDir + "/daemon").c_str(), 0755);
    bench::writeText(kTopology, bench::makeMultipathLL(luns, kPathsPerLun));
    // multipath -ll answers the same, for a build that reads the topology only from it
    for (const char *tool : {"multipathd", "multipath"}) {
        bench::writeText(kBin + "/" + tool, "#!/bin/sh\nexec cat " + kTopology + "\n");
        chmod((kBin + "/" + tool).c_str(), 0755);
    }
    if (daemon == 0) {
        std::string d = kDir + "/daemon/multipathd";
        if (std::system(("cp /bin/sleep " + d).c_str()) != 0) std::abort();
        daemon = fork();
        if (daemon == 0) {
            execl(d.c_str(), "multipathd", "infinity", nullptr);
            _exit(127);
        }
        bench::writeText("/run/multipathd.pid", std::to_string(daemon) + "\n");
        std::atexit([] { kill(daemon, SIGTERM); });
    }
}

// The same shell line morvel runs for the topology, alone: the median of a few runs.
double topologyCommandMs() {
    std::vector<double> t;
    for (int i = 0; i < 9; ++i)
        t.push_back(spawn({"/bin/sh", "-c", "multipathd show topology 2>&1", nullptr}).cpuMs);
    std::nth_element(t.begin(), t.begin() + 4, t.end());
    return t[4];
}

void BM_QueryProcess(benchmark::State &state) {
    const int paths = static_cast<int>(state.range(0));
    layOut(paths / kPathsPerLun);
    spawn({g_morvel, "query", nullptr});  // warms the page cache
    Run sum, peak;
    for (auto _ : state) {
        Run r = spawn({g_morvel, "query", nullptr});
        state.SetIterationTime(r.cpuMs / 1e3);
        sum.cpuMs += r.cpuMs;
        sum.wallMs += r.wallMs;
        peak.maxRssKiB = std::max(peak.maxRssKiB, r.maxRssKiB);
    }
    const double n = static_cast<double>(state.iterations()), topo = topologyCommandMs();
    state.counters["wall_ms"] = sum.wallMs / n;
    state.counters["topology_ms"] = topo;
    state.counters["own_ms"] = sum.cpuMs / n - topo;
    state.counters["peak_rss_MiB"] = peak.maxRssKiB / 1024;
}
BENCHMARK(BM_QueryProcess)
    ->Arg(512)->Arg(2048)->Arg(8192)->Arg(16384)
    ->ArgNames({"paths"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    if (!bench::inSandbox()) return 2;
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--morvel=", 9) == 0) g_morvel = argv[i] + 9;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// Generator of a simulated array host for benchmarks: `multipath -ll` text for N LUNs x P
// paths, the matching /dev/disk/by-path links and /sys/block/<dev>/device/state files, and
// a vdisk-name store holding every LUN. The files are written at their real paths: run
// benchmarks inside tests/sandbox/run-in-sandbox.sh only.
#pragma once
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace morvel::bench {

// Kernel-style SCSI disk name of the i-th disk: sda .. sdz, sdaa .. sdzz, sdaaa ...
inline std::string scsiDiskName(int i) {
    std::string s;
    for (int n = i + 1; n > 0; n = (n - 1) / 26) s.insert(s.begin(), static_cast<char>('a' + (n - 1) % 26));
    return "sd" + s;
}

inline std::string lunWwid(int lun) {
    char w[40];
    std::snprintf(w, sizeof w, "36000aabbccdd%020d", lun);
    return w;
}

inline std::string vdiskName(int lun) { return "vd_bench_" + std::to_string(lun); }

// Path p of LUN lun: disk index, HBA host number and array port.
inline int diskIndex(int lun, int p, int paths) { return lun * paths + p; }
inline int hostOf(int p) { return 1 + p % 2; }
inline int portOf(int p) { return 3 + p; }

// `multipath -ll` as multipath-tools prints it: two path groups per LUN, the first holding
// the first half of the paths.
inline std::string makeMultipathLL(int luns, int paths) {
    std::string out;
    char line[256];
    for (int l = 0; l < luns; ++l) {
        std::snprintf(line, sizeof line, "mpath%d (%s) dm-%d KELDOR,ZRN\n", l, lunWwid(l).c_str(), l);
        out += line;
        out += "size=10G features='1 queue_if_no_path' hwhandler='1 alua' wp=rw\n";
        int first = (paths + 1) / 2;
        for (int g = 0; g < 2; ++g) {
            int from = g == 0 ? 0 : first, to = g == 0 ? first : paths;
            if (from >= to) continue;
            bool lastGroup = to == paths;
            std::snprintf(line, sizeof line, "%s-+- policy='service-time 0' prio=%d status=%s\n",
                          lastGroup ? "`" : "|", g == 0 ? 50 : 10, g == 0 ? "active" : "enabled");
            out += line;
            for (int p = from; p < to; ++p) {
                int d = diskIndex(l, p, paths);
                std::snprintf(line, sizeof line, "%s %s %d:0:%d:%d %s %d:%d active ready running\n",
                              lastGroup ? " " : "|", p + 1 == to ? "`-" : "|-", hostOf(p), p / 2, l,
                              scsiDiskName(d).c_str(), 8 + d / 16, (d % 16) * 16);
                out += line;
            }
        }
    }
    return out;
}

// Product code writes /dumps and reads /dev and /sys: a benchmark that lays out the host
// runs only inside the sandbox, and says so elsewhere.
inline bool inSandbox() {
    const char *inner = std::getenv("MORVEL_SANDBOX_INNER");
    if (inner != nullptr && std::string(inner) == "1") return true;
    std::fprintf(stderr, "run me inside tests/sandbox/run-in-sandbox.sh\n");
    return false;
}

// The process's peak resident memory so far, in MiB. The sizes of a benchmark run in rising
// order, so after each it is that size's peak.
inline double peakRssMiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_maxrss) / 1024;
}

inline void writeText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// By-path links (Fibre Channel) and sysfs state files of every path.
inline void makeHostTree(int luns, int paths) {
    mkdir("/dev/disk", 0755);
    mkdir("/dev/disk/by-path", 0755);
    mkdir("/sys/block", 0755);
    char link[256];
    for (int l = 0; l < luns; ++l) {
        for (int p = 0; p < paths; ++p) {
            std::string dev = scsiDiskName(diskIndex(l, p, paths));
            std::snprintf(link, sizeof link, "/dev/disk/by-path/pci-0000:5e:00.%d-fc-0x2200aabbccdd%04x-lun-%d",
                          hostOf(p) - 1, portOf(p), l);
            symlink(("../../" + dev).c_str(), link);
            std::string sys = "/sys/block/" + dev;
            mkdir(sys.c_str(), 0755);
            mkdir((sys + "/device").c_str(), 0755);
            writeText(sys + "/device/state", "running\n");
        }
    }
}

}  // namespace morvel::bench

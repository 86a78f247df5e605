// The topology as a Prometheus textfile (node_exporter's textfile collector reads every
// *.prom file of its folder). One table row per metric: its name, type, help and the samples
// it takes from the cycle (the device list, or the LUN-path records for what only they
// carry). The series are bounded by the host's LUNs and paths: one per LUN,
// two per LUN for the path counts, one per path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "monitor/exports.h"
#include "monitor/health.h"

namespace morvel::monitor {

namespace {

constexpr const char kSrc[] = "monitor/metrics";
constexpr const char kDebianDir[] = "/var/lib/prometheus/node-exporter";
constexpr const char kRpmDir[] = "/var/lib/node_exporter/textfile_collector";

using Labels = std::vector<std::pair<const char *, std::string>>;
using structs::mon::s_morvel;
using structs::mon::s_path_dev;

class Samples {
public:
    Samples(std::string &out, const char *name) : out_(out), name_(name) {}
    void add(const Labels &labels, double value) {
        out_ += name_;
        if (!labels.empty()) {
            out_ += '{';
            for (size_t i = 0; i < labels.size(); ++i) {
                if (i > 0) out_ += ',';
                out_ += labels[i].first;
                out_ += "=\"";
                out_ += escapeLabelValue(labels[i].second);
                out_ += '"';
            }
            out_ += '}';
        }
        char text[64];
        if (value == static_cast<double>(static_cast<long long>(value)))
            std::snprintf(text, sizeof text, " %lld\n", static_cast<long long>(value));
        else
            std::snprintf(text, sizeof text, " %.6f\n", value);
        out_ += text;
    }

private:
    std::string &out_;
    const char *name_;
};

template <class F>
void forEachLun(const CycleFacts &facts, F f) {
    if (!facts.topologyRead) return;
    for (const s_morvel *d = facts.devices; d != nullptr; d = structs::nextValid(d)) f(*d);
}

template <class F>
void forEachPath(const s_morvel &d, F f) {
    for (const s_path_dev *p = structs::firstValid(d.pdev); p != nullptr; p = structs::nextValid(p)) f(*p);
}

// Every path of every LUN, with its LUN.
template <class F>
void forEachLunPath(const CycleFacts &facts, F f) {
    forEachLun(facts, [&](const s_morvel &d) { forEachPath(d, [&](const s_path_dev &p) { f(d, p); }); });
}

std::string vdiskOf(const CycleFacts &facts, const char *wwid) {
    if (facts.vdisks == nullptr) return {};
    const auto it = facts.vdisks->find(wwid);
    return it != facts.vdisks->end() ? it->second : std::string();
}

struct Metric {
    const char *name;
    const char *type;
    const char *help;
    void (*samples)(const CycleFacts &, Samples &);
};
constexpr Metric kMetrics[] = {
    {"morvel_lun_info", "gauge", "A LUN of a Keldor array on this host, with its names (always 1).",
     [](const CycleFacts &facts, Samples &s) {
         forEachLun(facts, [&](const s_morvel &d) {
             s.add({{"wwid", d.wwid}, {"alias", d.path_alias}, {"vdisk", vdiskOf(facts, d.wwid)},
                    {"vendor", d.vendor}, {"product", d.product_type}},
                   1);
         });
     }},
    {"morvel_lun_paths", "gauge", "Paths of a LUN that can carry I/O (usable) and that cannot (failed).",
     [](const CycleFacts &facts, Samples &s) {
         forEachLun(facts, [&](const s_morvel &d) {
             int usable = 0, failed = 0;
             forEachPath(d, [&](const s_path_dev &p) { ++(pathUsable(p) ? usable : failed); });
             s.add({{"wwid", d.wwid}, {"state", "usable"}}, usable);
             s.add({{"wwid", d.wwid}, {"state", "failed"}}, failed);
         });
     }},
    {"morvel_path_state", "gauge",
     "A path of a LUN with its device-mapper, checker and kernel device states (always 1).",
     [](const CycleFacts &facts, Samples &s) {
         forEachLunPath(facts, [&](const s_morvel &d, const s_path_dev &p) {
             s.add({{"wwid", d.wwid}, {"path", p.dev_name}, {"dm_state", p.dm_status},
                    {"checker_state", p.path_status}, {"kernel_state", p.morvel_status}},
                   1);
         });
     }},
    {"morvel_path_failures_total", "counter",
     "Failures of a path that the kernel counted (device-mapper's count, read after path events).",
     [](const CycleFacts &facts, Samples &s) {
         if (facts.health == nullptr) return;
         forEachLunPath(facts, [&](const s_morvel &d, const s_path_dev &p) {
             s.add({{"wwid", d.wwid}, {"path", p.dev_name}}, static_cast<double>(facts.health->pathFailures(p.dev_name)));
         });
     }},
    {"morvel_path_intermittent", "gauge",
     "Whether the monitor judges the path intermittent (1) or not (0).",
     [](const CycleFacts &facts, Samples &s) {
         if (facts.health == nullptr) return;
         forEachLunPath(facts, [&](const s_morvel &d, const s_path_dev &p) {
             s.add({{"wwid", d.wwid}, {"path", p.dev_name}}, facts.health->pathIntermittent(p.dev_name) ? 1 : 0);
         });
     }},
    {"morvel_monitor_last_cycle_timestamp_seconds", "gauge", "When the monitor's last cycle ended.",
     [](const CycleFacts &facts, Samples &s) { s.add({}, facts.endTime); }},
    {"morvel_monitor_cycle_duration_seconds", "gauge", "How long the monitor's last cycle took.",
     [](const CycleFacts &facts, Samples &s) { s.add({}, facts.duration); }},
    {"morvel_monitor_topology_read", "gauge",
     "Whether the last cycle read the topology (1); when 0 the LUN and path metrics are left out.",
     [](const CycleFacts &facts, Samples &s) { s.add({}, facts.topologyRead ? 1 : 0); }},
};

}  // namespace

std::string escapeLabelValue(const std::string &value) {
    std::string out;
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string formatMetrics(const CycleFacts &facts) {
    std::string out;
    for (const Metric &m : kMetrics) {
        out += "# HELP ";
        out += m.name;
        out += ' ';
        out += m.help;
        out += "\n# TYPE ";
        out += m.name;
        out += ' ';
        out += m.type;
        out += '\n';
        Samples samples(out, m.name);
        m.samples(facts, samples);
    }
    return out;
}

std::string textfileDir() {
    const char *set = std::getenv("MORVEL_TEXTFILE_DIR");
    if (set != nullptr && set[0] == '/') return set;
    struct stat st;
    if (stat(kDebianDir, &st) == 0 && S_ISDIR(st.st_mode)) return kDebianDir;
    return kRpmDir;
}

namespace {
// Makes dir and its missing parents (mode 0755).
bool makeDirs(const std::string &dir) {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

bool writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
}  // namespace

bool writeMetricsFile(const std::string &dir, const std::string &text, bool loud) {
    const std::string path = dir + "/" + kMetricsFile;
    // The temporary name does not end in .prom: the collector never reads it.
    const std::string tmp = path + ".tmp";
    if (!makeDirs(dir)) {
        if (loud) MLOG(common::LOG_ERROR, kSrc, "Can not make the folder %s, errno %d.", dir.c_str(), errno);
        return false;
    }
    unlink(tmp.c_str());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        if (loud) MLOG(common::LOG_ERROR, kSrc, "Can not create %s, errno %d.", tmp.c_str(), errno);
        return false;
    }
    // the collector runs as its own user: the file is readable by all, whatever the umask
    const bool written = fchmod(fd, 0644) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    const int err = errno;
    if (close(fd) != 0 || !written || rename(tmp.c_str(), path.c_str()) != 0) {
        if (loud) MLOG(common::LOG_ERROR, kSrc, "Can not write %s, errno %d.", path.c_str(), written ? errno : err);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace morvel::monitor

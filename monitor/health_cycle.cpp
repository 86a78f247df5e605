// The loop's side of the path health: its settings from the environment, the kernel's path
// counts of each cycle, the health lines in the monitor log and the baseline file beside
// the snapshot, which the administrator may edit or remove to accept a LUN's new path count.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/file_util.h"
#include "common/log.h"
#include "monitor/health.h"

namespace morvel::monitor {

namespace {

constexpr const char *kSrc = "monitor/health";

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The file's baselines; false when it cannot be read as a plain file of its own.
bool readBaselines(const std::string &path, Baselines &out, struct stat &st) {
    const int fd = common::openPlainFile(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    std::string text;
    const bool ok = ::fstat(fd, &st) == 0 && common::readAll(fd, text);
    ::close(fd);
    if (ok) out = parseBaselines(text);
    return ok;
}

bool writeBaselines(HealthCycle &h) {
    common::FileLock lock(h.baselineFile.c_str(), kSrc);
    if (!lock.held()) return false;
    common::AtomicFile file(h.baselineFile.c_str(), 0600);
    const std::string text = formatBaselines(h.tracker.baselines());
    if (!file.created() || !file.write(text.data(), text.size()) || !file.commit()) return false;
    h.fileKnown = ::stat(h.baselineFile.c_str(), &h.fileStat) == 0;
    return true;
}

// Health lines, in the change lines' short form; true when all reached the log, and then
// their events are kept for the exports.
bool logLines(HealthCycle &h, const std::vector<std::string> &lines) {
    common::LogBatch batch;
    for (const std::string &l : lines) {
        common::morvel_log(common::LOG_MONITOR, "", 0, "", "%s", l.c_str());
        common::inDebug("%s", l.c_str());
    }
    batch.finish();
    if (!batch.complete()) return false;
    for (const std::string &l : lines) {
        ChangeEvent event;
        if (healthEventOf(l, &event)) h.events.push_back(std::move(event));
    }
    if (h.events.size() > kMaxHealthEvents)
        h.events.erase(h.events.begin(), h.events.end() - static_cast<std::ptrdiff_t>(kMaxHealthEvents));
    return true;
}

}  // namespace

void initHealth(HealthCycle &h, const char *snapshotPath) {
    std::string complaint;
    const HealthSettings s = healthSettingsFrom(std::getenv(kFailuresVar), std::getenv(kMinutesVar), &complaint);
    if (!complaint.empty())
        MLOG(common::LOG_ERROR, kSrc, "The settings of intermittent paths were not taken: %s. Using %u failures in %u minutes.",
             complaint.c_str(), s.failures, s.minutes);
    h.tracker = HealthTracker(s);
    h.baselineFile = std::string(snapshotPath) + ".paths";
    Baselines b;
    h.fileKnown = readBaselines(h.baselineFile, b, h.fileStat);
    if (h.fileKnown) h.tracker.setBaselines(b, false);
}

void healthCycle(HealthCycle &h, const structs::s_lunPath *records) {
    // The path events that came while the topology was read are told before the count runs.
    std::vector<PathEvent> ev;
    const bool heard = h.listener != nullptr && h.listener->open();
    if (heard) (void)h.listener->drain(&ev);
    if (!ev.empty()) healthEvents(h, ev, records);

    // Work on a copy: it replaces the tracker only when its lines reached the log.
    HealthTracker next = h.tracker;
    struct stat now {};
    const bool exists = ::stat(h.baselineFile.c_str(), &now) == 0;
    bool replaced = false;
    struct stat st {};
    if (exists ? !h.fileKnown || !sameFile(now, h.fileStat) : h.fileKnown && errno == ENOENT) {
        Baselines b;
        if (!exists || readBaselines(h.baselineFile, b, st)) {
            next.setBaselines(b, true);
            replaced = true;
        }
    }
    // The kernel's counts, every cycle: the events tell each failure at once, the count what
    // they missed (events dropped by the socket, or a flap within one burst).
    KernelPaths kernel;
    const bool counted = readKernelPaths(kernel, h.countsRead);
    h.countsRead = counted;
    if (!logLines(h, next.cycle(records, counted ? &kernel : nullptr, monotonicMs() / 1000, heard))) return;
    h.tracker = std::move(next);
    if (replaced) {
        h.fileKnown = exists;
        h.fileStat = st;
    }
    if (!h.tracker.baselinesChanged() && !replaced) return;
    if (writeBaselines(h))
        h.tracker.baselinesSaved();
    else
        MLOG(common::LOG_ERROR, kSrc, "Write file failed. file: %s.", h.baselineFile.c_str());
}

void healthEvents(HealthCycle &h, const std::vector<PathEvent> &ev, const structs::s_lunPath *records) {
    HealthTracker next = h.tracker;
    // Lines that did not reach the log leave the tracker as it was: the next cycle's count
    // tells those failures instead.
    if (logLines(h, next.events(ev, records, monotonicMs() / 1000))) h.tracker = std::move(next);
}

}  // namespace morvel::monitor

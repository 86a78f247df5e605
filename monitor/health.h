// morvel_monitor's path health: what the kernel says of every multipath path (its state and
// failure count), the kernel's uevents that wake the loop, and the tracker that turns both,
// cycle by cycle, into lines about failures between two cycles, intermittent paths and LUNs
// that lost paths.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "monitor/exports.h"
#include "struct/s_lunPath.h"

namespace morvel::monitor {

// ---- the kernel's view of the paths (dmsetup status) ----

struct KernelPath {
    std::string map;              // dm name of the map
    bool failed = false;          // "F": the map does not send I/O to the path
    unsigned long failures = 0;   // the kernel's count of the path's failures in this map
};
// Paths by "major:minor", as the records' path_dev_id.
using KernelPaths = std::unordered_map<std::string, KernelPath>;

// Parses the output of "dmsetup status --target multipath" (also "No devices found"). False,
// with the paths before it kept, at a line that is not a multipath status.
bool parseMultipathStatus(std::string_view text, KernelPaths &out);
// Runs it through the monitor's runner; false when it failed or was not understood (logged
// when logFailure is set).
bool readKernelPaths(KernelPaths &out, bool logFailure);

// A path's uevent: dm-multipath failed (or reinstated) the path "major:minor" in a map.
struct PathEvent {
    std::string devt;
    bool failed = false;
};

// ---- the tracker ----

// K failures within W minutes make a path intermittent; W minutes without one end it.
struct HealthSettings {
    unsigned failures = 3;
    unsigned minutes = 30;
};
// The settings from the two variables' texts (null: not set). A text that is not a whole
// number in range (failures 1..1000, minutes 1..10080) leaves the default and is named in
// *complaint.
HealthSettings healthSettingsFrom(const char *failures, const char *minutes, std::string *complaint);
inline constexpr const char kFailuresVar[] = "MORVEL_INTERMITTENT_FAILURES";
inline constexpr const char kMinutesVar[] = "MORVEL_INTERMITTENT_MINUTES";

// The usable paths a LUN had when it was whole, by WWID.
using Baselines = std::map<std::string, unsigned>;
// One "<wwid> <paths>" line per LUN. parseBaselines skips lines it cannot read.
std::string formatBaselines(const Baselines &b);
Baselines parseBaselines(std::string_view text);

// Decides, from one cycle's records, the kernel's paths and the time, which health lines the
// cycle gives. Pure: no clock, file or command of its own. A value: the loop keeps a copy of
// the last state whose lines reached the log.
class HealthTracker {
public:
    explicit HealthTracker(HealthSettings s = {}) : settings_(s) {}

    // One cycle. kernel: null when it could not be read (nothing is judged from counts then).
    // now: seconds of a clock that does not step. eventsHeard: the kernel's path events are
    // read, so a path whose count or state is ahead of them waits one cycle for its events
    // (sent a moment after the change) before the count tells. Returns the lines to log.
    std::vector<std::string> cycle(const structs::s_lunPath *records, const KernelPaths *kernel, int64_t now,
                                   bool eventsHeard = false);
    // Path events in the order the kernel sent them, gathered over a short while: per path,
    // the state it ended in and the failures on the way give their lines now (records: the
    // last cycle's, for the names). A path no cycle has counted yet is left to the next one.
    std::vector<std::string> events(const std::vector<PathEvent> &ev, const structs::s_lunPath *records, int64_t now);

    // Baselines read from their file. replaced=false: at start (LUNs without a line are
    // learned from their next cycle); true: the administrator changed the file, so every LUN
    // without a line takes its usable paths of the next cycle as its baseline (a line says so).
    void setBaselines(const Baselines &b, bool replaced);
    const Baselines &baselines() const { return baselines_; }
    bool baselinesChanged() const { return baselinesChanged_; }
    void baselinesSaved() { baselinesChanged_ = false; }

    // The kernel's failure count of a path (by device name) at the last cycle; 0 unknown.
    unsigned long pathFailures(const std::string &devName) const;
    bool pathIntermittent(const std::string &devName) const;

private:
    struct PathState {
        bool known = false;  // kernel state seen
        bool failed = false;
        unsigned long failures = 0;
        std::vector<int64_t> recent;  // times of the failures within the window
        bool intermittent = false;
        bool seen = false;  // in this cycle's records
        bool held = false;  // the last count was ahead of the events: waiting for them
    };
    enum class Level { Whole, Below, One };
    struct LunState {
        Level level = Level::Whole;
        bool seen = false;
        bool accept = false;  // take the next usable count as the baseline
    };
    void pathCycle(const structs::s_lunPath &r, const KernelPath *k, int64_t now, bool eventsHeard,
                   std::vector<std::string> &out);
    // The path went to failed (or not) with `failures` more failures: its lines.
    void apply(const structs::s_lunPath &r, PathState &p, bool failed, unsigned long failures, int64_t now,
               std::vector<std::string> &out);
    void judge(const structs::s_lunPath &r, PathState &p, int64_t now, std::vector<std::string> &out);
    void lunCycle(const structs::s_lunPath &first, unsigned present, unsigned usable, std::vector<std::string> &out);

    HealthSettings settings_;
    std::unordered_map<std::string, PathState> paths_;
    std::unordered_map<std::string, LunState> luns_;
    Baselines baselines_;
    bool baselinesChanged_ = false;
    bool acceptAll_ = false;
};

// ---- kernel uevents ----

// Whether a uevent (the kernel's "action@devpath" and NUL-separated KEY=VALUE) asks for a
// cycle: a multipath path failed or was reinstated (DM_ACTION), or an NVMe controller changed.
bool isHealthEvent(const char *data, size_t length);
// The path event of a uevent (DM_ACTION=PATH_FAILED or PATH_REINSTATED, and DM_PATH).
bool parsePathEvent(const char *data, size_t length, PathEvent &out);

// The kernel's uevent socket. Without it (no permission, no netlink) the loop paces itself
// as before, one cycle every 10 seconds.
class UeventListener {
public:
    UeventListener();
    ~UeventListener();
    UeventListener(const UeventListener &) = delete;
    UeventListener &operator=(const UeventListener &) = delete;
    bool open() const { return fd_ >= 0; }
    // Reads what is waiting, the path events into *paths; true when one of it asks for a
    // cycle (or events were lost).
    bool drain(std::vector<PathEvent> *paths);
    // Waits at most ms milliseconds for the socket to be readable; false on time-out.
    bool wait(int ms) const;
    // Whether events were dropped (the socket was full) since the last call.
    bool lost() {
        const bool l = lost_;
        lost_ = false;
        return l;
    }

private:
    int fd_ = -1;
    bool lost_ = false;
};

// The pause between two cycles: at most `seconds`, reaping leftovers every second, ended
// early by a health event. A burst of events gives one cycle: the pause ends kSettleMs after
// the first one, and never less than kMinGapMs after the last cycle started (cycleStartMs, of
// monotonicMs()). The path events of a burst go to onPathEvents kSettleMs after its first
// one; those that came while the cycle ran, at once.
inline constexpr int kSettleMs = 200;
inline constexpr int kMinGapMs = 1000;
using PathEventHandler = std::function<void(const std::vector<PathEvent> &)>;
void pauseForEvents(UeventListener *events, unsigned seconds, int64_t cycleStartMs,
                    const PathEventHandler &onPathEvents);
int64_t monotonicMs();

// ---- the loop's part ----

// Files and settings of the health lines, owned by start(): the tracker, the baseline file
// ("<snapshot>.paths") and what of it was last read or written.
struct HealthCycle {
    HealthTracker tracker;
    std::string baselineFile;
    bool fileKnown = false;  // read or written by us, so a change of it is the administrator's
    struct stat fileStat {};
    bool countsRead = true;  // the last count reading worked (its failure is logged once)
    UeventListener *listener = nullptr;  // the uevent socket, when it is open
    // The events of the lines that reached the log, until the loop takes them for its
    // exports (at most kMaxHealthEvents: the oldest go first).
    std::vector<ChangeEvent> events;
};
inline constexpr size_t kMaxHealthEvents = 4096;
// Settings from the environment, baselines from the file beside the snapshot.
void initHealth(HealthCycle &h, const char *snapshotPath);
// One cycle's health lines over the current records: first those of the path events that
// came while the topology was read, then the cycle's own; logged together, and kept only
// when they all reached the log. The baseline file follows every change of the baselines.
void healthCycle(HealthCycle &h, const structs::s_lunPath *records);
// The lines of a burst of path events, over the last cycle's records, logged the same way.
void healthEvents(HealthCycle &h, const std::vector<PathEvent> &ev, const structs::s_lunPath *records);

}  // namespace morvel::monitor

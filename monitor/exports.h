// What the monitor hands to the fleet's own tools after each cycle, beside its log: every
// change line as a structured journal event, and the topology as a Prometheus textfile for
// node_exporter. Both carry the vdisk names, read in band once per LUN (or taken from the
// vdisk-name store). Nothing here changes a log line, the snapshot or the cycle's pace.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "struct/s_lunPath.h"
#include "struct/s_morvel.h"

namespace morvel::monitor {

// ---- change events: one per change line that reached the monitor log ----

enum class ChangeKind {
    LunCreated,
    LunDeleted,
    PathCreated,
    PathDeleted,
    PathStateChanged,
    PathIdentityChanged,
    // the path-health lines (monitor/health.h)
    PathFlapped,
    PathFailed,
    PathReinstated,
    PathIntermittent,
    PathSteady,
    LunBelowBaseline,
    LunOnePathLeft,
    LunWhole,
    LunBaselineAccepted,
};

struct ChangeEvent {
    ChangeKind kind;
    std::string message;  // the change line's text
    std::string wwid, alias, path;
    std::string field;                // what changed (state and identity changes): the record's field name
    std::string oldValue, newValue;  // its values; for a path that appeared or went, its checker state
};

// ---- journal: the native protocol of systemd-journald, without libsystemd ----

inline constexpr char kJournalSocket[] = "/run/systemd/journal/socket";
using JournalFields = std::vector<std::pair<std::string, std::string>>;

// One datagram of the native protocol: "KEY=value\n" per field, or for a value with a line
// feed the binary form (KEY, "\n", the value's length as 64-bit little endian, the value, "\n").
std::string journalDatagram(const JournalFields &fields);
// The fields of one event: MESSAGE_ID, MESSAGE, PRIORITY, SYSLOG_IDENTIFIER and the MORVEL_*
// fields (MORVEL_VDISK when vdisk is not empty).
JournalFields journalFields(const ChangeEvent &event, const std::string &vdisk);
// The event of a path-health line (its kind from the line's opening words, the LUN and path
// from its properties); false for a line that is none of them.
bool healthEventOf(const std::string &line, ChangeEvent *event);
// The MESSAGE_ID of each kind (32 hex digits), as the catalog and the man page list them.
const char *journalMessageId(ChangeKind kind);

// Sends datagrams to the journal socket. Never blocks: a full socket drops the event, and a
// missing socket (no journald) sends nothing and says nothing.
class Journal {
public:
    explicit Journal(std::string socketPath = kJournalSocket) : path_(std::move(socketPath)) {}
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;
    // Whether journald listens (its socket exists).
    bool present() const;
    // Sends the cycle's events; the number that did not go out (logged once per cycle).
    size_t send(const std::vector<ChangeEvent> &events, const std::map<std::string, std::string> &vdisks);

private:
    std::string path_;
    int fd_ = -1;
};

// Whether a path can carry I/O: not faulty to its checker, not failed in device-mapper or
// in its group, not offline in the kernel (the query's rule for a failed path).
bool pathUsable(const structs::mon::s_path_dev &path);

// ---- vdisk names ----

// The vdisk name of each LUN the monitor sees: read in band once, when the LUN is first seen
// alive (bounded as the query's side-by-side reads are), else taken from the vdisk-name
// store (read only: the store belongs to morvel). A LUN that goes away is forgotten.
class VdiskNames {
public:
    // Learns the names of the LUNs it has not seen yet; the reads get at most budgetMs in all
    // (none below one second: they wait for a later cycle).
    void learn(const structs::mon::s_morvel *first, int budgetMs);
    const std::map<std::string, std::string> &byWwid() const { return names_; }
    std::string nameOf(const std::string &wwid) const;

private:
    std::map<std::string, std::string> names_;  // WWID -> name ("" unknown)
    std::map<std::string, bool> read_;          // WWID -> read in band already tried
};

// ---- Prometheus textfile ----

// The folder node_exporter's textfile collector reads: $MORVEL_TEXTFILE_DIR when set to an
// absolute path; else Debian's /var/lib/prometheus/node-exporter when it exists; else
// /var/lib/node_exporter/textfile_collector (the RPM packages' and upstream's).
std::string textfileDir();
inline constexpr char kMetricsFile[] = "morvel.prom";

class HealthTracker;

struct CycleFacts {
    bool topologyRead = false;                           // false: the cycle's query failed
    const structs::mon::s_morvel *devices = nullptr;      // first device, when read
    const structs::s_lunPath *records = nullptr;          // the cycle's LUN-path records (anchor), when read
    const std::map<std::string, std::string> *vdisks = nullptr;
    double endTime = 0;   // seconds since the epoch
    double duration = 0;  // seconds
    const HealthTracker *health = nullptr;                // the paths' kernel counts, when kept
};
// The exposition text: HELP and TYPE per metric, label values escaped. LUN and path metrics
// only when the topology was read.
std::string formatMetrics(const CycleFacts &facts);
// A label value as the exposition format writes it between its quotes.
std::string escapeLabelValue(const std::string &value);
// Replaces dir/morvel.prom (making dir when missing): "morvel.prom.tmp" in dir, fsync,
// rename. False on failure, logged when loud.
bool writeMetricsFile(const std::string &dir, const std::string &text, bool loud = true);

// ---- the hook of the loop ----

// Runs after each cycle: learns the names of new LUNs within what is left of the cycle's
// period, sends the cycle's events to the journal, and writes the textfile.
class CycleExports {
public:
    void afterCycle(bool topologyRead, const structs::mon::s_morvel *devices, const structs::s_lunPath *records,
                    const std::vector<ChangeEvent> &events, double startTime, double endTime, int budgetMs,
                    const HealthTracker *health = nullptr);

private:
    VdiskNames names_;
    Journal journal_;
    bool metricsFailing_ = false;  // the failure was logged: quiet until a write succeeds
};

}  // namespace morvel::monitor

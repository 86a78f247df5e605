// The monitor loop: every 10 seconds the topology is read, flattened into LUN-path records
// and compared with the previous cycle's records; every difference becomes one line of the
// monitor log.
#include "monitor/monitor.h"

#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/runner.h"
#include "monitor/health.h"
#include "struct/mpath_parser.h"

namespace morvel::monitor {

using structs::LunPathIndex;
using structs::s_lunPath;

structs::s_lunPath *g_pLunPath = nullptr;
structs::s_lunPath *g_pOldLunPath = nullptr;
structs::mon::s_morvel *g_pMorvel = nullptr;
char lunPathDir[8] = "/dumps/";
char lunPathFileName[12] = "data.morvel";
char lunPathFile[512] = "";

namespace {

constexpr const char *kSrc = "monitor/monitor";
constexpr long kPeriod = 10;         // seconds between the starts of two cycles
constexpr long kMaxPause = 2 * kPeriod;
constexpr long kExportMarginMs = 1500;  // kept free of the in-band reads at the end of a period

bool sameField(const char *a, const char *b, size_t n) { return std::strncmp(a, b, n) == 0; }

// The line names the caller's function and line, as every error line does.
void logItemError(const char *func, int line, const char *format, const common::EcItem *item) {
    char text[256];
    common::getErrorMsg(item, text, sizeof text);
    common::morvel_log(common::LOG_ERROR, kSrc, line, func, format, text);
}
#define LOG_ITEM_ERROR(format, item) logItemError(__func__, __LINE__, (format), (item))

// The fields of a path compared between two cycles, in the order their change lines come.
struct ComparedField {
    const char *what;  // as the change line names it
    size_t length;     // characters compared
    const char *(*field)(const s_lunPath &);
    ChangeKind kind;   // of its event
    const char *name;  // the record's field, as the event names it
};
const ComparedField kComparedFields[] = {
    {"path alias", structs::kDevNameKeyLen, [](const s_lunPath &r) { return r.lun_alias; },
     ChangeKind::PathIdentityChanged, "lun_alias"},
    {"lun wwid", structs::kLunWwidKeyLen, [](const s_lunPath &r) { return r.lun_wwid; },
     ChangeKind::PathIdentityChanged, "lun_wwid"},
    {"path status", structs::kDevNameKeyLen, [](const s_lunPath &r) { return r.path_status; },
     ChangeKind::PathStateChanged, "path_status"},
    {"group status", structs::kDevNameKeyLen, [](const s_lunPath &r) { return r.path_group_status; },
     ChangeKind::PathStateChanged, "path_group_status"},
    {"morvel status", structs::kDevNameKeyLen, [](const s_lunPath &r) { return r.morvel_status; },
     ChangeKind::PathStateChanged, "morvel_status"},
};

// A change line goes to the monitor log in its short form (no source, line or function);
// its event, with the line as its message, is kept for the cycle's exports.
__attribute__((format(printf, 3, 4))) void logChange(CycleState &state, ChangeEvent event, const char *format, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    common::morvel_log(common::LOG_MONITOR, "", 0, "", "%s", line);
    common::inDebug("%s", line);
    event.message = line;
    state.events.push_back(std::move(event));
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

#define MONITOR_CHANGE(...)                 \
    do {                                    \
        logChange(state, __VA_ARGS__);      \
        ++changes;                          \
    } while (0)

void initMonitor() {
    structs::freeLunpath(g_pLunPath);
    structs::freeLunpath(g_pOldLunPath);
    structs::freeMorvel(g_pMorvel);
    g_pLunPath = structs::mallocLunpath();
    g_pOldLunPath = structs::mallocLunpath();
    g_pMorvel = structs::mallocMorvel<structs::mon::s_morvel>();
    std::snprintf(lunPathFile, sizeof lunPathFile, "%s%s", lunPathDir, lunPathFileName);
    // A missing or damaged snapshot only leaves fewer previous records.
    (void)readLunPathToFile(g_pOldLunPath, lunPathFile);
}

unsigned pauseAfterCycle(double elapsed) {
    if (std::isnan(elapsed)) return kPeriod;
    const double whole = std::trunc(elapsed);
    if (whole >= kPeriod) return 1;
    const double pause = kPeriod - whole;
    return static_cast<unsigned>(pause > kMaxPause ? kMaxPause : pause);
}

void start() {
    common::inDebug("Start multipath monitor...");
    CycleState state;
    CycleExports exports;
    HealthCycle health;
    initHealth(health, lunPathFile);
    state.health = &health;
    UeventListener events;
    health.listener = &events;
    if (!events.open())
        MLOG(common::LOG_INFO, kSrc, "The kernel's uevents cannot be read: %s. A cycle runs every %ld seconds.\n",
             std::strerror(errno), kPeriod);
    notifyServiceManager("READY=1");
    int64_t cycleStart = 0;
    for (;;) {
        // the pause reaps, second by second, what the cycle's commands left running, and
        // ends early for a kernel event
        auto pause = [&](unsigned s) {
            pauseForEvents(&events, s, cycleStart, [&health](const std::vector<PathEvent> &ev) {
                // the previous records are the last cycle's, whether or not it changed them
                healthEvents(health, ev, g_pOldLunPath);
            });
        };
        paceCycles([] { return ::time(nullptr); }, pause,
                   [&state, &exports, &health, &cycleStart] {
                       cycleStart = monotonicMs();
                       const double startTime = wallSeconds();
                       oneMonitor(state);
                       const long usedMs = static_cast<long>(monotonicMs() - cycleStart);
                       exports.afterCycle(state.topologyRead, structs::firstValid(g_pMorvel), g_pLunPath, state.events, startTime,
                                          wallSeconds(), static_cast<int>(kPeriod * 1000 - usedMs - kExportMarginMs),
                                          &health.tracker);
                       notifyServiceManager("WATCHDOG=1");
                       return true;
                   });
    }
}

common::EcItem *getLunPath(CycleState *state) {
    structs::initMorvel(g_pMorvel);
    structs::initLunpath(g_pLunPath);
    // A map that lost all its paths is still the array's LUN when it was one before: in the
    // previous records, or in the snapshot (the previous records of an earlier run).
    static const structs::KnownWwid seenBefore = [](const char *wwid) {
        return structs::findLunpathByLunId(g_pOldLunPath, wwid) != nullptr || snapshotHoldsWwid(lunPathFile, wwid);
    };
    common::EcItem *r =
        structs::queryMorvelInfo(g_pMorvel, state != nullptr ? &state->daemonRan : nullptr, seenBefore);
    if (r->code != 0) {
        LOG_ITEM_ERROR("Query Morvel infomation failed. Error message: %s.", r);
        return r;
    }
    r = structs::cvtMorvelToLunpath(g_pMorvel, g_pLunPath);
    if (r->code != 0) {
        LOG_ITEM_ERROR("Convert data from Struct s_morvel to s_lunPath failed. Error message: %s.", r);
        return r;
    }
    return &common::EC_ok;
}

void oneMonitor(CycleState &state) {
    state.events.clear();
    state.topologyRead = false;
    common::EcItem *r = getLunPath(&state);
    state.topologyRead = r->code == 0;
    if (r->code != 0) {
        // The previous records stay: a failed query never produces change lines.
        LOG_ITEM_ERROR("Get lun and path information failed. Error message: %s.", r);
        return;
    }
    if (cmpAndLog(state) < 0) return;
    if (state.health != nullptr) {
        healthCycle(*state.health, g_pLunPath);
        // the health lines' events, those of the pause before too, go out with the cycle's
        auto &ev = state.health->events;
        state.events.insert(state.events.end(), std::make_move_iterator(ev.begin()), std::make_move_iterator(ev.end()));
        ev.clear();
    }
    r = structs::cpyLunpath(g_pLunPath, g_pOldLunPath);
    if (r->code != 0) LOG_ITEM_ERROR("Copy lun and path information failed. Error message: %s.", r);
}

int cmpAndLog(CycleState &state) {
    state.newByWwid.build(g_pLunPath);
    state.oldByWwid.build(g_pOldLunPath);
    state.newByName.build(g_pLunPath);
    state.oldByName.build(g_pOldLunPath);
    int changes = 0;
    state.events.clear();
    common::LogBatch batch;  // one change line per record: one open of the log for all

    // The LUNs of one list that the other lacks, judged once per run of records of a LUN.
    auto lunsMissing = [&](s_lunPath *anchor, const LunPathIndex &other, const char *what, ChangeKind kind) {
        const s_lunPath *prev = nullptr;
        for (const s_lunPath *r = firstValid(anchor); r != nullptr; prev = r, r = nextValid(r)) {
            if (prev != nullptr && sameField(prev->lun_wwid, r->lun_wwid, structs::kLunWwidKeyLen)) continue;
            if (other.find(r->lun_wwid) == nullptr)
                MONITOR_CHANGE({kind, {}, r->lun_wwid, r->lun_alias, {}, {}, {}, {}},
                               "The lun is %s, the properties are [ path_alias: %s, wwid: %s ].", what, r->lun_alias,
                               r->lun_wwid);
        }
    };
    auto pathGoneOrNew = [&](const s_lunPath *r, const char *what, bool gone) {
        MONITOR_CHANGE({gone ? ChangeKind::PathDeleted : ChangeKind::PathCreated, {}, r->lun_wwid, r->lun_alias,
                        r->path_dev_name, {}, gone ? r->path_status : "", gone ? "" : r->path_status},
                       "The path is %s, the properties are [ path_alias: %s, wwid: %s, dev_name: %s, "
                       "path_status: %s, path_group_status: %s, morvel_status:%s ].",
                       what, r->lun_alias, r->lun_wwid, r->path_dev_name, r->path_status, r->path_group_status,
                       r->morvel_status);
    };
    // 1. Deleted LUNs. 2. Created LUNs.
    lunsMissing(g_pOldLunPath, state.newByWwid, "deleted", ChangeKind::LunDeleted);
    lunsMissing(g_pLunPath, state.oldByWwid, "created", ChangeKind::LunCreated);
    // 3. Deleted and changed paths.
    for (const s_lunPath *o = firstValid(g_pOldLunPath); o != nullptr; o = nextValid(o)) {
        const s_lunPath *n = state.newByName.find(o->path_dev_name);
        if (n == nullptr) {
            pathGoneOrNew(o, "deleted", true);
            continue;
        }
        for (const ComparedField &f : kComparedFields) {
            const char *was = f.field(*o), *is = f.field(*n);
            if (!sameField(was, is, f.length)) {
                MONITOR_CHANGE({f.kind, {}, n->lun_wwid, n->lun_alias, o->path_dev_name, f.name, was, is},
                               "The %s is changed from [%s] to [%s] for the path [ dev_name: %s ].", f.what, was, is,
                               o->path_dev_name);
            }
        }
    }
    // 4. Created paths.
    for (const s_lunPath *n = firstValid(g_pLunPath); n != nullptr; n = nextValid(n)) {
        if (state.oldByName.find(n->path_dev_name) == nullptr) pathGoneOrNew(n, "created", false);
    }

    batch.finish();
    // Change lines that did not reach the log (a full /dumps) are not lost: the previous
    // records and the snapshot stay where they are, so the next cycle finds the same
    // changes and logs them again.
    if (!batch.complete()) {
        state.events.clear();
        return -1;
    }

    // The snapshot follows every logged change, an empty topology included: otherwise a
    // restart would report the same deletions again.
    if (changes > 0 || state.snapshotBehind) state.snapshotBehind = !writeLunPathToFile(g_pLunPath, lunPathFile);
    return changes;
}

}  // namespace morvel::monitor

// Reads the topology text and hands it to the parser. While multipathd runs, the topology
// comes from the daemon's memory ("multipathd show topology", "multipathd show map <name>
// topology"); otherwise, and whenever the daemon cannot give a usable answer, from
// "multipath -ll" ("multipath -ll <name>"), which runs every path checker itself.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "array/array.h"
#include "common/ec_items.h"
#include "common/log.h"
#include "common/runner.h"
#include "common/script_cmds.h"
#include "struct/mpath_parser.h"
#include "struct/nvme_native.h"

namespace morvel::structs {

using common::EcItem;

namespace {
constexpr const char kSrc[] = "cli/cli_exe";
constexpr int kMonitorStartBuf = 2048;
constexpr const char kDaemonPidFile[] = "/run/multipathd.pid";
constexpr int kDaemonTimeoutMs = 5000;
constexpr int kTimedOut = -9;  // exe_cmd_nonblocking: the deadline passed

constexpr size_t kMaxDeviceName = 256;
constexpr char kWordChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-";

// The callers pass a name that their parameter checks let through (a map name or a WWID);
// whatever else is handed in, only one plain word of letters, digits, '_', '.' and '-' that
// does not start like an option reaches a command line.
bool isPlainDeviceName(const char *name) {
    if (name == nullptr || !std::isalnum(static_cast<unsigned char>(name[0]))) return false;
    const size_t n = std::strspn(name, kWordChars);
    return name[n] == '\0' && n <= kMaxDeviceName;
}

// True when multipathd runs: its pid file names a live process called multipathd. Decided
// without asking the daemon, since on a host with multipathd.socket the first client call
// would start a daemon that was stopped on purpose.
bool daemonRuns() {
    std::ifstream pidFile(kDaemonPidFile);
    long pid = 0;
    if (!(pidFile >> pid) || pid <= 0) return false;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    return std::getline(comm, name) && name == "multipathd";
}

// Output of one daemon call: the text when the call succeeded, else why it did not.
struct DaemonReply {
    bool ok = false;
    std::string why;
};

// Runs a multipathd client call under a deadline; buf/size is the caller's start buffer.
DaemonReply askDaemon(const char *cmd, char *buf, int size, common::RunnerOutput &h) {
    DaemonReply r;
    int rc = common::exe_cmd_nonblocking(cmd, buf, size, &h.out, nullptr, kDaemonTimeoutMs);
    if (rc == kTimedOut)
        r.why = "no answer within " + std::to_string(kDaemonTimeoutMs / 1000) + " s";
    else if (rc < 0)
        r.why = "it failed";
    else
        r.ok = h.out != nullptr;
    return r;
}

// Links the list's valid devices anew: the kept ones in the given order, then the dropped
// ones and the spare nodes of earlier, longer lists, which stay in the chain for reuse.
template <class M>
void relink(M *anchor, const std::vector<M *> &keep, const std::vector<M *> &drop) {
    M *last = anchor;
    while (!last->is_last && last->next != nullptr) last = last->next;
    M *const stale = last->next;
    M *prev = anchor;
    for (const std::vector<M *> *part : {&keep, &drop})
        for (M *d : *part) {
            prev->next = d;
            prev->is_last = 0;
            prev = d;
        }
    prev->next = stale;
    (keep.empty() ? anchor : keep.back())->is_last = 1;
}

// The daemon lists its maps in the order it learned them, multipath -ll in the order of
// their names: the daemon's list is put into that order, so that both sources give the
// same report and the same change lines.
template <class M>
void sortByMapName(M *anchor) {
    std::vector<M *> devs;
    for (M *d = firstValid(anchor); d != nullptr; d = nextValid(d)) devs.push_back(d);
    if (devs.size() < 2) return;
    std::stable_sort(devs.begin(), devs.end(),
                     [](const M *a, const M *b) { return std::strcmp(a->path_alias, b->path_alias) < 0; });
    relink(anchor, devs, {});
}

// Keeps only the devices that answer to name (their map name or WWID); false when none does.
bool keepNamed(s_morvel *anchor, const char *name) {
    std::vector<s_morvel *> named, others;
    for (s_morvel *d = firstValid(anchor); d != nullptr; d = nextValid(d))
        (std::strcmp(d->path_alias, name) == 0 || std::strcmp(d->wwid, name) == 0 ? named : others).push_back(d);
    if (!others.empty()) relink(anchor, named, others);
    return !named.empty();
}

// An unusable daemon reply leaves the list empty and says in the log what runs instead.
template <class M>
bool settle(M *anchor, const DaemonReply &r, const char *daemonCmd, const char *fallbackCmd) {
    if (r.ok) return true;
    initMorvel(anchor);
    MLOG(common::LOG_INFO, kSrc, "[%s] gave no usable topology (%s), reading it with [%s].\n", daemonCmd,
         r.why.c_str(), fallbackCmd);
    return false;
}

EcItem *parseReply(char *text, s_morvel *anchor, const KnownWwid &known) {
    return parseQueryCmdResultList(text, anchor, known);
}
EcItem *parseReply(char *text, mon::s_morvel *anchor, const KnownWwid &known) {
    return parseQueryCmdResult(text, anchor, known);
}

// The daemon's answer for all maps, or (morvel only) for the map called singleName, parsed
// into the list. False (the list emptied again) when it cannot be used; fallbackCmd is what
// runs then.
template <class M>
bool fromDaemon(M *anchor, const char *singleName, const char *fallbackCmd, const KnownWwid &known) {
    char cmd[common::kCmdBufSize];
    if (singleName)
        std::snprintf(cmd, sizeof cmd, "%s show map %s topology", common::CMD_multipathd, singleName);
    else
        std::snprintf(cmd, sizeof cmd, "%s show topology", common::CMD_multipathd);
    // the monitor starts small, as its own runner does; the runner grows the buffer
    const int size = std::is_same_v<M, s_morvel> ? common::kOutBufSize : kMonitorStartBuf;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[static_cast<size_t>(size)]);
    if (!buf) return false;
    common::RunnerOutput h(buf.get());
    DaemonReply r = askDaemon(cmd, buf.get(), size, h);
    if (r.ok) {
        initMorvel(anchor);
        if (parseReply(h.out, anchor, known)->code != 0) {
            r.ok = false;
            r.why = "its text could not be parsed";
        } else if constexpr (std::is_same_v<M, s_morvel>) {
            if (singleName && firstValid(anchor) == nullptr) {
                r.ok = false;
                r.why = "it shows no map of the array by that name";
            } else if (singleName && !keepNamed(anchor, singleName)) {
                r.ok = false;
                r.why = "it shows another map";
            }
        }
    }
    if (!settle(anchor, r, cmd, fallbackCmd)) return false;
    if (!singleName) sortByMapName(anchor);
    return true;
}

// Runs cmd into a 2 MiB buffer and parses its output into the list. With singleName set,
// an output that holds no header of the array answering to that name is "no such device",
// and the list is left empty.
EcItem *runAndParse(const char *cmd, s_morvel *anchor, const char *singleName, const KnownWwid &known) {
    const char *func = singleName ? "querySingleMorvelInfo" : "queryMorvelInfo";
    std::unique_ptr<char[]> buf(new (std::nothrow) char[common::kOutBufSize]);
    if (!buf) return &common::EC_molloc_failed;
    // A non-zero exit status of multipath is no failure: its text is parsed like any other.
    common::RunnerOutput h(buf.get());
    int rc = common::exe_cmd(cmd, buf.get(), common::kOutBufSize, &h.out, nullptr);
    char *out = h.out;
    if (rc < 0 || !out) {
        MLOG_AS(common::LOG_ERROR, kSrc, func, "Execute command [%s] failed", cmd);
        return &common::EC_exe_cmd_failed;
    }
    initMorvel(anchor);
    common::inDebug("== before parseQueryCmdResult");
    EcItem *result = parseQueryCmdResultList(out, anchor, known);
    common::inDebug("== after parseQueryCmdResult");
    // "KELDOR" somewhere in the text is not enough: multipath-tools' own listing of another
    // device may mention it, and a map that lost its paths does not show it at all.
    if (singleName && result->code == 0 && !keepNamed(anchor, singleName)) {
        initMorvel(anchor);
        return common::withParams(&common::EC_no_this_device, singleName);
    }
    return result;
}

// The topology from the daemon when it runs and answers, else from cmd. The maps that lost
// their paths are known by the WWIDs of the vdisk-name store.
EcItem *queryMaps(s_morvel *anchor, const char *singleName, const char *cmd) {
    array::StoreCache store;
    const KnownWwid known = [&store](const char *wwid) {
        return array::storeHoldsWwid(array::STORAGE_CONFIG_FILE, wwid, &store);
    };
    if (!daemonRuns()) {
        MLOG_AS(common::LOG_INFO, kSrc, singleName ? "querySingleMorvelInfo" : "queryMorvelInfo",
                "multipathd is not running, reading the topology with [%s].\n", cmd);
    } else if (fromDaemon(anchor, singleName, cmd, known)) {
        return &common::EC_info_ok;
    }
    return runAndParse(cmd, anchor, singleName, known);
}

// The maps, then the namespaces of native NVMe multipathing. A name that one of those
// answers to (its head device or WWID) names no map.
EcItem *query(s_morvel *anchor, const char *singleName, const char *cmd) {
    const std::vector<NativeNamespaceAttrs> native = readNativeNamespaces();
    if (singleName != nullptr && findNativeNamespace(native, singleName) != nullptr) {
        initMorvel(anchor);
        return appendNativeNamespaces(native, anchor, singleName) < 0 ? &common::EC_molloc_failed
                                                                      : &common::EC_info_ok;
    }
    EcItem *result = queryMaps(anchor, singleName, cmd);
    if (result->code == 0 && singleName == nullptr && appendNativeNamespaces(native, anchor) < 0)
        return &common::EC_molloc_failed;
    return result;
}

// The monitor's list after a successful read of the maps: the native namespaces follow.
EcItem *withNative(mon::s_morvel *anchor, EcItem *result) {
    if (result->code != 0) return result;
    return appendNativeNamespaces(readNativeNamespaces(), anchor) < 0 ? &common::EC_molloc_failed : result;
}

}  // namespace

EcItem *queryMorvelInfo(s_morvel *anchor) {
    char cmd[common::kCmdBufSize];
    std::snprintf(cmd, sizeof cmd, "%s -ll", common::CMD_multipath);
    return query(anchor, nullptr, cmd);
}

EcItem *querySingleMorvelInfo(s_morvel *anchor, const char *name) {
    if (!isPlainDeviceName(name)) return common::withParams(&common::EC_no_this_device, name ? name : "");
    char cmd[common::kCmdBufSize];
    std::snprintf(cmd, sizeof cmd, "%s -ll %s", common::CMD_multipath, name);
    return query(anchor, name, cmd);
}

EcItem *queryMorvelInfo(mon::s_morvel *anchor, int *daemonRan, const KnownWwid &known) {
    char cmd[common::kCmdBufSize];
    std::snprintf(cmd, sizeof cmd, "%s -ll", common::CMD_multipath);
    const int runs = daemonRuns() ? 1 : 0;
    if (!runs && (daemonRan == nullptr || *daemonRan != 0))
        MLOG(common::LOG_INFO, kSrc, "multipathd is not running, reading the topology with [%s].\n", cmd);
    if (daemonRan != nullptr) *daemonRan = runs;
    if (runs && fromDaemon(anchor, nullptr, cmd, known)) return withNative(anchor, &common::EC_info_ok);
    char buf[kMonitorStartBuf] = {0};
    // The monitor's runner counts a non-zero exit status as a failure: the records of the
    // previous cycle then stay as they are.
    common::RunnerOutput h(buf);
    int rc = common::exe_cmd_monitor(cmd, buf, sizeof buf, &h.out);
    if (rc < 0) {
        MLOG(common::LOG_ERROR, kSrc, "Execute command [%s] failed", cmd);
        return &common::EC_exe_cmd_failed;
    }
    char *text = h.out;
    initMorvel(anchor);
    common::inDebug("== before parseQueryCmdResult");
    EcItem *result = parseQueryCmdResult(text, anchor, known);
    common::inDebug("== after parseQueryCmdResult");
    return withNative(anchor, result);
}

}  // namespace morvel::structs

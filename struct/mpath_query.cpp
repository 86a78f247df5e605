// Runs `multipath -ll` and hands the captured text to the parser.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "cli/cli_tags.h"
#include "common/log.h"
#include "common/runner.h"
#include "common/script_cmds.h"
#include "struct/mpath_parser.h"

namespace morvel::structs {

using cli::EcItem;

namespace {
constexpr const char kSrc[] = "cli/cli_exe";
constexpr int kMonitorStartBuf = 2048;

// A map name or WWID as the parameter checks let it through; anything else never reaches a
// command line.
bool isPlainDeviceName(const char *name) { return name != nullptr && cli::checkDeviceName(name) == &cli::EC_ok; }

// Runs cmd into a 2 MiB buffer and parses its output into the list. With singleName set,
// an output that names no device of the array is "no such device" and the list is kept.
EcItem *runAndParse(const char *cmd, s_morvel *anchor, const char *singleName) {
    std::unique_ptr<char[]> buf(new (std::nothrow) char[common::kOutBufSize]());
    if (!buf) return &cli::EC_molloc_failed;
    // A non-zero exit status of multipath is no failure: its text is parsed like any other.
    common::RunnerOutput h(buf.get());
    int rc = common::exe_cmd(cmd, buf.get(), common::kOutBufSize, &h.out, nullptr);
    char *out = h.out;
    if (rc < 0 || !out) {
        MLOG(common::LOG_ERROR, kSrc, "Execute command [%s] failed", cmd);
        return &cli::EC_exe_cmd_failed;
    }
    if (singleName && (!*out || !std::strstr(out, "KELDOR"))) {
        cli::initEcItems1(&cli::EC_no_this_device, singleName);
        return &cli::EC_no_this_device;
    }
    initMorvel(anchor);
    common::inDebug("== before parseQueryCmdResult");
    EcItem *result = parseQueryCmdResultList(out, anchor);
    common::inDebug("== after parseQueryCmdResult");
    return result;
}
}  // namespace

EcItem *queryMorvelInfo(s_morvel *anchor) {
    char cmd[common::kCmdBufSize];
    std::snprintf(cmd, sizeof cmd, "%s -ll", common::CMD_multipath);
    return runAndParse(cmd, anchor, nullptr);
}

EcItem *querySingleMorvelInfo(s_morvel *anchor, const char *name) {
    if (!isPlainDeviceName(name)) {
        cli::initEcItems1(&cli::EC_no_this_device, name ? name : "");
        return &cli::EC_no_this_device;
    }
    char cmd[common::kCmdBufSize];
    std::snprintf(cmd, sizeof cmd, "%s -ll %s", common::CMD_multipath, name);
    return runAndParse(cmd, anchor, name);
}

EcItem *queryMorvelInfo(mon::s_morvel *anchor) {
    char cmd[common::kCmdBufSize];
    std::snprintf(cmd, sizeof cmd, "%s -ll", common::CMD_multipath);
    char buf[kMonitorStartBuf] = {0};
    // The monitor's runner counts a non-zero exit status as a failure: the records of the
    // previous cycle then stay as they are.
    common::RunnerOutput h(buf);
    int rc = common::exe_cmd_monitor(cmd, buf, sizeof buf, &h.out);
    if (rc < 0) {
        MLOG(common::LOG_ERROR, kSrc, "Execute command [%s] failed", cmd);
        return &cli::EC_exe_cmd_failed;
    }
    char *text = h.out;
    initMorvel(anchor);
    common::inDebug("== before parseQueryCmdResult");
    EcItem *result = parseQueryCmdResult(text, anchor);
    common::inDebug("== after parseQueryCmdResult");
    return result;
}

}  // namespace morvel::structs

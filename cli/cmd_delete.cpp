// The "delete" command: removes the SCSI devices of a LUN's paths from the kernel and
// flushes its device-mapper map; plus the single-path removal and single-map flush that
// "refresh" uses.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cli/cli_exe.h"
#include "cli/cmd_mgmt.h"
#include "common/log.h"
#include "common/script_cmds.h"
#include "struct/mpath_parser.h"
#include "struct/s_morvel.h"
#include "struct/target_port.h"

namespace morvel::cli {

namespace {

using common::LOG_ERROR;

constexpr int kFlushAttempts = 3;

bool exists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0;
}

// Deletes the SCSI device behind /sys/block/<name>; a missing entry is not an error. func:
// the caller, which the log names.
EcItem *deleteBlockDevice(const char *name, const char *func) {
    // The parser lets only plain device names through; nothing else is written to.
    if (!structs::isSafeDevName(name)) {
        MLOG_AS(LOG_ERROR, kMgmtLogSrc, func, "Invalid device name [%s]\n", name);
        return &EC_exe_cmd_failed;
    }
    char sysPath[common::kCmdBufSize];
    snprintf(sysPath, sizeof sysPath, "/sys/block/%s", name);
    if (!exists(sysPath)) return &EC_ok;
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s 1 > /sys/block/%s/device/delete", common::CMD_echo, name);
    EcItem *item = exeLiunxTaskCmdStrict(cmd);
    if (item->code != 0) MLOG_AS(LOG_ERROR, kMgmtLogSrc, func, "Execute command [%s] failed\n", cmd);
    return item;
}

// The N of /dev/dm-N goes into a command line that is run uncleaned: digits only.
bool isDmNumber(const char *n) {
    return n != nullptr && *n != '\0' && strspn(n, "0123456789") == strlen(n);
}

// Flushes /dev/dm-<N>, retrying while the map is busy (1 second apart) or the flush
// fails; a map whose node has gone counts as flushed.
EcItem *flushMap(const char *deviceNumber) {
    if (!isDmNumber(deviceNumber)) return &EC_exe_cmd_failed;
    char node[common::kCmdBufSize];
    char cmd[common::kCmdBufSize];
    snprintf(node, sizeof node, "/dev/dm-%s", deviceNumber);
    snprintf(cmd, sizeof cmd, "%s -f /dev/dm-%s", common::CMD_multipath, deviceNumber);
    OutBuf out;
    EcItem *result = &EC_ok;
    for (int attempt = 1; attempt <= kFlushAttempts; ++attempt) {
        out.get()[0] = '\0';
        EcItem *item = exeLiunxInfoCmd_nonblocking(cmd, out.get(), out.size());
        if (item->code == 0) return item;
        if (strstr(out.get(), ": map in use") != nullptr) {
            MLOG(LOG_ERROR, kMgmtLogSrc, "Map [%s] is in use, attempt %d\n", node, attempt);
            result = &EC_del_failed_for_using;
            if (attempt < kFlushAttempts) sleep(1);
            continue;
        }
        if (strstr(out.get(), "is not a valid argument") != nullptr && !exists(node)) {
            MLOG(common::LOG_INFO, kMgmtLogSrc, "Map [%s] is already gone\n", node);
            return &EC_ok;
        }
        result = item;
    }
    return result;
}

}  // namespace

EcItem *deleteDrive(structs::s_path_dev *pathList) {
    structs::s_path_dev *first = structs::firstValid(pathList);
    // Only SCSI disk paths are removed one by one; NVMe namespaces go with the flush.
    if (first == nullptr || strstr(first->dev_name, "sd") == nullptr) return &EC_ok;
    for (structs::s_path_dev *p = first; p != nullptr; p = structs::nextValid(p)) {
        EcItem *item = deleteBlockDevice(p->dev_name, __func__);
        if (item->code != 0) return item;
    }
    return &EC_ok;
}

EcItem *delOneDrive(const char *deviceName) {
    if (deviceName == nullptr || deviceName[0] == '\0') return &EC_ok;
    return deleteBlockDevice(deviceName, __func__);
}

EcItem *delPathInfo(const char *deviceNumber) {
    if (deviceNumber == nullptr || deviceNumber[0] == '\0') return &EC_ok;
    if (!isDmNumber(deviceNumber)) return &EC_exe_cmd_failed;
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s -f /dev/dm-%s", common::CMD_multipath, deviceNumber);
    OutBuf out;
    EcItem *item = exeLiunxInfoCmd(cmd, out.get(), out.size());
    if (item->code == 0) return &EC_info_ok;
    if (strstr(out.get(), ": map in use") != nullptr) return &EC_del_failed_for_using;
    return item;
}

EcItem *delete_(const char *name) {
    structs::MorvelList<> list;
    if (!list) return &EC_molloc_failed;
    EcItem *item = structs::querySingleMorvelInfo(list.anchor(), name);
    if (item->code != 0) {
        MLOG_AS(LOG_ERROR, kMgmtLogSrc, "delete", "Query morvel information failed\n");
        return item;
    }
    const structs::s_morvel *first = structs::firstValid(list.anchor());
    if (first != nullptr && first->native_nvme) return refuseNative(name, "no map to flush");
    structs::s_morvel *dev = structs::findMorvelByPathAlias_noMemoryLeak(list.anchor(), name);
    if (dev == nullptr) return withParams(&EC_no_path_alias, name);
    item = deleteDrive(dev->pdev);
    if (item->code != 0) return item;
    item = flushMap(dev->device_number);
    return item->code == 0 ? &EC_ok : item;
}

}  // namespace morvel::cli

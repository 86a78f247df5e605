// The "setstate" command: takes a path of a multipath device offline or brings it back.
// SCSI paths are switched through their sysfs state attribute, NVMe paths inside
// multipathd; every change is reported to the offline-path record script.
#include <cstdio>
#include <cstring>

#include "cli/cli_exe.h"
#include "cli/cli_tags.h"
#include "cli/cmd_mgmt.h"
#include "common/comm_util.h"
#include "common/log.h"
#include "common/script_cmds.h"
#include "struct/mpath_parser.h"
#include "struct/s_morvel.h"

namespace morvel::cli {

namespace {

using common::LOG_ERROR;

constexpr int kDevNameLen = 31;  // width of s_path_dev::dev_name

// The kernel's native NVMe multipathing keeps no path state of its own to switch.
constexpr const char kNoPathState[] = "no per-path offline state";

bool isNvmePath(const char *dev) { return strstr(dev, "nvme") != nullptr; }

// Checks the device/path pair against the live topology; on success the path's device
// name as the topology spells it is copied into pathName (used in the command lines).
EcItem *lookUpPath(const char *pathAlias, const char *deviceName, char (&pathName)[kDevNameLen]) {
    structs::MorvelList<> list;
    if (!list) return &EC_molloc_failed;
    EcItem *item = structs::queryMorvelInfo(list.anchor());
    if (item->code != 0) {
        MLOG(LOG_ERROR, kMgmtLogSrc, "Query morvel information failed\n");
        return &EC_exe_cmd_failed;
    }
    const structs::s_morvel *dev = structs::findMorvelByPathAlias(list.anchor(), pathAlias);
    if (dev == nullptr) return withParams(&EC_no_path_alias, pathAlias);
    if (dev->native_nvme) return refuseNative(pathAlias, kNoPathState);
    const structs::s_path_dev *path = structs::findMorvelByDeviceName(list.anchor(), pathAlias, deviceName);
    if (path == nullptr) return withParams(&EC_no_device_name, pathAlias, deviceName);
    common::copyField(pathName, path->dev_name);
    return &EC_ok;
}

// Reads /sys/block/<dev>/device/state and sets *flag when it contains `word`.
EcItem *checkScsiState(const char *deviceName, const char *word, int *flag) {
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s /sys/block/%s/device/state", common::CMD_cat, deviceName);
    OutBuf out;
    EcItem *item = exeLiunxInfoCmd(cmd, out.get(), out.size());
    if (item->code == 0 && strstr(out.get(), word) != nullptr && flag != nullptr) *flag = 1;
    return item;
}

// The offline record drives the offlining at boot: a record that could not be written is a
// failure.
EcItem *recordPathState(const char *verb, const char *dev) {
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s %s %s", common::CMD_sh, common::SH_path_state_record, verb, dev);
    return exeLiunxTaskCmdStrict(cmd);
}

// Writes a SCSI path's state attribute; a write that fails is a failure.
EcItem *writeScsiState(const char *state, const char *dev) {
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s > /sys/block/%s/device/state", common::CMD_echo, state, dev);
    EcItem *item = exeLiunxTaskCmdStrict(cmd);
    if (item->code != 0) MLOG(LOG_ERROR, kMgmtLogSrc, "Execute command [%s] failed\n", cmd);
    return item;
}

// Fails or reinstates an NVMe path in multipathd; `verb` is "fail" or "reinstate".
EcItem *switchNvmePath(const char *verb, const char *dev, EcItem *refused) {
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s path %s", common::CMD_multipathd, verb, dev);
    OutBuf out;
    EcItem *item = exeLiunxInfoCmd(cmd, out.get(), out.size());
    if (item->code != 0) {
        MLOG(LOG_ERROR, kMgmtLogSrc, "Execute command [%s] failed\n", cmd);
        return &EC_exe_cmd_failed;
    }
    if (strstr(out.get(), "fail") != nullptr) {
        MLOG(LOG_ERROR, kMgmtLogSrc, "%s path [%s] failed\n", verb, dev);
        return withParams(refused, dev);
    }
    return &EC_ok;
}

// One direction of a path state change.
struct StateChange {
    const char *scsiState;  // written to and tested in the SCSI device's state file
    EcItem *already;        // the path is in that state already
    const char *nvmeAction; // multipathd's verb for an NVMe path
    EcItem *nvmeFailed;
    const char *recordVerb; // path_state_record.sh: add while offline, del when online again
};

constexpr StateChange kOffline{"offline", &EC_is_already_offline, "fail", &EC_offline_path_fail, "add"};
constexpr StateChange kOnline{"running", &EC_is_already_online, "reinstate", &EC_online_path_fail, "del"};

EcItem *applyState(const char *dev, const StateChange &c) {
    return isNvmePath(dev) ? switchNvmePath(c.nvmeAction, dev, c.nvmeFailed) : writeScsiState(c.scsiState, dev);
}

EcItem *changePathState(char *pathAlias, char *deviceName, const StateChange &c, const StateChange &undo) {
    char dev[kDevNameLen];
    EcItem *item = lookUpPath(pathAlias, deviceName, dev);
    if (item->code != 0) return item;

    if (!isNvmePath(dev)) {
        int inState = 0;
        (void)checkScsiState(dev, c.scsiState, &inState);
        if (inState == 1) return withParams(c.already, dev);
    }
    item = applyState(dev, c);
    if (item->code != 0) return item;
    item = recordPathState(c.recordVerb, dev);
    if (item->code != 0) {
        // The record and the path must agree: the path goes back to where it was.
        MLOG(LOG_ERROR, kMgmtLogSrc, "The offline record of path [%s] was not changed, the path is set back\n", dev);
        if (applyState(dev, undo)->code != 0) MLOG(LOG_ERROR, kMgmtLogSrc, "Set path [%s] back failed\n", dev);
        return item;
    }
    return &EC_ok;
}

}  // namespace

EcItem *checkPathstateAndParam(char *pathAlias, char *deviceName) {
    char name[kDevNameLen];
    return lookUpPath(pathAlias, deviceName, name);
}

EcItem *checkPathOnlineState(char *deviceName, int *isOnline) {
    return checkScsiState(deviceName, "running", isOnline);
}

EcItem *checkPathOfflineState(char *deviceName, int *isOffline) {
    return checkScsiState(deviceName, "offline", isOffline);
}

EcItem *setPathOffline(char *pathAlias, char *deviceName) {
    return changePathState(pathAlias, deviceName, kOffline, kOnline);
}

EcItem *setPathOnline(char *pathAlias, char *deviceName) {
    return changePathState(pathAlias, deviceName, kOnline, kOffline);
}

EcItem *setpathstate() {
    const char *state = gParamStateVal[0] != '\0' ? gParamStateVal : common::CONF_DEFAULT_STATE;
    if (strncmp(state, "online", 64) == 0) return setPathOnline(gParamMpathxVal, gParamPathVal);
    if (strncmp(state, "offline", 64) == 0) return setPathOffline(gParamMpathxVal, gParamPathVal);
    return withParams(&EC_invalid_param, gParamStateVal);
}

}  // namespace morvel::cli

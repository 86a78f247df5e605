// Path-group policy and path chooser of the device blocks: "setpathpolicy" and
// "lspathpolicy", and the rule telling which distributions support FC-NVMe.
#include <algorithm>
#include <cctype>
#include <compare>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "cli/cli_exe.h"
#include "cli/cli_tags.h"
#include "cli/cmd_mgmt.h"
#include "cli/conf_edit.h"
#include "common/log.h"
#include "common/os_name.h"
#include "common/script_cmds.h"

namespace morvel::cli {

namespace {

constexpr int kPolicyLen = 256;

struct Version {
    long major = -1;  // -1: no number found
    long minor = 0;
    auto operator<=>(const Version &) const = default;
};

// Reads a decimal number at p (saturating); returns -1 when p holds no digit.
long readNumber(const char *&p) {
    if (!isdigit(static_cast<unsigned char>(*p))) return -1;
    long v = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (v < 100000000) v = v * 10 + (*p - '0');
    }
    return v;
}

// "<major>.<minor>" at the first digit of s (minor 0 when absent).
Version dottedVersion(const char *s) {
    const char *p = s + strcspn(s, "0123456789");
    Version v{readNumber(p)};
    if (v.major >= 0 && *p == '.') v.minor = std::max(readNumber(++p), 0L);
    return v;
}

// Number after a marker word such as "PATCHLEVEL" or "SP", skipping blanks and '='.
long numberAfter(const char *s, const char *marker) {
    const char *p = strstr(s, marker);
    if (p == nullptr) return -1;
    p += strlen(marker);
    while (*p == ' ' || *p == '=') ++p;
    return readNumber(p);
}

// SUSE names: the major release is the first number; the service pack is given as
// "PATCHLEVEL = n" (SuSE-release) or "-SPn" / " SPn" (os-release, lsb_release).
Version suseVersion(const char *s) {
    long minor = numberAfter(s, "PATCHLEVEL");
    if (minor < 0) minor = numberAfter(s, "SP");
    return {dottedVersion(s).major, minor < 0 ? 0 : minor};
}

const char *orDefault(const char *param, const char *old, const char *def) {
    if (param[0] != '\0') return param;
    if (isPlainPolicyWord(old)) return old;
    if (old[0] != '\0') {
        MLOG(common::LOG_INFO, kMgmtLogSrc, "Current value [%s] is not a policy name, [%s] is used\n",
             old, def);
    }
    return def;
}

}  // namespace

bool isPlainPolicyWord(const char *s) {
    if (s == nullptr || s[0] == '\0') return false;
    const std::string_view word(s);
    return std::all_of(word.begin(), word.end(), [](unsigned char c) { return isalnum(c) || c == '_' || c == '-'; });
}

bool isFcNvmeCapable(const char *osName) {
    if (osName == nullptr) return false;
    if (strstr(osName, "Red") != nullptr || strstr(osName, "CentOS Linux") != nullptr)
        return dottedVersion(osName) >= Version{8, 0};
    if (strstr(osName, "VERSION=") != nullptr && strstr(osName, "SP") != nullptr)
        return suseVersion(strstr(osName, "VERSION=")) >= Version{12, 5};
    if (strstr(osName, "SUSE") != nullptr) return suseVersion(osName) > Version{12, 4};
    return false;
}

EcItem *setpathpolicy() {
    const bool nvme = gParamHostInterfaceType == 1;
    const char *osName = common::get_os_name();
    if (nvme && !isFcNvmeCapable(osName)) {
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "This OS %s is not support FC-NVMe.\n", osName);
        return &EC_os_not_support_fcnvme;
    }
    const char *typeName = nvme ? "nvme" : "scsi";
    const char *script = nvme ? common::CMD_NVME_POLICY_FILE : common::CMD_POLICY_FILE;

    // One lock from the backup through the edit, the reload and the restore. Without a
    // configuration file the backup fails: its item is the result.
    ConfTransaction txn;
    EcItem *item = txn.begin();
    if (item->code != 0) return item;
    item = backupConfFile();
    if (item->code != 0) return item;
    auto undo = [&txn](EcItem *failed) {
        txn.rollBack();
        return failed;
    };

    // The current values of the block being changed give the defaults of a missing
    // parameter and the "from" side of the change records.
    char oldGroup[kPolicyLen] = {};
    char oldChooser[kPolicyLen] = {};
    item = queryPolicy(script, oldGroup, sizeof oldGroup, oldChooser, sizeof oldChooser, nullptr);
    if (item->code != 0) return undo(item);

    const char *group = orDefault(gParamGroupVal, oldGroup, common::CONF_DEFAULT_GROUP);
    const char *chooser = orDefault(gParamChooserVal, oldChooser, common::CONF_DEFAULT_CHOOSER);
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s set %s \"%s\"", common::CMD_sh, script, group, chooser);
    {
        OutBuf out;
        item = exeLiunxInfoCmd(cmd, out.get(), out.size());
        if (item->code != 0 && strstr(out.get(), "No configuration") != nullptr)
            return undo(withParams(&EC_no_config_info, typeName));
        if (item->code != 0) return undo(item);
    }

    char running = 0;
    item = getStatus(&running);
    if (item->code != 0) return undo(item);
    if (running) {
        item = chMultipathdService("reload");
        if (item->code != 0) return undo(item);
    }

    // Only changes that stay in the file are recorded.
    txn.commit();
    if (gParamGroupVal[0] != '\0' && strncmp(gParamGroupVal, oldGroup, kPolicyLen) != 0) {
        MLOG(common::LOG_MONITOR, kMgmtLogSrc, "The path group policy is changed from [ %s ] to [ %s ]",
             oldGroup, gParamGroupVal);
    }
    if (gParamChooserVal[0] != '\0' && strncmp(gParamChooserVal, oldChooser, kPolicyLen) != 0) {
        MLOG(common::LOG_MONITOR, kMgmtLogSrc, "The path chooser type is changed from [ %s ] to [ %s ]",
             oldChooser, gParamChooserVal);
    }
    return item;
}

EcItem *lspathpolicy() {
    char group[kPolicyLen] = {};
    char chooser[kPolicyLen] = {};
    EcItem *item = getConf(group, sizeof group, chooser, sizeof chooser);
    if (item->code != 0) return item;
    print__();
    printf("SCSI DISK: \n");
    printf("group_policy: %s\n", group);
    printf("chooser_type: %s\n", chooser);

    if (isFcNvmeCapable(common::get_os_name())) {
        char nvmeGroup[kPolicyLen] = {};
        char nvmeChooser[kPolicyLen] = {};
        item = getNVMeConf(nvmeGroup, sizeof nvmeGroup, nvmeChooser, sizeof nvmeChooser);
        if (item->code != 0) {
            fflush(stdout);
            return item;
        }
        printf("\nNVMe DISK: \n");
        printf("group_policy: %s\n", nvmeGroup);
        printf("chooser_type: %s\n", nvmeChooser);
    }
    print__();
    return &EC_info_ok;
}

}  // namespace morvel::cli

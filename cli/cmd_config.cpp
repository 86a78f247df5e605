// The multipath configuration file: reading the policy of a device block back through the
// policy scripts, and the "config" command.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli_exe.h"
#include "cli/cmd_mgmt.h"
#include "cli/conf_edit.h"
#include "common/log.h"
#include "common/os_name.h"
#include "common/script_cmds.h"

namespace morvel::cli {

using common::CMD_sh;

void parsePolicyOutput(const char *out, char *group, int groupLen, char *chooser, int chooserLen) {
    if (out == nullptr) return;
    const char *lf = strchr(out, '\n');
    if (lf == nullptr || lf[1] == '\0') return;
    const char *line2 = lf + 1;
    const char *lf2 = strchr(line2, '\n');
    const size_t len1 = static_cast<size_t>(lf - out);
    const size_t len2 = lf2 != nullptr ? static_cast<size_t>(lf2 - line2) : strlen(line2);
    auto put = [](char *dst, int dstLen, const char *src, size_t n) {
        if (dst == nullptr || dstLen <= 0) return;
        if (n > static_cast<size_t>(dstLen - 1)) n = static_cast<size_t>(dstLen - 1);
        memcpy(dst, src, n);
        dst[n] = '\0';
    };
    put(group, groupLen, out, len1);
    put(chooser, chooserLen, line2, len2);
}

EcItem *queryPolicy(const char *script, char *group, int groupLen, char *chooser, int chooserLen,
                    bool *noConfig) {
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s query", CMD_sh, script);
    OutBuf out;
    EcItem *item = exeLiunxInfoCmd(cmd, out.get(), out.size());
    if (noConfig != nullptr) *noConfig = false;
    if (item->code != 0) {
        if (noConfig != nullptr) *noConfig = strstr(out.get(), "No configuration") != nullptr;
        return item;
    }
    parsePolicyOutput(out.get(), group, groupLen, chooser, chooserLen);
    return item;
}

EcItem *getConf(char *group, int groupLen, char *chooser, int chooserLen) {
    return queryPolicy(common::CMD_POLICY_FILE, group, groupLen, chooser, chooserLen, nullptr);
}

EcItem *getNVMeConf(char *group, int groupLen, char *chooser, int chooserLen) {
    return queryPolicy(common::CMD_NVME_POLICY_FILE, group, groupLen, chooser, chooserLen, nullptr);
}

namespace {
// The script's "note: " lines (native NVMe multipathing is on, and what that means for
// morvel) are for the administrator: printed above the result, and logged.
void showNotes(const char *out) {
    for (const char *line = out; line != nullptr && *line != '\0';) {
        const char *lf = strchr(line, '\n');
        const int len = lf != nullptr ? static_cast<int>(lf - line) : static_cast<int>(strlen(line));
        if (strncmp(line, "note: ", 6) == 0) {
            printf("%.*s\n", len, line);
            MLOG(common::LOG_INFO, kMgmtLogSrc, "%.*s\n", len, line);
        }
        line = lf != nullptr ? lf + 1 : nullptr;
    }
}
}  // namespace

EcItem *config() {
    // The script writes the NVMe device block where setpathpolicy -nvme and lspathpolicy
    // manage it, and drives the service as start and stop do.
    setenv(kFcNvmeEnv, isFcNvmeCapable(common::get_os_name()) ? "yes" : "no", 1);
    handInitSystemToScripts();
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s", CMD_sh, common::CMD_G2CONFIG_FILE);
    OutBuf out;
    // A file written before the service failed stays, and "restart" can put its backup back.
    EcItem *item = runConfEdit(cmd, out.get(), out.size());
    showNotes(out.get());
    if (item->code == 0) return &EC_ok;
    if (strstr(out.get(), "distribute type is not supported") != nullptr) {
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "The distribution is not supported by [%s]\n", cmd);
        return &EC_os_not_support;
    }
    return item;
}

}  // namespace morvel::cli

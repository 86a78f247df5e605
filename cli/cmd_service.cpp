// The multipathd service and the maintenance commands: "status", "start", "stop",
// "restart", "scan", "aggregation", "refresh" and "version".
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli_exe.h"
#include "cli/cmd_mgmt.h"
#include "cli/conf_edit.h"
#include "common/comm_util.h"
#include "common/log.h"
#include "common/runner.h"
#include "common/script_cmds.h"
#include "struct/mpath_parser.h"
#include "struct/s_morvel.h"

namespace morvel::cli {

using common::CMD_sh;

bool usesSysV(const char *release, bool hasSystemctl) {
    return !hasSystemctl || (release != nullptr && strstr(release, ".el6.") != nullptr);
}

namespace {
// Whether the shell that runs our command lines finds systemctl, as "command -v" would.
bool systemctlOnPath() {
    const std::string dirs = common::kChildPath;
    for (size_t start = 0, end; start <= dirs.size(); start = end + 1) {
        end = std::min(dirs.find(':', start), dirs.size());
        const std::string file = (end > start ? dirs.substr(start, end - start) : ".") + "/" + common::CMD_systemctl;
        struct stat st;
        if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0) return true;
    }
    return false;
}
}  // namespace

std::string kernelRelease() {
    struct utsname u;
    if (uname(&u) != 0) {
        printf("get os version error\n");
        return {};
    }
    return u.release;
}

bool sysvHost() {
    const std::string release = kernelRelease();
    return usesSysV(release.c_str(), systemctlOnPath());
}

void handInitSystemToScripts() { setenv(kInitEnv, sysvHost() ? "sysv" : "systemd", 1); }

std::string serviceCommand(const char *action, bool sysv) {
    char cmd[common::kCmdBufSize];
    if (sysv) {
        snprintf(cmd, sizeof cmd, "%s multipathd %s", common::CMD_service, action);
    } else {
        snprintf(cmd, sizeof cmd, "%s %s multipathd.service", common::CMD_systemctl, action);
    }
    return cmd;
}

bool statusSaysRunning(const char *out, bool sysv) {
    if (out == nullptr) return false;
    std::string text(out);
    // Lines are counted as the tokens between line feeds, so empty lines do not count.
    const int wanted = sysv ? 1 : 3;
    char *line = common::vessar_strtok(text.data(), "\n");
    for (int n = 1; line != nullptr && n < wanted; ++n) line = common::vessar_strtok(nullptr, "\n");
    if (line == nullptr) return false;
    if (sysv) return strstr(line, "running") != nullptr || strstr(line, "正在运行") != nullptr;
    return strstr(line, " active (running) ") != nullptr;
}

EcItem *getStatus(char *running) {
    const bool sysv = sysvHost();
    const std::string cmdLine = serviceCommand("status", sysv);
    const char *cmd = cmdLine.c_str();
    OutBuf out;
    // The status tools exit non-zero for a stopped service: only the text counts, and a
    // tool that says nothing says "not running".
    (void)exeLiunxInfoCmd(cmd, out.get(), out.size());
    if (running != nullptr) *running = statusSaysRunning(out.get(), sysv) ? 1 : 0;
    return &EC_info_ok;
}

namespace {
// Where systemd keeps unit files, packaged and local.
constexpr const char *kSocketUnitFiles[] = {"/etc/systemd/system/multipathd.socket",
                                            "/usr/lib/systemd/system/multipathd.socket",
                                            "/lib/systemd/system/multipathd.socket"};

bool hasSocketUnit() {
    for (const char *f : kSocketUnitFiles)
        if (access(f, F_OK) == 0) return true;
    return false;
}
}  // namespace

// Where multipathd is socket-activated, the listening multipathd.socket starts the service
// again at the next multipath or multipathd call, so a plain stop would not last: the
// socket is stopped before the service, and started again before the service is started
// (systemd refuses to start the socket of a service that already runs).
EcItem *chMultipathdService(const char *action) {
    const bool sysv = sysvHost();
    const bool socket = !sysv && hasSocketUnit();
    if (socket && (strcmp(action, "stop") == 0 || strcmp(action, "start") == 0)) {
        char cmd[common::kCmdBufSize];
        snprintf(cmd, sizeof cmd, "%s %s multipathd.socket", common::CMD_systemctl, action);
        (void)exeLiunxTaskCmd(cmd);
    }
    // A service tool that refuses the action is a failure (callers roll back on it).
    return exeLiunxTaskCmdStrict(serviceCommand(action, sysv).c_str());
}

EcItem *status() {
    char running = 0;
    (void)getStatus(&running);
    print__();
    printf("Service status: %s\n", running ? "active" : "inactive");
    print__();
    return &EC_info_ok;
}

EcItem *restart() {
    // No command edits the file between the reload and the restore.
    ConfTransaction txn;
    EcItem *item = txn.begin();
    if (item->code != 0) return item;
    char running = 0;
    (void)getStatus(&running);
    item = chMultipathdService(running ? "reload" : "start");
    if (item->code != 0) rollBackConfFile();
    return item;
}

EcItem *scan() {
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s", CMD_sh, common::CMD_G2SCAN_FILE);
    (void)exeLiunxTaskCmd(cmd);
    snprintf(cmd, sizeof cmd, "%s %s", CMD_sh, common::CMD_CONNECT_NVME_FILE);
    return exeLiunxTaskCmd(cmd);
}

EcItem *aggregation() {
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s", CMD_sh, common::SH_run_all_offline_path);
    (void)exeLiunxTaskCmd(cmd);
    snprintf(cmd, sizeof cmd, "%s -r", common::CMD_multipath);
    return exeLiunxTaskCmd(cmd);
}

EcItem *refresh() {
    structs::MorvelList<> list;
    if (!list) return &EC_molloc_failed;
    EcItem *item = structs::queryMorvelInfo(list.anchor());
    if (item->code != 0) return item;

    // Paths that are faulty in a priority-0 group are removed; a map left without a live
    // path is flushed.
    const structs::s_morvel *anchor = list.anchor();
    for (const structs::s_morvel *dev = structs::firstValid(anchor); dev != nullptr; dev = structs::nextValid(dev)) {
        if (dev->native_nvme) continue;  // no map, and paths that are not SCSI disks
        int live = 0;
        for (const structs::s_path_dev *p = structs::firstValid(dev->pdev); p != nullptr; p = structs::nextValid(p)) {
            if (p->path_group_priority[0] == '0' && strncmp(p->checker_status, "faulty", 6) == 0) {
                item = delOneDrive(p->dev_name);
                if (item->code != 0) return item;
            } else {
                ++live;
            }
        }
        if (live == 0) {
            item = delPathInfo(dev->device_number);
            if (item->code != 0) return item;
        }
    }

    item = scan();
    if (item->code != 0) return item;
    sleep(1);
    return aggregation();
}

EcItem *version() {
    print__();
    printf("Software name: Morvel\n");
    printf("Vendor: Keldor\n");
    printf("Version: 3.3.2\n");
    printf("Copyright (c) Keldor Technologies. All rights reserved.\n");
    print__();
    return &EC_info_ok;
}

}  // namespace morvel::cli

// The multipath configuration file: backup and restore, reading the policy of a device
// block back through the policy scripts, and the "config" command.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli_exe.h"
#include "cli/cmd_mgmt.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/os_name.h"
#include "common/script_cmds.h"

namespace morvel::cli {

using common::CMD_cp;
using common::CMD_sh;
using common::CONF_FILE;

namespace {

// Holds the lock that the helper scripts take around their edits of multipath.conf
// (morvel-lib.sh, mv_lock_conf): the same file, the same 30-second wait, the same refusal.
// As there, a lock file that cannot be opened does not stop the edit.
struct ConfLock {
    int fd = -1;
    bool refused = false;
    ConfLock() {
        const char *dir = "/tmp";
        for (const char *d : {"/run", "/var/run"}) {
            struct stat st;
            if (stat(d, &st) == 0 && S_ISDIR(st.st_mode)) {
                dir = d;
                break;
            }
        }
        const std::string path = std::string(dir) + "/morvel-multipath-conf.lock";
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        for (int waitedMs = 0; fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0; waitedMs += 50) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || waitedMs >= 30 * 1000) {
                MLOG(common::LOG_ERROR, kMgmtLogSrc, "another morvel command is editing %s\n", CONF_FILE);
                refused = true;
                break;
            }
            usleep(50 * 1000);
        }
    }
    ~ConfLock() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

EcItem *backupConfFile() {
    ConfLock lock;
    if (lock.refused) return &EC_exe_cmd_failed;
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s %s.bk", CMD_cp, CONF_FILE, CONF_FILE);
    // cp would copy into a directory of that name and report success, leaving nothing
    // to restore from.
    char backup[common::kCmdBufSize];
    snprintf(backup, sizeof backup, "%s.bk", CONF_FILE);
    struct stat st;
    if (stat(backup, &st) == 0 && S_ISDIR(st.st_mode)) {
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Backup file [%s] is a directory\n", backup);
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Execute command [%s] failed\n", cmd);
        return &EC_exe_cmd_failed;
    }
    // A copy that ran but failed leaves no usable backup: the editing command must stop.
    return exeLiunxTaskCmdStrict(cmd);
}

namespace {

// The backup is copied beside the live file, flushed to disk and renamed over it, so a
// crash in the middle of the restore never leaves a half-written multipath.conf. As in the
// scripts, a link under the name is followed (its target is replaced) and the file keeps
// its mode and owner (0644 when there was none). 0, or the errno of the failed step.
int restoreFromBackup(const char *backup, const char *target) {
    std::string text;
    int in = ::open(backup, O_RDONLY | O_CLOEXEC);
    bool readOk = in >= 0 && common::readAll(in, text);
    const int readErr = errno;
    if (in >= 0) ::close(in);
    if (!readOk) return readErr;
    char real[PATH_MAX];
    const char *dest = ::realpath(target, real) != nullptr ? real : target;
    struct stat st{};
    const bool existed = ::stat(dest, &st) == 0;
    common::AtomicFile file(dest, existed ? (st.st_mode & 07777) : 0644, ".morvel-restore");
    // the owner is kept where it can be; a file left root's is still root's to manage
    const bool ownerKept = !existed || !file.created() || ::fchown(file.fd(), st.st_uid, st.st_gid) == 0;
    (void)ownerKept;
    if (file.write(text.data(), text.size()) && file.commit()) return 0;
    return file.error() != 0 ? file.error() : EIO;
}

}  // namespace

void rollBackConfFile() {
    ConfLock lock;
    if (lock.refused) return;
    char backup[common::kCmdBufSize];
    snprintf(backup, sizeof backup, "%s.bk", CONF_FILE);
    if (int err = restoreFromBackup(backup, CONF_FILE))
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Restore file [%s] from [%s] failed, errno %d\n", CONF_FILE, backup, err);
}

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

EcItem *config() {
    // The script writes the NVMe device block where setpathpolicy -nvme and lspathpolicy
    // manage it, and drives the service as start and stop do.
    setenv(kFcNvmeEnv, isFcNvmeCapable(common::get_os_name()) ? "yes" : "no", 1);
    handInitSystemToScripts();
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s", CMD_sh, common::CMD_G2CONFIG_FILE);
    OutBuf out;
    EcItem *item = exeLiunxInfoCmd(cmd, out.get(), out.size());
    if (item->code == 0) return &EC_ok;
    if (strstr(out.get(), "distribute type is not supported") != nullptr) {
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "The distribution is not supported by [%s]\n", cmd);
        return &EC_os_not_support;
    }
    return item;
}

}  // namespace morvel::cli

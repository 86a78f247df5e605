// Edits of /etc/multipath.conf as transactions: the lock shared with the helper scripts,
// the transaction's own copy of the file and its restore, the backup file and its record,
// and the restore of that backup by "restart".
#include "cli/conf_edit.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/cli_exe.h"
#include "cli/cmd_mgmt.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/script_cmds.h"

namespace morvel::cli {

using common::CMD_cp;
using common::CONF_FILE;

ConfIdentity identityOf(std::string_view text) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return {text.size(), hash};
}

std::string formatBackupRecord(const BackupRecord &record) {
    char text[160];
    snprintf(text, sizeof text, "backup %" PRIu64 " %016" PRIx64 "\nreplaced-by %" PRIu64 " %016" PRIx64 "\n",
             record.backup.size, record.backup.hash, record.replacedBy.size, record.replacedBy.hash);
    return text;
}

namespace {

// One line "<key> <size in decimal> <hash in 16 hex digits>" taken from the front of text.
bool takeIdentityLine(std::string_view &text, std::string_view key, ConfIdentity &id) {
    const size_t lf = text.find('\n');
    if (lf == std::string_view::npos) return false;
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf + 1);
    if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != ' ') return false;
    line.remove_prefix(key.size() + 1);
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos || line.size() - blank - 1 != 16) return false;
    auto number = [](std::string_view digits, int base, uint64_t &value) {
        const char *end = digits.data() + digits.size();
        const auto result = std::from_chars(digits.data(), end, value, base);
        return !digits.empty() && result.ec == std::errc() && result.ptr == end;
    };
    return number(line.substr(0, blank), 10, id.size) && number(line.substr(blank + 1), 16, id.hash);
}

}  // namespace

std::optional<BackupRecord> parseBackupRecord(std::string_view text) {
    BackupRecord record;
    if (!takeIdentityLine(text, "backup", record.backup) || !takeIdentityLine(text, "replaced-by", record.replacedBy) ||
        !text.empty())
        return std::nullopt;
    return record;
}

namespace {

std::string backupPath() { return std::string(CONF_FILE) + ".bk"; }

// The whole text of a plain file (through a link). A missing file is read as empty with
// *exists false; false when it cannot be read or is no plain file (errno set).
bool readConf(const std::string &path, std::string &text, bool *exists) {
    text.clear();
    *exists = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT;
    struct stat st{};
    int err = 0;
    errno = 0;
    if (::fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = EINVAL;
    } else if (!common::readAll(fd, text)) {
        err = errno != 0 ? errno : EIO;
    }
    ::close(fd);
    errno = err;
    *exists = err == 0;
    return err == 0;
}

// Puts text in place of the file at path: written beside it, flushed to disk and renamed
// over it, so a crash never leaves a half-written file. As in the scripts, a link under the
// name is followed (its target is replaced) and the file keeps its mode and owner (0644 when
// there was none). 0, or the errno of the failed step.
int writeConf(const std::string &text, const std::string &path) {
    char real[PATH_MAX];
    const char *dest = ::realpath(path.c_str(), real) != nullptr ? real : path.c_str();
    struct stat st{};
    const bool existed = ::stat(dest, &st) == 0;
    common::AtomicFile file(dest, existed ? (st.st_mode & 07777) : 0644, ".morvel-restore");
    // the owner is kept where it can be; a file left root's is still root's to manage
    const bool ownerKept = !existed || !file.created() || ::fchown(file.fd(), st.st_uid, st.st_gid) == 0;
    (void)ownerKept;
    if (file.write(text.data(), text.size()) && file.commit()) return 0;
    return file.error() != 0 ? file.error() : EIO;
}

void writeBackupRecord(const BackupRecord &record) {
    const std::string path = kBackupRecordFile;
    const std::string dir = path.substr(0, path.rfind('/'));
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Create folder [%s] failed, errno %d\n", dir.c_str(), errno);
        return;
    }
    if (int err = writeConf(formatBackupRecord(record), path))
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Write file [%s] failed, errno %d\n", path.c_str(), err);
}

// Whether the backup file is the copy that morvel took before the change that made the
// file as it is now: only that one may be put back without losing a later edit.
bool backupBelongsToFile(const std::string &backup, const std::string &now) {
    std::string text;
    bool exists = false;
    if (!readConf(kBackupRecordFile, text, &exists) || !exists) return false;
    const std::optional<BackupRecord> record = parseBackupRecord(text);
    return record && *record == BackupRecord{identityOf(backup), identityOf(now)};
}

}  // namespace

ConfTransaction::ConfTransaction() {
    const char *dir = "/tmp";
    for (const char *d : {"/run", "/var/run"}) {
        struct stat st;
        if (stat(d, &st) == 0 && S_ISDIR(st.st_mode)) {
            dir = d;
            break;
        }
    }
    // The file, the wait and the refusal are those of the scripts' mv_lock_conf. As there, a
    // lock file that cannot be opened does not stop the edit.
    const std::string path = std::string(dir) + "/morvel-multipath-conf.lock";
    lockFd_ = common::openNoFollow(path.c_str(), O_WRONLY | O_CREAT, 0644);
    for (int waitedMs = 0; lockFd_ >= 0 && flock(lockFd_, LOCK_EX | LOCK_NB) != 0; waitedMs += 50) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || waitedMs >= 30 * 1000) {
            MLOG(common::LOG_ERROR, kMgmtLogSrc, "another morvel command is editing %s\n", CONF_FILE);
            refused_ = true;
            return;
        }
        usleep(50 * 1000);
    }
    setenv(kConfLockEnv, std::to_string(getpid()).c_str(), 1);
}

ConfTransaction::~ConfTransaction() {
    if (!refused_) unsetenv(kConfLockEnv);
    if (lockFd_ >= 0) ::close(lockFd_);
}

EcItem *ConfTransaction::begin() {
    if (refused_) return &EC_exe_cmd_failed;
    if (!readConf(CONF_FILE, copy_, &existed_)) {
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Read file [%s] failed, errno %d\n", CONF_FILE, errno);
        return &EC_exe_cmd_failed;
    }
    begun_ = true;
    return &EC_ok;
}

void ConfTransaction::rollBack() {
    if (!begun_ || !existed_) return;
    std::string now;
    bool exists = false;
    if (readConf(CONF_FILE, now, &exists) && exists && now == copy_) return;
    if (int err = writeConf(copy_, CONF_FILE)) {
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Restore file [%s] failed, errno %d\n", CONF_FILE, err);
        printf("%s could not be restored as it was before this command.\n", CONF_FILE);
        return;
    }
    MLOG(common::LOG_INFO, kMgmtLogSrc, "File [%s] is restored as it was before this command\n", CONF_FILE);
    printf("%s is restored as it was before this command.\n", CONF_FILE);
}

void ConfTransaction::commit() {
    std::string now;
    bool exists = false;
    if (!begun_ || !readConf(CONF_FILE, now, &exists) || (existed_ && exists && now == copy_)) return;
    if (!existed_ || !exists) {
        // There is no copy of a file that was not there: no earlier backup belongs to this one.
        (void)::unlink(kBackupRecordFile);
        return;
    }
    std::string backup;
    bool backupExists = false;
    if (!readConf(backupPath(), backup, &backupExists) || !backupExists || backup != copy_) {
        if (int err = writeConf(copy_, backupPath())) {
            MLOG(common::LOG_ERROR, kMgmtLogSrc, "Write file [%s] failed, errno %d\n", backupPath().c_str(), err);
            (void)::unlink(kBackupRecordFile);
            return;
        }
    }
    writeBackupRecord({identityOf(copy_), identityOf(now)});
}

EcItem *runConfEdit(const char *cmd, char *out, int outSize) {
    ConfTransaction txn;
    EcItem *item = txn.begin();
    if (item->code != 0) return item;
    item = exeLiunxInfoCmd(cmd, out, outSize);
    txn.commit();
    return item;
}

EcItem *backupConfFile() {
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s %s.bk", CMD_cp, CONF_FILE, CONF_FILE);
    // cp would copy into a directory of that name and report success, leaving nothing
    // to restore from.
    const std::string backup = backupPath();
    struct stat st;
    if (stat(backup.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Backup file [%s] is a directory\n", backup.c_str());
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Execute command [%s] failed\n", cmd);
        return &EC_exe_cmd_failed;
    }
    // A copy that ran but failed leaves no usable backup: the editing command must stop.
    return exeLiunxTaskCmdStrict(cmd);
}

void rollBackConfFile() {
    const std::string backup = backupPath();
    std::string text, now;
    bool exists = false, nowExists = false;
    if (!readConf(backup, text, &exists) || !exists || !readConf(CONF_FILE, now, &nowExists) || !nowExists ||
        text == now)
        return;
    if (!backupBelongsToFile(text, now)) {
        MLOG(common::LOG_INFO, kMgmtLogSrc,
             "Backup [%s] is not restored: it is not the copy taken before the last change of [%s] by morvel\n",
             backup.c_str(), CONF_FILE);
        return;
    }
    if (int err = writeConf(text, CONF_FILE)) {
        MLOG(common::LOG_ERROR, kMgmtLogSrc, "Restore file [%s] from [%s] failed, errno %d\n", CONF_FILE,
             backup.c_str(), err);
        printf("%s could not be restored from %s.\n", CONF_FILE, backup.c_str());
        return;
    }
    MLOG(common::LOG_INFO, kMgmtLogSrc, "File [%s] is restored from [%s]\n", CONF_FILE, backup.c_str());
    printf("%s is restored from %s, as it was before the last change by morvel.\n", CONF_FILE, backup.c_str());
}

}  // namespace morvel::cli

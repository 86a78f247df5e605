// Edits of /etc/multipath.conf as transactions: one lock from the backup through the edit,
// the reload and any restore, a copy of the file of the transaction's own, and the record
// that ties /etc/multipath.conf.bk to the file that replaced it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/cli_items.h"

namespace morvel::cli {

// What tells two versions of the file apart: the size and an FNV-1a hash of the bytes.
struct ConfIdentity {
    uint64_t size = 0;
    uint64_t hash = 0;
    bool operator==(const ConfIdentity &) const = default;
};
ConfIdentity identityOf(std::string_view text);

// Written when a morvel command has changed the file: the identity of the backup it left
// and of the file that replaced it. A restart restores the backup only while both still hold.
struct BackupRecord {
    ConfIdentity backup;
    ConfIdentity replacedBy;
    bool operator==(const BackupRecord &) const = default;
};
inline constexpr const char kBackupRecordFile[] = "/etc/morvel/multipath.conf.bk.id";
std::string formatBackupRecord(const BackupRecord &record);
std::optional<BackupRecord> parseBackupRecord(std::string_view text);

// The lock on multipath.conf that morvel and the helper scripts share (morvel-lib.sh,
// mv_lock_conf), and how a command hands it down to the scripts it runs: this variable holds
// the process id of the morvel command that holds the lock for them.
inline constexpr const char kConfLockEnv[] = "MORVEL_CONF_LOCK";

// One command's edit of multipath.conf. The lock is taken (waiting up to 30 seconds) when
// the object is made and handed down to the scripts until it goes.
class ConfTransaction {
public:
    ConfTransaction();
    ~ConfTransaction();
    ConfTransaction(const ConfTransaction &) = delete;
    ConfTransaction &operator=(const ConfTransaction &) = delete;

    // Holds the lock and has taken its copy of the file as it is now (a missing file is
    // remembered as missing): EC_ok, else EC_exe_cmd_failed (logged).
    EcItem *begin();
    // Puts the copy back when the file was changed since begin(), and says so.
    void rollBack();
    // The change stays: the backup file holds the copy, and the record names the file that
    // replaced it (a file that did not exist before leaves no record).
    void commit();

private:
    int lockFd_ = -1;
    bool refused_ = false;
    bool begun_ = false;
    bool existed_ = false;
    std::string copy_;
};

// Runs a helper script that edits the file (command line cmd, output into out) as one
// transaction; a change it made stays, whatever its exit status. The runner's item.
EcItem *runConfEdit(const char *cmd, char *out, int outSize);

}  // namespace morvel::cli

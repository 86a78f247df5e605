// Internal helpers of the management commands: the pure rules they decide by, and small
// pieces shared between the command files.
#pragma once
#include <memory>
#include <string>

#include "cli/cli_items.h"
#include "common/runner.h"

namespace morvel::cli {

inline constexpr const char kMgmtLogSrc[] = "cli/cli_exe";

// ---- multipath.conf policy ----
// Splits the policy script's query reply: line 1 the group, line 2 the chooser. Copies
// both (each cut to its length less one) only when both lines exist; otherwise leaves the
// buffers untouched.
void parsePolicyOutput(const char *out, char *group, int groupLen, char *chooser, int chooserLen);
// Runs "<script> query" and fills group and chooser. When the script fails, *noConfig
// (if given) tells whether it reported that the file holds no such device block.
EcItem *queryPolicy(const char *script, char *group, int groupLen, char *chooser, int chooserLen,
                    bool *noConfig);
// A policy name read back from the file is passed on to the policy script only when it
// is one plain word (letters, digits, '_' and '-').
bool isPlainPolicyWord(const char *s);

// ---- distribution ----
// Whether a distribution name (as get_os_name gives it) supports FC-NVMe. Release
// numbers are compared as numbers: Red Hat / CentOS Linux 8.0 and later, SUSE 12 SP5
// (or PATCHLEVEL 5) and later.
bool isFcNvmeCapable(const char *osName);
// The helper scripts apply this program's host rules, never rules of their own: the
// commands that run them hand the decisions down in the environment (morvel-lib.sh,
// mv_need_rules). "config" hands this one down as "yes" or "no".
inline constexpr const char kFcNvmeEnv[] = "MORVEL_FCNVME";

// ---- multipathd service ----
// The SysV "service" tool drives the service on kernel releases of the Red Hat 6 family
// and on hosts without systemctl (systemctl cannot work there); elsewhere systemctl does.
bool usesSysV(const char *release, bool hasSystemctl);
// This host: its kernel release, and whether systemctl is in PATH.
bool sysvHost();
// Hands this host's decision to the scripts run after it, as "sysv" or "systemd".
inline constexpr const char kInitEnv[] = "MORVEL_INIT";
void handInitSystemToScripts();
// Command line that applies an action ("status", "start", "stop", "reload") to multipathd.
std::string serviceCommand(const char *action, bool sysv);
// Kernel release of this host ("" when uname fails, after telling the user).
std::string kernelRelease();
// Whether a status reply says the service runs: the first line of a SysV reply, the
// third non-empty line of a systemd reply.
bool statusSaysRunning(const char *out, bool sysv);

// ---- path state ----
EcItem *setPathOffline(char *pathAlias, char *deviceName);
EcItem *setPathOnline(char *pathAlias, char *deviceName);
EcItem *checkPathstateAndParam(char *pathAlias, char *deviceName);
EcItem *checkPathOnlineState(char *deviceName, int *isOnline);
EcItem *checkPathOfflineState(char *deviceName, int *isOffline);

// ---- aliases ----
// The two-column table of an alias.sh listing ("<wwid> <alias>" per line): header and
// rows, without the frame lines.
std::string formatAliasTable(const char *listing);

// ---- native NVMe multipathing ----
// Whether name (head device nvmeXnY or WWID) is a namespace of the array that native NVMe
// multipathing serves on this host (read from sysfs).
bool isNativeNamespace(const char *name);
// The refusal of a command that needs what native multipathing does not have (what: "no map
// to flush", ...).
EcItem *refuseNative(const char *name, const char *what);

// ---- shared bits ----
// 2 MiB capture buffer, empty until a runner fills it (only the pages written are touched).
struct OutBuf {
    OutBuf() { data[0] = '\0'; }
    std::unique_ptr<char[]> data{new char[common::kOutBufSize]};
    char *get() const { return data.get(); }
    static constexpr int size() { return common::kOutBufSize; }
};

}  // namespace morvel::cli

// What a command is allowed: its deadline, and the environment it runs with.
#include <cstring>
#include <string_view>

#include "common/runner.h"
#include "common/script_cmds.h"

namespace morvel::common {

namespace {

// First match wins: the helper scripts by name (they are run as "bash SCRIPT ..."), then
// the tools by the start of the line.
struct DeadlineRule {
    const char *what;
    bool anywhere;  // the name may stand anywhere in the line (a script), else at its start
    int seconds;
};
constexpr DeadlineRule kDeadlines[] = {
    {CMD_G2SCAN_FILE, true, 600},        // rescans every SCSI host and NVMe controller
    {CMD_CONNECT_NVME_FILE, true, 300},  // FC-NVMe discovery and connects
    {SCRIPT_DIR, true, 180},             // edits and reloads of multipath.conf, offline records
    {"multipath -ll", false, 60},        // the topology; a blocked path checker must not hold it
    {"multipathd ", false, 60},
    {"multipath ", false, 120},          // flush, reload: retried by their callers
    {"systemctl ", false, 120},          // systemd's own start limit is 90 s
    {"service ", false, 120},
};
constexpr int kDefaultDeadline = 60;

// Variables that make the shell or the helper scripts run something else than they say.
constexpr std::string_view kDropped[] = {"PATH",      "BASH_ENV", "ENV",  "TMPDIR", "CDPATH",
                                         "SHELLOPTS", "BASHOPTS", "GLOBIGNORE", "IFS"};

}  // namespace

int commandDeadlineMs(const char *cmd) {
    const std::string_view line = cmd != nullptr ? cmd : "";
    for (const DeadlineRule &r : kDeadlines) {
        const bool found = r.anywhere ? line.find(r.what) != std::string_view::npos : line.starts_with(r.what);
        if (found) return r.seconds * 1000;
    }
    return kDefaultDeadline * 1000;
}

std::vector<std::string> childEnvironment(char *const *env) {
    std::vector<std::string> out;
    for (char *const *e = env; e != nullptr && *e != nullptr; ++e) {
        const std::string_view var = *e;
        const std::string_view name = var.substr(0, var.find('='));
        bool dropped = name.starts_with("BASH_FUNC_");  // exported shell functions
        for (std::string_view d : kDropped) dropped = dropped || name == d;
        if (!dropped) out.emplace_back(var);
    }
    out.emplace_back(std::string("PATH=") + kChildPath);
    return out;
}

}  // namespace morvel::common

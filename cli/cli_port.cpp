// The `port` command: the host's Fibre Channel port information from the installed script.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "cli/cli_exe.h"
#include "common/log.h"
#include "common/runner.h"
#include "common/script_cmds.h"

namespace morvel::cli {

EcItem *lsport() {
    char cmd[common::kCmdBufSize];
    std::snprintf(cmd, sizeof cmd, "%s %s", common::CMD_sh, common::SH_fcport);
    std::unique_ptr<char[]> out(new (std::nothrow) char[common::kOutBufSize]);
    if (!out) {
        MLOG(common::LOG_ERROR, "cli/cli_exe", "Malloc %d byte space failed.\n", common::kOutBufSize);
        return &EC_molloc_failed;
    }
    EcItem *result = exeLiunxInfoCmd(cmd, out.get(), common::kOutBufSize);
    if (result->code != 0) return result;
    // The script's text is shown exactly as it printed it, final newline included.
    print__();
    std::fwrite(out.get(), 1, std::strlen(out.get()), stdout);
    print__();
    return result;
}

}  // namespace morvel::cli

// Command look-up, command list and help display of morvel.
#include "cli/cli_tags.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/comm_util.h"
#include "common/log.h"
#include "common/runner.h"
#include "common/script_cmds.h"

namespace morvel::cli {

using common::vessar_strncmp;

namespace {
constexpr const char kHelpPathFmt[] = "/usr/bin/morvel-help/%s.help";
constexpr const char kMakerPlaceholder[] = "XXXXXX";
constexpr const char kMakerName[] = "Keldor";
constexpr size_t kNameCmpLen = 64;
}  // namespace

const CommandRow *findCommand(const char *name) {
    if (name == nullptr) name = "";
    for (const CommandRow &row : kCommandTable) {
        if (vessar_strncmp(name, row.name, kNameCmpLen) == 0) return &row;
    }
    return nullptr;
}

EcItem *checkCliNames(const char *name) {
    if (findCommand(name) != nullptr) return &EC_ok;
    return withParams(&EC_invalid_cli_name, name);
}

void print_cli_list(void) {
    for (const auto &slot : CLI_NAMES) {
        if (slot[0] == '\0') break;
        std::printf("%s\n", slot.data());
    }
}

void print_help(const char *name) {
    if (name == nullptr) name = "";
    char path[256] = {0};
    std::snprintf(path, sizeof(path), kHelpPathFmt, name);
    if (access(path, F_OK) != 0) {
        print_ec(withParams(&EC_no_help, name));
        return;
    }

    char cmd[common::kCmdBufSize] = {0};
    std::snprintf(cmd, sizeof(cmd), "%s %s", common::CMD_cat, path);

    std::unique_ptr<char[]> buf(new (std::nothrow) char[common::kOutBufSize]);
    if (!buf) {
        MLOG(common::LOG_ERROR, "cli/cli_tags", "Malloc %d byte space failed.\n", common::kOutBufSize);
        print_ec(&EC_print_help);
        return;
    }
    // The runner hands back a heap buffer when the text outgrew ours; it is ours to free
    // whatever cat's exit status was.
    common::RunnerOutput h(buf.get());
    int ret = common::exe_cmd(cmd, buf.get(), common::kOutBufSize, &h.out, nullptr);
    const char *out = h.out;
    if (ret < 0 || out == nullptr) {
        MLOG(common::LOG_ERROR, "cli/cli_tags", "Execute command [%s] failed\n", cmd);
        print_ec(&EC_print_help);
        return;
    }
    // The maker's name has the placeholder's length, so the text keeps its length; size
    // the second buffer for the whole text even when it outgrew 2 MiB.
    size_t len = std::strlen(out);
    size_t shownSize = len + 1 > static_cast<size_t>(common::kOutBufSize) ? len + 1 : common::kOutBufSize;
    static_assert(sizeof(kMakerPlaceholder) == sizeof(kMakerName));
    std::unique_ptr<char[]> shown(new (std::nothrow) char[shownSize]());
    if (!shown) {
        MLOG(common::LOG_ERROR, "cli/cli_tags", "Malloc %zu byte space failed.\n", shownSize);
        print_ec(&EC_print_help);
        return;
    }
    common::vessar_strrpl(shown.get(), out, kMakerPlaceholder, kMakerName);

    print__();
    std::fputs(shown.get(), stdout);
    print__();
}

}  // namespace morvel::cli

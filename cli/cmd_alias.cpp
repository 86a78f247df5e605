// Alias commands: "setalias", "delalias" and "lsalias", through the installed alias.sh.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/cli_exe.h"
#include "cli/cli_tags.h"
#include "cli/cmd_mgmt.h"
#include "cli/conf_edit.h"
#include "common/comm_util.h"
#include "common/script_cmds.h"

namespace morvel::cli {

namespace {

// Walks the listing line by line, stopping at an empty line, at the end of the text, or
// where no further blank follows. The blank is searched from the line's start onwards,
// across line ends if need be; the cell after it runs to the next line feed.
template <class Fn>
void forEachBinding(const char *listing, Fn fn) {
    const char *p = listing;
    while (*p != '\0' && *p != '\n') {
        const char *blank = strchr(p, ' ');
        if (blank == nullptr) break;
        const char *rest = blank + 1;
        const char *eol = strchr(rest, '\n');
        const size_t restLen = eol != nullptr ? static_cast<size_t>(eol - rest) : strlen(rest);
        fn(std::string_view(p, static_cast<size_t>(blank - p)), std::string_view(rest, restLen));
        if (eol == nullptr) break;
        p = eol + 1;
    }
}

// Aliases name device-mapper maps; a namespace of native NVMe multipathing has none.
constexpr const char kNoAliasBinding[] = "no alias binding";

}  // namespace

std::string formatAliasTable(const char *listing) {
    size_t wwidWidth = 4;   // strlen("wwid")
    size_t aliasWidth = 5;  // strlen("alias")
    forEachBinding(listing, [&](std::string_view wwid, std::string_view alias) {
        wwidWidth = std::max(wwidWidth, wwid.size());
        aliasWidth = std::max(aliasWidth, alias.size());
    });
    std::string table;
    common::appendWidth(table, "wwid", wwidWidth + 1);
    common::appendWidth(table, "alias", wwidWidth + 1);
    table += '\n';
    forEachBinding(listing, [&](std::string_view wwid, std::string_view alias) {
        common::appendWidth(table, wwid, wwidWidth + 1);
        common::appendWidth(table, alias, aliasWidth);
        table += '\n';
    });
    return table;
}

EcItem *setalias() {
    if (isNativeNamespace(gParamWwidVal)) return refuseNative(gParamWwidVal, kNoAliasBinding);
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s set %s %s", common::CMD_sh, common::SH_alias, gParamWwidVal,
             gParamAliasVal);
    OutBuf out;
    handInitSystemToScripts();  // a change reaches a running multipathd
    EcItem *item = runConfEdit(cmd, out.get(), out.size());
    if (item->code == 0) return &EC_ok;
    switch (out.get()[0]) {
    case '4':
        return withParams(&EC_exist_wwid_alias, gParamWwidVal, gParamAliasVal);
    case '5':
        return withParams(&EC_exist_alias, gParamAliasVal);
    default:
        return item;
    }
}

EcItem *delalias() {
    if (isNativeNamespace(gParamWwidVal)) return refuseNative(gParamWwidVal, kNoAliasBinding);
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s del %s", common::CMD_sh, common::SH_alias, gParamWwidVal);
    OutBuf out;
    handInitSystemToScripts();  // a change reaches a running multipathd
    EcItem *item = runConfEdit(cmd, out.get(), out.size());
    if (item->code == 0) return &EC_ok;
    return out.get()[0] == '7' ? withParams(&EC_no_wwid, gParamWwidVal) : item;
}

EcItem *lsalias() {
    char cmd[common::kCmdBufSize];
    snprintf(cmd, sizeof cmd, "%s %s query", common::CMD_sh, common::SH_alias);
    OutBuf out;
    EcItem *item = exeLiunxInfoCmd(cmd, out.get(), out.size());
    if (item->code != 0) return item;
    print__();
    if (strlen(out.get()) > 2) fputs(formatAliasTable(out.get()).c_str(), stdout);
    print__();
    return item;
}

}  // namespace morvel::cli

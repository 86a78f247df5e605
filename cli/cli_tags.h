// Command table, help, and parameter checks of morvel.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

#include "cli/cli_exe.h"
#include "cli/cli_items.h"

namespace morvel::cli {

// Parameter slots, filled by checkCliParams before dispatch.
extern char gParamMpathxVal[257];
extern char gParamPathVal[257];
extern char gParamStateVal[257];
extern char gParamGroupVal[257];
extern char gParamChooserVal[257];
extern char gParamWwidVal[257];
extern char gParamAliasVal[257];
extern int32_t gParamHostInterfaceType;  // 0 SCSI, 1 NVMe
extern bool gParamJsonOutput;            // query: the JSON document instead of the text
inline constexpr char kJsonOption[] = "-json";

// Values the parameter checks accept. The build copies the group and chooser lists into
// the helper scripts (morvel-lists.sh) and the bash completion: keep each one initializer
// of quoted words ending in "};".
inline constexpr const char *kPathStates[] = {"online", "offline"};
inline constexpr const char *kScsiGroups[] = {"failover", "multibus", "group_by_serial", "group_by_prio",
                                              "group_by_node_name"};
inline constexpr const char *kNvmeGroups[] = {"failover", "multibus", "group_by_serial", "group_by_node_name"};
inline constexpr const char *kChoosers[] = {"round-robin", "queue-length", "service-time"};

// Parameter checks, one per command shape; each fills the slots of its command.
EcItem *checkNoParams(int argc, char **argv);
EcItem *checkQueryParams(int argc, char **argv);
EcItem *checkDeleteParams(int argc, char **argv);
EcItem *checkSetStateParams(int argc, char **argv);
EcItem *checkSetPathPolicyParams(int argc, char **argv);
EcItem *checkSetAliasParams(int argc, char **argv);
EcItem *checkDelAliasParams(int argc, char **argv);

inline constexpr char kScanNotice[] = "This operation may take several minutes, please wait patiently.";

struct CommandRow {
    const char *name;
    bool listed;                              // shown by -list_command
    EcItem *(*check)(int argc, char **argv);  // checks the words and fills the slots
    EcItem *(*run)(int argc);                 // the command itself
};

// The one command table. The name check, -list_command (the listed rows, in this order),
// the choice of parameter check and the dispatch all read it. A new command is one row
// here, plus its handler and its help file help/<name>.help; the unit test
// CommandTable.CompletionAndHelpFilesFollowTheTable fails until the bash completion
// (packaging/bash-completion/morvel.in) names it too.
inline constexpr CommandRow kCommandTable[] = {
    {"aggregation", true, checkNoParams, [](int) { return aggregation(); }},
    {"config", true, checkNoParams, [](int) { return config(); }},
    {"delalias", true, checkDelAliasParams, [](int) { return delalias(); }},
    {"delete", true, checkDeleteParams, [](int) { return delete_(gParamMpathxVal); }},
    {"lsalias", true, checkNoParams, [](int) { return lsalias(); }},
    {"lspathpolicy", true, checkNoParams, [](int) { return lspathpolicy(); }},
    {"query", true, checkQueryParams, [](int argc) { return argc - gParamJsonOutput == 3 ? querySingleDevice(gParamMpathxVal) : query(); }},
    {"restart", true, checkNoParams, [](int) { return restart(); }},
    {"scan", true, checkNoParams, [](int) { std::printf("%s\n", kScanNotice); std::fflush(stdout); return scan(); }},
    {"setalias", true, checkSetAliasParams, [](int) { return setalias(); }},
    {"setstate", true, checkSetStateParams, [](int) { return setpathstate(); }},
    {"setpathpolicy", true, checkSetPathPolicyParams, [](int) { return setpathpolicy(); }},
    {"start", true, checkNoParams, [](int) { return chMultipathdService("start"); }},
    {"status", true, checkNoParams, [](int) { return status(); }},
    {"stop", true, checkNoParams, [](int) { return chMultipathdService("stop"); }},
    {"version", true, checkNoParams, [](int) { return version(); }},
    {"port", true, checkNoParams, [](int) { return lsport(); }},
    {"refresh", false, checkNoParams, [](int) { return refresh(); }},
};

// The row of a command name (names compared over 64 characters), or none.
const CommandRow *findCommand(const char *name);

// CLI_NAMES: the listed names in table order, each in a 64-byte slot, ended by an empty slot.
inline constexpr int kCliNameSlots = static_cast<int>(std::ranges::count_if(kCommandTable, &CommandRow::listed)) + 1;
using CliNameSlots = std::array<std::array<char, 64>, kCliNameSlots>;
constexpr CliNameSlots listedCommandNames() {
    CliNameSlots slots{};
    size_t i = 0;
    for (const CommandRow &row : kCommandTable) {
        if (!row.listed) continue;
        for (size_t c = 0; row.name[c] != '\0' && c + 1 < slots[i].size(); ++c) slots[i][c] = row.name[c];
        ++i;
    }
    return slots;
}
inline constexpr CliNameSlots CLI_NAMES = listedCommandNames();

EcItem *checkCliNames(const char *name);
void print_cli_list(void);
void print_help(const char *name);

EcItem *checkCliParams(int argc, char **argv);
int isDigitorOrLetter(const char *s);
// Name rules; each returns EC_ok or the failure item of its rule.
EcItem *checkDeviceName(const char *name);
EcItem *checkWwid(const char *wwid);
EcItem *checkAlias(const char *alias);

}  // namespace morvel::cli

// Command table, help, and parameter checks of morvel.
#pragma once
#include <cstdint>

#include "cli/cli_items.h"

namespace morvel::cli {

inline constexpr int kCliNameSlots = 18;
extern const char CLI_NAMES[kCliNameSlots][64];

// Parameter slots, filled by checkCliParams before dispatch.
extern char gParamMpathxVal[257];
extern char gParamPathVal[257];
extern char gParamStateVal[257];
extern char gParamGroupVal[257];
extern char gParamChooserVal[257];
extern char gParamWwidVal[257];
extern char gParamAliasVal[257];
extern int32_t gParamHostInterfaceType;  // 0 SCSI, 1 NVMe

EcItem *checkCliNames(const char *name);
void print_cli_list(void);
void print_help(const char *name);

EcItem *checkCliParams(int argc, char **argv);
EcItem *checkSetAliasParams(int argc, char **argv);
EcItem *checkDelAliasParams(int argc, char **argv);
int isDigitorOrLetter(const char *s);
// Name rules; each returns EC_ok or the failure item of its rule.
EcItem *checkDeviceName(const char *name);
EcItem *checkWwid(const char *wwid);
EcItem *checkAlias(const char *alias);

}  // namespace morvel::cli

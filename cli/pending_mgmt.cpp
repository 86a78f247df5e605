// Commands whose implementation has not landed yet: they answer like an unknown command.
#include "cli/cli_exe.h"

namespace morvel::cli {
namespace {
EcItem *notYet(const char *name) {
    initEcItems1(&EC_invalid_cli_name, name);
    return &EC_invalid_cli_name;
}
}  // namespace

EcItem *config() { return notYet("config"); }
EcItem *setpathpolicy() { return notYet("setpathpolicy"); }
EcItem *lspathpolicy() { return notYet("lspathpolicy"); }
EcItem *setpathstate() { return notYet("setstate"); }
EcItem *delete_(const char *) { return notYet("delete"); }
EcItem *setalias() { return notYet("setalias"); }
EcItem *lsalias() { return notYet("lsalias"); }
EcItem *delalias() { return notYet("delalias"); }
EcItem *status() { return notYet("status"); }
EcItem *chMultipathdService(const char *action) { return notYet(action); }
EcItem *restart() { return notYet("restart"); }
EcItem *scan() { return notYet("scan"); }
EcItem *aggregation() { return notYet("aggregation"); }
EcItem *refresh() { return notYet("refresh"); }
EcItem *version() { return notYet("version"); }

}  // namespace morvel::cli

// Commands whose implementation has not landed yet: they answer like an unknown command.
#include "cli/cli_exe.h"

namespace morvel::cli {
namespace {
EcItem *notYet(const char *name) {
    initEcItems1(&EC_invalid_cli_name, name);
    return &EC_invalid_cli_name;
}
}  // namespace

EcItem *query() { return notYet("query"); }
EcItem *querySingleDevice(const char *) { return notYet("query"); }

}  // namespace morvel::cli
